// The progress bar under the status line and on the taskbar button. The work adds to shared counters from any
// thread; the window thread samples them on a timer, so it redraws at most ten times a second.
#include <shobjidl.h>
#include <wchar.h>

#include "shell/progress_rules.h"
#include "shell/shell.h"

enum { kTickMs = 100 };
static const RECT kBarRect = {24, 371, 144, 377};
static const RECT kTextRect = {152, 364, 396, 386};
static const RECT kProgressRect = {24, 364, 396, 386};
static const COLORREF kBarTrackColour = RGB(38, 43, 52);

static SRWLOCK s_lock = SRWLOCK_INIT;
static int s_phase;  // the counters, under s_lock
static unsigned long long s_done, s_total;

static ProgressFigures s_figures;  // the window thread's, and what it last drew
static wchar_t s_text[kProgressTextCap];
static unsigned s_permille;

void BeginProgress(int phase) {
    AcquireSRWLockExclusive(&s_lock);
    s_phase = phase;
    s_done = s_total = 0;
    ReleaseSRWLockExclusive(&s_lock);
    if (g_shell.mainWindow) PostMessageA(g_shell.mainWindow, kProgressMessage, 0, 0);
}

void ReportProgress(unsigned long long added, unsigned long long moreTotal) {
    AcquireSRWLockExclusive(&s_lock);
    s_done += added;
    s_total += moreTotal;
    ReleaseSRWLockExclusive(&s_lock);
}

void DropFromProgress(unsigned long long bytes) {
    AcquireSRWLockExclusive(&s_lock);
    s_total -= bytes < s_total ? bytes : s_total;
    ReleaseSRWLockExclusive(&s_lock);
}

// COM on the window thread, for the taskbar button only; without it the button just shows no progress.
static ITaskbarList3* Taskbar(void) {
    static ITaskbarList3* taskbar;
    static int tried;
    if (tried) return taskbar;
    tried = 1;
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, NULL, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, (void**)&taskbar)))
        taskbar = NULL;
    if (taskbar && FAILED(taskbar->HrInit())) {
        taskbar->Release();
        taskbar = NULL;
    }
    return taskbar;
}

static void ShowFigures(HWND hwnd) {
    char utf8[kProgressTextCap];
    wchar_t text[kProgressTextCap];
    unsigned permille = 0;
    int n = (int)FormatFigures(&s_figures, utf8, sizeof utf8, &permille);
    // Drawn with the wide API from UTF-8: the middle dot stays one whatever the ANSI code page.
    n = n ? MultiByteToWideChar(CP_UTF8, 0, utf8, n, text, kProgressTextCap - 1) : 0;
    text[n > 0 ? n : 0] = L'\0';
    if (permille == s_permille && wcscmp(text, s_text) == 0) return;
    if (permille != s_permille && text[0] && Taskbar()) Taskbar()->SetProgressValue(hwnd, permille, 1000);
    s_permille = permille;
    wcscpy(s_text, text);
    InvalidateRect(hwnd, &kProgressRect, TRUE);
}

void OnProgressChange(HWND hwnd) {
    AcquireSRWLockExclusive(&s_lock);
    int phase = s_phase;
    unsigned long long done = s_done, total = s_total;
    ReleaseSRWLockExclusive(&s_lock);
    unsigned now = GetTickCount();
    if (phase != s_figures.phase) {
        StartFigures(&s_figures, phase, now);
        if (phase == kProgressHidden)
            KillTimer(hwnd, kProgressTimerId);
        else
            SetTimer(hwnd, kProgressTimerId, kTickMs, NULL);
        if (Taskbar()) Taskbar()->SetProgressState(hwnd, phase == kProgressHidden ? TBPF_NOPROGRESS : TBPF_NORMAL);
    }
    SampleFigures(&s_figures, done, total, now);
    ShowFigures(hwnd);
}

void EndProgress(int failed) {
    HWND hwnd = g_shell.mainWindow;
    AcquireSRWLockExclusive(&s_lock);
    s_phase = kProgressHidden;
    ReleaseSRWLockExclusive(&s_lock);
    OnProgressChange(hwnd);
    if (failed && Taskbar()) {
        Taskbar()->SetProgressValue(hwnd, 1, 1);
        Taskbar()->SetProgressState(hwnd, TBPF_ERROR);
    }
}

// Creates no GDI objects: the DC's own brush takes each colour.
void PaintProgress(HDC dc) {
    if (!s_text[0]) return;
    RECT fill = kBarRect;
    fill.right = kBarRect.left + (LONG)((kBarRect.right - kBarRect.left) * s_permille / 1000);
    SetDCBrushColor(dc, kBarTrackColour);
    FillRect(dc, &kBarRect, (HBRUSH)GetStockObject(DC_BRUSH));
    SetDCBrushColor(dc, kTitleColour);
    FillRect(dc, &fill, (HBRUSH)GetStockObject(DC_BRUSH));
    RECT text = kTextRect;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kStatusTextColour);
    SelectObject(dc, g_shell.smallFont);
    DrawTextW(dc, s_text, -1, &text, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

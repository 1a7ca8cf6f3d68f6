#include "shell/shell.h"

#include <shellapi.h>
#include <string.h>

static const char kClassName[] = "TARQOLauncher";
static const DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x00CA0000: fixed size
static const DWORD kChildStyle = WS_CHILD | WS_VISIBLE;
static const COLORREF kSubtitleColour = RGB(120, 132, 148);
static const UINT kStoppedShownMs = 1500;  // the stop's message stays this long before the launcher closes

static void CmdOpenFolder(void);
static void CmdExit(void);

// Creation order is the order of the rows; CreateControls() and RunCommand() both walk this table.
static const struct Button {
    const char* caption;
    int id;
    int x, y, w, h;
    void (*run)(void);
} kButtons[] = {
    {"PLAY", 1001, 24, 92, 372, 42, CmdPlay},
    {"REGISTER", 1002, 24, 144, 180, 38, CmdRegister},
    {"UPDATE CLIENT", 1003, 216, 144, 180, 38, CmdUpdateClient},
    {"PLAY (DEBUG)", 1008, 24, 186, 372, 32, CmdPlayDebug},
    {"SEND LOG", 1006, 24, 226, 180, 30, CmdSendLog},
    {"SEND DUMP", 1007, 216, 226, 180, 30, CmdSendDump},
    {"OPEN FOLDER", 1004, 24, 264, 180, 30, CmdOpenFolder},
    {"EXIT", 1005, 216, 264, 180, 30, CmdExit},
};

static HFONT MakeFont(int height, int weight) {
    return CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                       CLEARTYPE_QUALITY, 0, "Segoe UI");
}

static void OnCreate(HWND hwnd) {
    g_shell.uiFont = MakeFont(15, 600);
    g_shell.titleFont = MakeFont(30, 700);
    g_shell.smallFont = MakeFont(13, 400);
    g_shell.background = CreateSolidBrush(kBackgroundColour);
    for (const Button& b : kButtons) {
        HWND button = CreateWindowExA(0, "BUTTON", b.caption, kChildStyle, b.x, b.y, b.w, b.h, hwnd,
                                      (HMENU)(INT_PTR)b.id, g_shell.instance, NULL);
        SendMessageA(button, WM_SETFONT, (WPARAM)g_shell.uiFont, 1);
    }
    g_shell.statusLine = CreateWindowExA(0, "STATIC", "Sedia.", kChildStyle, 24, 306, 372, 56, hwnd,
                                         (HMENU)(INT_PTR)kStatusId, g_shell.instance, NULL);
    SendMessageA(g_shell.statusLine, WM_SETFONT, (WPARAM)g_shell.uiFont, 1);
}

// Creates no GDI objects: fonts and brush were made once in WM_CREATE.
static void Paint(HDC dc) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kTitleColour);
    SelectObject(dc, g_shell.titleFont);
    TextOutA(dc, 24, 26, "VEQ", 3);
    SetTextColor(dc, kSubtitleColour);
    SelectObject(dc, g_shell.uiFont);
    TextOutA(dc, 132, 40, "GAMES / PELAR", 13);
    PaintProgress(dc);
}

static void OnPaint(HWND hwnd) {
    PAINTSTRUCT ps;
    Paint(BeginPaint(hwnd, &ps));
    EndPaint(hwnd, &ps);
}

static void OnClose(HWND hwnd) {
    if (g_shell.busy && AskToStop())
        return;  // a run that has changed nothing yet may be stopped; its end closes the launcher
    if (g_shell.busy)
        ShowStatus("%s", kBusyText);
    else if (g_shell.working)
        g_shell.closeRequested = 1;  // a game under the crash catcher is let go; an upload is let finish
    else
        DestroyWindow(hwnd);
}

// Logoff or shutdown in the middle of an install would leave a mixed client for the next run to repair: refused
// while busy, with the reason that Windows shows beside the launcher (see EnterBusy).
static LRESULT OnQueryEndSession(void) {
    if (!g_shell.busy) return TRUE;
    ShowStatus("%s", kBusyText);
    return FALSE;
}

static LRESULT OnEraseBackground(HWND hwnd, HDC dc) {
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(dc, &r, g_shell.background);
    return 1;
}

// The client area into another DC, as painted (the progress bar included).
static void OnPrintClient(HWND hwnd, HDC dc) {
    OnEraseBackground(hwnd, dc);
    Paint(dc);
}

static LRESULT OnColorStatic(HDC dc) {
    SetBkColor(dc, kBackgroundColour);
    SetTextColor(dc, kStatusTextColour);
    return (LRESULT)g_shell.background;
}

static void RunCommand(HWND hwnd, int id) {
    if (g_shell.busy || g_shell.working || StopRequested()) return;
    for (const Button& b : kButtons)
        if (b.id == id) b.run();
    if (StopRequested() && IsWindow(hwnd))
        SetTimer(hwnd, kStoppedTimerId, kStoppedShownMs, NULL);  // the player reads why nothing changed, then it closes
    else if (g_shell.closeRequested && IsWindow(hwnd))
        DestroyWindow(hwnd);
}

static void OnTimer(HWND hwnd, UINT_PTR id) {
    if (id == kProgressTimerId) OnProgressChange(hwnd);
    if (id == kStoppedTimerId) DestroyWindow(hwnd);
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:         OnCreate(hwnd); return 0;
    case WM_DESTROY:        PostQuitMessage(0); return 0;
    case WM_PAINT:          OnPaint(hwnd); return 0;
    case WM_PRINTCLIENT:    OnPrintClient(hwnd, (HDC)wp); return 0;
    case WM_TIMER:          OnTimer(hwnd, wp); return 0;
    case kProgressMessage:  OnProgressChange(hwnd); return 0;
    case WM_CLOSE:          OnClose(hwnd); return 0;  // may refuse; never reaches DefWindowProc
    case WM_QUERYENDSESSION: return OnQueryEndSession();
    case WM_ERASEBKGND:     return OnEraseBackground(hwnd, (HDC)wp);
    case WM_COMMAND:        RunCommand(hwnd, LOWORD(wp)); return 0;
    case WM_CTLCOLORSTATIC: return OnColorStatic((HDC)wp);
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

static void CmdOpenFolder(void) {
    ShellExecuteA(g_shell.mainWindow, "open", g_shell.installDir, NULL, NULL, SW_SHOWNORMAL);
}

static void CmdExit(void) {
    DestroyWindow(g_shell.mainWindow);
}

void SetInstallDirFromModule(void) {
    GetModuleFileNameA(NULL, g_shell.installDir, sizeof g_shell.installDir);
    g_shell.installDir[sizeof g_shell.installDir - 1] = '\0';  // XP-era runtimes may not terminate a cut path
    char* slash = strrchr(g_shell.installDir, '\\');
    if (slash) *slash = '\0';
}

HWND CreateMainWindow(HINSTANCE instance) {
    g_shell.instance = instance;
    if (!g_shell.stopEvent) g_shell.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, "APPICON");
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = CreateSolidBrush(kBackgroundColour);
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc);

    RECT r = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&r, kWindowStyle, FALSE);
    g_shell.mainWindow = CreateWindowExA(0, kClassName, kAppCaption, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                         r.right - r.left, r.bottom - r.top, NULL, NULL, instance, NULL);
    return g_shell.mainWindow;
}

int LauncherMain(HINSTANCE instance, int showCommand) {
    g_shell.instance = instance;
    SetInstallDirFromModule();
    HWND hwnd = CreateMainWindow(instance);
    if (!hwnd) return 1;
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return 0;
}

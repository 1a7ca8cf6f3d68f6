#include "shell/shell.h"

ShellState g_shell;

void ShowStatus(const char* fmt, ...) {
    char msg[kStatusCap];
    va_list ap;
    va_start(ap, fmt);
    FormatBoundedV(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (g_shell.statusLine) SetWindowTextA(g_shell.statusLine, msg);
}

void PumpMessages(void) {
    MSG m;
    while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {
        // A WM_QUIT taken here is dropped on purpose: only the busy flag decides when we may close.
        if (m.message == WM_QUIT) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

static void EnableCommandButtons(BOOL enable) {
    for (int id = kFirstCommandId; id <= kLastCommandId; id++)
        EnableWindow(GetDlgItem(g_shell.mainWindow, id), enable);
}

void EnterBusy(void) {
    g_shell.busy = 1;  // set before the buttons go grey, so nothing slips in between
    EnableCommandButtons(FALSE);
    // What Windows shows beside the launcher when a logoff or shutdown waits for it.
    wchar_t reason[kStatusCap];
    FormatBoundedW(reason, kStatusCap, L"%hs", kBusyText);
    ShutdownBlockReasonCreate(g_shell.mainWindow, reason);
}

void LeaveBusy(void) {
    ShutdownBlockReasonDestroy(g_shell.mainWindow);
    EnableCommandButtons(TRUE);
    g_shell.busy = 0;
}

namespace {
struct Job {
    int (*work)(void*);
    void* ctx;
    int result;
};
}  // namespace

static DWORD WINAPI RunJob(void* arg) {
    Job* job = (Job*)arg;
    job->result = job->work(job->ctx);
    return 0;
}

int RunOffWindow(int (*work)(void* ctx), void* ctx) {
    Job job = {work, ctx, 0};
    HANDLE thread = CreateThread(NULL, 0, RunJob, &job, 0, NULL);
    if (!thread) return work(ctx);  // no thread to spare: the window waits, the work still gets done
    g_shell.working++;
    // Sent messages (the work's ShowStatus among them) are answered here too, so the two threads never wait on
    // each other.
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) PumpMessages();
    g_shell.working--;
    CloseHandle(thread);
    return job.result;
}

void InstallPath(char* buf, const char* name) {
    FormatBounded(buf, kPathCap, "%s\\%s", g_shell.installDir, name);
    for (char* p = buf; *p; p++)
        if (*p == '/') *p = '\\';
}

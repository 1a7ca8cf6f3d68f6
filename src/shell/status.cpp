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
}

void LeaveBusy(void) {
    EnableCommandButtons(TRUE);
    g_shell.busy = 0;
}

void InstallPath(char* buf, const char* name) {
    FormatBounded(buf, kPathCap, "%s\\%s", g_shell.installDir, name);
}

#include "shell/shell.h"

#include <stdlib.h>

enum { kStopGraceMs = 400 };  // how long a stopped work may take to end before it is left to end alone

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
    g_shell.stopState = kStopNever;
    if (g_shell.stopEvent) ResetEvent(g_shell.stopEvent);
    EnableCommandButtons(FALSE);
    // What Windows shows beside the launcher when a logoff or shutdown waits for it.
    wchar_t reason[kStatusCap];
    FormatBoundedW(reason, kStatusCap, L"%hs", kBusyText);
    ShutdownBlockReasonCreate(g_shell.mainWindow, reason);
}

void LeaveBusy(void) {
    InterlockedCompareExchange(&g_shell.stopState, kStopNever, kStopAllowed);  // a stop asked for is kept: it closes
    ShutdownBlockReasonDestroy(g_shell.mainWindow);
    EnableCommandButtons(TRUE);
    g_shell.busy = 0;
}

void AllowStop(void) { InterlockedCompareExchange(&g_shell.stopState, kStopAllowed, kStopNever); }

int ForbidStop(void) {
    for (;;) {
        LONG was = InterlockedCompareExchange(&g_shell.stopState, kStopNever, kStopAllowed);
        if (was != kStopAsking) return was != kStopRequested;
        Sleep(20);  // the player is being asked: nothing changes before the answer
    }
}

int StopRequested(void) { return g_shell.stopState == kStopRequested; }

int WaitForStop(DWORD ms) {
    if (g_shell.stopEvent)
        WaitForSingleObject(g_shell.stopEvent, ms);
    else
        Sleep(ms);
    return StopRequested();
}

int AskToStop(void) {
    LONG was = InterlockedCompareExchange(&g_shell.stopState, kStopAsking, kStopAllowed);
    if (was != kStopAllowed) return was == kStopAsking;  // a second close while asking: the question stands
    int yes = MessageBoxA(g_shell.mainWindow, kStopQuestion, kAppCaption, MB_YESNO | MB_ICONQUESTION) == IDYES;
    InterlockedExchange(&g_shell.stopState, yes ? kStopRequested : kStopAllowed);
    if (yes && g_shell.stopEvent) SetEvent(g_shell.stopEvent);
    return 1;
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
    Job* job = (Job*)malloc(sizeof *job);  // the thread's: a stopped work may outlive this call
    if (job) job->work = work, job->ctx = ctx, job->result = 0;
    HANDLE thread = job ? CreateThread(NULL, 0, RunJob, job, 0, NULL) : NULL;
    if (!thread) {
        free(job);
        return work(ctx);  // no thread to spare: the window waits, the work still gets done
    }
    g_shell.working++;
    HANDLE waits[2] = {thread, g_shell.stopEvent};
    DWORD count = g_shell.stopEvent ? 2 : 1, wait = INFINITE, stoppedAt = 0, got;
    // Sent messages (the work's ShowStatus among them) are answered here too, so the two threads never wait on
    // each other.
    for (;;) {
        DWORD waited = GetTickCount() - stoppedAt;
        if (wait != INFINITE) wait = waited < kStopGraceMs ? kStopGraceMs - waited : 0;
        got = MsgWaitForMultipleObjects(count, waits, FALSE, wait, QS_ALLINPUT);
        if (got == WAIT_OBJECT_0 + count) {
            PumpMessages();
        } else if (count == 2 && got == WAIT_OBJECT_0 + 1) {  // the player chose to stop
            count = 1;
            stoppedAt = GetTickCount();
            wait = kStopGraceMs;
        } else {
            break;
        }
    }
    g_shell.working--;
    CloseHandle(thread);
    if (got != WAIT_OBJECT_0) return 0;  // left to end alone, with its job
    int result = job->result;
    free(job);
    return result;
}

void InstallPath(char* buf, const char* name) {
    FormatBounded(buf, kPathCap, "%s\\%s", g_shell.installDir, name);
    for (char* p = buf; *p; p++)
        if (*p == '/') *p = '\\';
}

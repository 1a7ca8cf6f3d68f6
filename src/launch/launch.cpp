#include "launch/launch.h"

#include <shellapi.h>
#include <string.h>

#include "config/config.h"
#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"

#ifndef _WIN64
// The 32-bit release hands these exact sizes and flags to the system.
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA of the 32-bit release");
static_assert(CONTEXT_FULL == 0x10007, "x86 CONTEXT_FULL: control, integer and segment registers");
#endif

namespace {
struct LaunchMode {
    const char* missingText;  // message box when System\ZQ.exe is missing or a directory
    const char* startFailed;  // status when no way to start it worked, with the last error code
    DWORD creationFlags;      // of a start with the launcher's own token
};
struct ClientStart {
    const LaunchMode* mode;
    const char* exePath;
    char* cmdLine;
    const char* clientDir;
    const char* dumpsDir;
    int debug;
    StartFacts facts;
};
}  // namespace

static const LaunchMode kLaunchModes[] = {
    {"System\\ZQ.exe tak dijumpai.\nLetak launcher ni dalam folder ZQO.", "Gagal start ZQ.exe (error %lu)", 0},
    {"System\\ZQ.exe tak dijumpai.", "Gagal start (error %lu)", DEBUG_ONLY_THIS_PROCESS},
};

// One way of starting the client. A debuggee comes back attached to this thread; the shell's start of a plain PLAY
// comes back without handles. 0 with the error set.
static int StartOneWay(const ClientStart* s, int way, PROCESS_INFORMATION* pi) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    ZeroMemory(pi, sizeof *pi);
    if (way == kStartAsLauncher)
        return CreateProcessA(s->exePath, s->cmdLine, NULL, NULL, FALSE, s->mode->creationFlags, NULL, s->clientDir,
                              &si, pi);
    if (way == kStartAsPlayer) {
        // CreateProcessWithTokenW takes no debug flags: the debugger attaches before the client runs a line.
        if (!StartAsPlayer(s->exePath, s->cmdLine, s->clientDir, s->debug ? CREATE_SUSPENDED : 0, pi)) return 0;
        if (s->debug && !DebugActiveProcess(pi->dwProcessId)) {
            DWORD error = GetLastError();
            TerminateProcess(pi->hProcess, 1);
            CloseHandle(pi->hThread), CloseHandle(pi->hProcess);
            SetLastError(error);
            return 0;
        }
        if (s->debug) ResumeThread(pi->hThread);
        return 1;
    }
    size_t quoted = strlen(s->exePath) + 3;  // the command line without its "<exe>" and blank
    const char* args = strlen(s->cmdLine) >= quoted ? s->cmdLine + quoted : "";
    FILETIME since;
    DWORD shellPid = 0;
    GetSystemTimeAsFileTime(&since);
    if (!StartThroughShell(s->exePath, args, s->clientDir, &shellPid)) return 0;
    if (s->debug && !AttachStartedByShell(s->exePath, shellPid, &since, pi))
        ShowStatus("Crash catcher tak dapat ikut game ini.");
    return 1;
}

static int Start(const ClientStart* s, PROCESS_INFORMATION* pi) {
    unsigned long error = 0;
    for (int way = NextStartWay(&s->facts, -1, 0); way != kStartNothing; way = NextStartWay(&s->facts, way, error)) {
        if (StartOneWay(s, way, pi)) return 1;
        error = GetLastError();
    }
    ShowStatus(s->mode->startFailed, error);
    return 0;
}

// Starts the client as our debuggee and catches its first crash. The debugging interface gives a debuggee's
// events only to the thread that started or attached it, so both happen on this one.
static int StartAndCatch(void* arg) {
    PROCESS_INFORMATION pi;
    if (!Start((const ClientStart*)arg, &pi)) return 0;
    if (pi.hProcess) RunCrashCatcher(&pi, ((const ClientStart*)arg)->dumpsDir);  // owns and closes both handles
    return 1;
}

int StartClient(int mode) {
    const auto& m = kLaunchModes[mode == kLaunchDebug ? kLaunchDebug : kLaunchPlay];
    char clientDir[kPathCap], exePath[kPathCap], dumpsDir[kPathCap], cmdLine[kPathCap];
    InstallPath(clientDir, kClientFolder);
    FormatBounded(exePath, sizeof exePath, "%s\\%s", clientDir, kClientExeName);
    DWORD attrs = GetFileAttributesA(exePath);
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        MessageBoxA(g_shell.mainWindow, m.missingText, kAppCaption, MB_OK | MB_ICONERROR);
        return 0;
    }
    if (mode == kLaunchDebug) {
        InstallPath(dumpsDir, "dumps");
        DiskMakeFolders(dumpsDir, 1);  // best effort: already there is fine, and a failure shows at the crash
    }
    FormatClientCommandLine(cmdLine, sizeof cmdLine, exePath, kServiceHost, mode);

    ClientStart start = {&m, exePath, cmdLine, clientDir, dumpsDir, mode == kLaunchDebug, {}};
    ReadStartFacts(&start.facts, 0);
    if (mode == kLaunchDebug) return RunOffWindow(StartAndCatch, &start);  // the debugger's thread, not the window's
    PROCESS_INFORMATION pi;
    if (!Start(&start, &pi)) return 0;
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
    ShowStatus("Game dijalankan - login di Bishop %s:%s", kServiceHost, kLoginPort);
    return 1;
}

static void PlayAfterPatch(int mode) {
    void* lock = TakeRunLock();  // the run and the rewrite, with no other launcher in between
    int ready = RunPatchForPlay() && RewriteClientConfig();  // each step has shown why it stopped
    ReleaseRunLock(lock);
    if (ready) StartClient(mode);
}

void CmdPlay(void) { PlayAfterPatch(kLaunchPlay); }
void CmdPlayDebug(void) { PlayAfterPatch(kLaunchDebug); }

// The browser never gets the launcher's administrator token: elevated, the desktop's shell opens the page, and
// without the shell the player is told the address instead.
void CmdRegister(void) {
    char url[kPathCap];
    FormatBounded(url, sizeof url, "https://%s/register", kServiceHost);
    StartFacts facts;
    ReadStartFacts(&facts, 1);
    DWORD shellPid;
    int opened = 1;  // ShellExecuteA's own failures stay unreported, as they always were
    if (NextStartWay(&facts, -1, 0) == kStartAsLauncher)
        ShellExecuteA(g_shell.mainWindow, "open", url, NULL, NULL, SW_SHOWNORMAL);
    else
        opened = StartThroughShell(url, "", "", &shellPid);
    if (opened) ShowStatus("Register dibuka dalam browser.");
    else ShowStatus("Buka %s dalam browser anda.", url);
}

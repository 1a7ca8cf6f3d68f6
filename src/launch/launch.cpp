#include "launch/launch.h"

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
    const char* startFailed;  // status when CreateProcessA fails, with its error code
    DWORD creationFlags;
};
struct ClientStart {
    const LaunchMode* mode;
    const char* exePath;
    char* cmdLine;
    const char* clientDir;
    const char* dumpsDir;
};
}  // namespace

static const LaunchMode kLaunchModes[] = {
    {"System\\ZQ.exe tak dijumpai.\nLetak launcher ni dalam folder ZQO.", "Gagal start ZQ.exe (error %lu)", 0},
    {"System\\ZQ.exe tak dijumpai.", "Gagal start (error %lu)", DEBUG_ONLY_THIS_PROCESS},
};

static int Start(const ClientStart* s, PROCESS_INFORMATION* pi) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    ZeroMemory(pi, sizeof *pi);
    if (CreateProcessA(s->exePath, s->cmdLine, NULL, NULL, FALSE, s->mode->creationFlags, NULL, s->clientDir, &si, pi))
        return 1;
    ShowStatus(s->mode->startFailed, (unsigned long)GetLastError());
    return 0;
}

// Starts the client as our debuggee and catches its first crash. The debugging interface gives a debuggee's
// events only to the thread that started it, so both happen on this one.
static int StartAndCatch(void* arg) {
    PROCESS_INFORMATION pi;
    if (!Start((const ClientStart*)arg, &pi)) return 0;
    RunCrashCatcher(&pi, ((const ClientStart*)arg)->dumpsDir);  // owns and closes both handles from here on
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

    ClientStart start = {&m, exePath, cmdLine, clientDir, dumpsDir};
    if (mode == kLaunchDebug) return RunOffWindow(StartAndCatch, &start);  // the debugger's thread, not the window's
    PROCESS_INFORMATION pi;
    if (!Start(&start, &pi)) return 0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
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

#include "launch/launch.h"

#include <string.h>

#include "shell/disk.h"
#include "shell/shell.h"
#include "shell/system_dlls.h"

enum {
    // MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithThreadInfo
    kDumpType = 0x1005,
    kCloseCheckMs = 100,  // how often a wait for the next event looks whether the launcher is closing
};
static_assert(kDumpType == (MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithThreadInfo), "dump type");

// One PLAY (DEBUG): fresh for every run.
struct DebugRun {
    int dumpWritten;  // a dump of this run is on disk; later exceptions are only continued
    int crashMet;     // an exception was taken as a crash, captured or not; decides the final message
};

// The file handles that these events carry are ours to close; left open, every DLL load would leak one. Their
// process and thread handles are not: the system closes those when the exit event is continued.
static void CloseEventFile(const DEBUG_EVENT* ev) {
    HANDLE file = NULL;
    if (ev->dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) file = ev->u.CreateProcessInfo.hFile;
    else if (ev->dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) file = ev->u.LoadDll.hFile;
    if (file && file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

static void WriteCrashNote(const char* dumpsDir, const EXCEPTION_RECORD* rec) {
    char path[kPathCap], line[kCrashNoteCap];
    FormatBounded(path, sizeof path, "%s\\%s", dumpsDir, "crash.txt");
    FormatCrashNote(line, sizeof line, (unsigned long)rec->ExceptionCode,
                    (unsigned long long)(ULONG_PTR)rec->ExceptionAddress);
    // The note describes only the latest crash. A crash without its note is still captured: the dump is what
    // matters; but half a line would name the wrong crash.
    if (!DiskWrite(path, line, strlen(line), 0)) DiskDelete(path);
}

// Dumps the client stopped at `ev`'s exception, then ends it. 1 when the dump writer succeeded.
static int CaptureCrash(const PROCESS_INFORMATION* pi, const char* dumpsDir, const DEBUG_EVENT* ev) {
    // Record and context both lie in the launcher's memory, so the dump writer gets ClientPointers = FALSE.
    EXCEPTION_RECORD rec = ev->u.Exception.ExceptionRecord;
    unsigned long code = (unsigned long)rec.ExceptionCode;
    int ok = 0;
    char dumpPath[kPathCap];
    FormatBounded(dumpPath, sizeof dumpPath, "%s\\crash-%lu.dmp", dumpsDir, (unsigned long)GetTickCount());
    HANDLE file = DiskCreate(dumpPath, 0);
    if (file != INVALID_HANDLE_VALUE) {
        CONTEXT ctx;
        ZeroMemory(&ctx, sizeof ctx);
        ctx.ContextFlags = CONTEXT_FULL;
        HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, ev->dwThreadId);
        if (thread) {
            GetThreadContext(thread, &ctx);  // on failure the dump carries an empty context; still worth having
            CloseHandle(thread);
        }
        EXCEPTION_POINTERS pointers = {&rec, &ctx};
        MINIDUMP_EXCEPTION_INFORMATION info;
        info.ThreadId = ev->dwThreadId;
        info.ExceptionPointers = &pointers;
        info.ClientPointers = FALSE;
        decltype(&::MiniDumpWriteDump) writeDump = MiniDumpWriter();
        ok = writeDump && writeDump(pi->hProcess, pi->dwProcessId, file, (MINIDUMP_TYPE)kDumpType, &info, NULL, NULL);
        if (!CloseHandle(file)) ok = 0;
        if (!ok) DiskDelete(dumpPath);  // an empty or partial dump must not pass for the newest crash
    }
    if (ok) {
        WriteCrashNote(dumpsDir, &rec);
        ShowStatus("Crash ditangkap (0x%08lX). Tekan SEND DUMP.", code);
    } else {
        ShowStatus("Crash (0x%08lX) tapi gagal tulis dump.", code);
    }
    TerminateProcess(pi->hProcess, 1);  // captured or not, a crashed client does not run on
    return ok;
}

void RunCrashCatcher(const PROCESS_INFORMATION* pi, const char* dumpsDir) {
    DebugRun run = {0, 0};
    const int launcherIs64Bit = sizeof(void*) == 8;
    // Whatever becomes of the launcher, the game goes on: a debugger that ends lets its debuggee go.
    DebugSetProcessKillOnExit(FALSE);
    ShowStatus("Game jalan dalam mod debug. Main sampai crash.");
    for (;;) {
        DEBUG_EVENT ev;
        ZeroMemory(&ev, sizeof ev);
        if (!WaitForDebugEvent(&ev, kCloseCheckMs)) {
            if (GetLastError() != ERROR_SEM_TIMEOUT) break;
            // The player closes the launcher during the session: the game is let go and plays on uncaught.
            if (g_shell.closeRequested && DebugActiveProcessStop(pi->dwProcessId)) break;
            continue;
        }
        CloseEventFile(&ev);
        if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT && !run.dumpWritten &&
            CountsAsCrash((unsigned long)ev.u.Exception.ExceptionRecord.ExceptionCode, launcherIs64Bit)) {
            run.crashMet = 1;
            run.dumpWritten = CaptureCrash(pi, dumpsDir, &ev);
        }
        // DBG_CONTINUE for everything: the first chance is not consulted, and a captured client is ending anyway.
        if (!ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, DBG_CONTINUE)) break;
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
    CloseHandle(pi->hThread);
    CloseHandle(pi->hProcess);
    if (!run.crashMet) ShowStatus("Game tamat tanpa exception.");
}

// The crash catcher under Wine, in-process: this thread starts the fake client with DEBUG_ONLY_THIS_PROCESS and
// runs RunCrashCatcher itself, as PLAY (DEBUG) does on the window's thread.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <iomanip>
#include <sstream>
#include <string>

#include "launch/launch.h"
#include "shell/shell.h"
#include "support/launch_support.h"
#include "support/test_support.h"

namespace {

struct DebugRunSeen {
    DWORD exitCode = STILL_ACTIVE;
    DWORD mainThreadId = 0;
    DWORD pid = 0;
    bool handlesClosed = false;
    DWORD tickBefore = 0, tickAfter = 0;
};

struct CrashCatcher : testing::Test {
    HWND w = NULL;
    std::string dir, dumps;

    void SetUp() override {
        dir = FreshTestDir();
        dumps = JoinPath(dir, "dumps");
        CreateDirectoryA(dumps.c_str(), NULL);
        lstrcpynA(g_shell.installDir, dir.c_str(), sizeof g_shell.installDir);
        w = CreateMainWindow(GetModuleHandleA(NULL));
        ASSERT_TRUE(w != NULL);
    }
    void TearDown() override {
        if (IsWindow(w)) DestroyWindow(w);
        g_shell.statusLine = NULL;
        g_shell.mainWindow = NULL;
    }

    // Runs the fake client in `mode` under the crash catcher. With `catcherAccess`, the catcher gets a process
    // handle with only those rights instead of the one CreateProcessA returned.
    DebugRunSeen Run(const char* mode, DWORD catcherAccess = 0) {
        DebugRunSeen seen;
        // Installed once per test: a file handle the catcher leaked would keep the exe from being copied again.
        std::string exe = JoinPath(dir, "System\\ZQ.exe");
        bool ready = FileExists(exe) ? SetFakeClientMode(dir, mode) : InstallFakeClient(dir, mode) == exe;
        PROCESS_INFORMATION pi;
        if (!ready || !StartDebugged(exe, &pi)) {
            ADD_FAILURE() << "cannot start the fake client in mode " << mode;
            return seen;
        }
        seen.mainThreadId = pi.dwThreadId;
        seen.pid = pi.dwProcessId;
        HANDLE mine = NULL;  // ours, to read the exit code after the catcher has closed its handles
        DuplicateHandle(GetCurrentProcess(), pi.hProcess, GetCurrentProcess(), &mine, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        if (catcherAccess) {
            HANDLE limited = NULL;
            DuplicateHandle(GetCurrentProcess(), pi.hProcess, GetCurrentProcess(), &limited, catcherAccess, FALSE, 0);
            CloseHandle(pi.hProcess);
            pi.hProcess = limited;
        }
        seen.tickBefore = GetTickCount();
        RunCrashCatcher(&pi, dumps.c_str());
        seen.tickAfter = GetTickCount();
        DWORD flags;
        seen.handlesClosed = !GetHandleInformation(pi.hProcess, &flags) && !GetHandleInformation(pi.hThread, &flags);
        if (WaitForSingleObject(mine, 10000) == WAIT_OBJECT_0) GetExitCodeProcess(mine, &seen.exitCode);
        CloseHandle(mine);
        return seen;
    }

    std::string Status() { return StatusTextOf(w); }
    std::string Read(const std::string& path) {
        std::string b;
        return ReadFileBytes(path, &b) ? b : "(missing)";
    }
};

std::string DumpNames(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += n + " ";
    return s;
}

// The crash note as the release must write it, formatted here independently of the launcher's code.
std::string ExpectedNote(unsigned code, unsigned long long address) {
    std::ostringstream o;
    o << "exception=0x" << std::hex << std::setfill('0') << std::setw(8) << code << " address=" << std::setw(8)
      << address << "\r\n";
    return o.str();
}

// "crash-<tick>.dmp" with the tick in decimal without leading zeros, taken during the run.
void ExpectDumpName(const std::string& name, const DebugRunSeen& run) {
    ASSERT_EQ(name.compare(0, 6, "crash-"), 0) << name;
    ASSERT_GT(name.size(), 10u) << name;
    ASSERT_EQ(name.substr(name.size() - 4), ".dmp") << name;
    std::string digits = name.substr(6, name.size() - 10);
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << name;
    EXPECT_TRUE(digits.size() == 1 || digits[0] != '0') << name;
    unsigned long tick = strtoul(digits.c_str(), NULL, 10);
    EXPECT_LE(tick - run.tickBefore, run.tickAfter - run.tickBefore) << name << " not taken during the run";
}

TEST_F(CrashCatcher, AccessViolationLeavesOneDumpTheNoteAndAnEndedClient) {
    DebugRunSeen run = Run("crash");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(run.handlesClosed);
    EXPECT_EQ(Status(), "Crash ditangkap (0xC0000005). Tekan SEND DUMP.");

    std::vector<std::string> names = ListDir(dumps);
    ASSERT_EQ(names.size(), 2u) << DumpNames(names);  // crash-<tick>.dmp sorts before crash.txt
    EXPECT_EQ(names[1], "crash.txt");
    ExpectDumpName(names[0], run);

    MinidumpFacts dump = ReadMinidump(JoinPath(dumps, names[0]));
    ASSERT_EQ(dump.error, "");
    EXPECT_EQ(dump.exceptionCode, 0xC0000005u);
    EXPECT_EQ(dump.threadId, run.mainThreadId);
    std::vector<FakeClientStart> starts = FakeClientStarts(dir);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(dump.threadId, starts[0].tid) << "the faulting thread as the client saw itself";
    // The fake client writes to address 0x10: the record in the dump is the real one, not a made-up copy.
    ASSERT_EQ(dump.numberParameters, 2u);
    EXPECT_EQ(dump.parameters[0], 1u) << "a write";
    EXPECT_EQ(dump.parameters[1], 0x10u);
    EXPECT_NE(dump.exceptionAddress, 0u);
    // The captured context is the faulting thread's: it stands at the faulting instruction.
    EXPECT_EQ(dump.contextPc, dump.exceptionAddress) << "thread context not captured";
    EXPECT_EQ(dump.flags & 0xFFFFu, 0x1005u) << "MiniDumpWithDataSegs | WithHandleData | WithThreadInfo";
    EXPECT_TRUE(dump.HasStream(ThreadListStream) && dump.HasStream(ModuleListStream));

    EXPECT_EQ(Read(JoinPath(dumps, "crash.txt")), ExpectedNote(0xC0000005u, dump.exceptionAddress));
}

TEST_F(CrashCatcher, ExceptionTheClientWouldHandleIsCapturedToo) {
    DebugRunSeen run = Run("custom");  // RaiseException(0xE0000001) with its own handler; it would exit 0
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(Status(), "Crash ditangkap (0xE0000001). Tekan SEND DUMP.");
    std::vector<std::string> names = ListDir(dumps);
    ASSERT_EQ(names.size(), 2u) << DumpNames(names);
    MinidumpFacts dump = ReadMinidump(JoinPath(dumps, names[0]));
    ASSERT_EQ(dump.error, "");
    EXPECT_EQ(dump.exceptionCode, 0xE0000001u);
    EXPECT_EQ(dump.threadId, run.mainThreadId);
    EXPECT_EQ(Read(JoinPath(dumps, "crash.txt")), ExpectedNote(0xE0000001u, dump.exceptionAddress));
}

TEST_F(CrashCatcher, TwoCrashesInTwoRunsLeaveTwoDumpsAndTheSecondNote) {
    DebugRunSeen first = Run("crash");
    std::vector<std::string> afterFirst = ListDir(dumps);
    ASSERT_EQ(afterFirst.size(), 2u) << DumpNames(afterFirst);
    DebugRunSeen second = Run("custom");
    EXPECT_EQ(first.exitCode, 1u);
    EXPECT_EQ(second.exitCode, 1u);

    std::vector<std::string> names = ListDir(dumps);
    ASSERT_EQ(names.size(), 3u) << DumpNames(names);
    std::string newDump = names[0] == afterFirst[0] ? names[1] : names[0];
    ASSERT_NE(newDump, afterFirst[0]);
    ExpectDumpName(newDump, second);
    EXPECT_EQ(ReadMinidump(JoinPath(dumps, afterFirst[0])).exceptionCode, 0xC0000005u);
    MinidumpFacts dump = ReadMinidump(JoinPath(dumps, newDump));
    EXPECT_EQ(dump.exceptionCode, 0xE0000001u);
    EXPECT_EQ(Read(JoinPath(dumps, "crash.txt")), ExpectedNote(0xE0000001u, dump.exceptionAddress));
    EXPECT_EQ(Status(), "Crash ditangkap (0xE0000001). Tekan SEND DUMP.");
}

TEST_F(CrashCatcher, CleanRunsEndWithoutExceptionAndAddNoFile) {
    // The initial breakpoint comes in every run; debugstrings adds OutputDebugStringA output.
    for (const char* mode : {"exit", "debugstrings"}) {
        ShowStatus("Sedia.");
        DebugRunSeen run = Run(mode);
        EXPECT_EQ(run.exitCode, 0u) << mode;
        EXPECT_TRUE(run.handlesClosed) << mode;
        EXPECT_EQ(Status(), "Game tamat tanpa exception.") << mode;
        EXPECT_EQ(ListDir(dumps).size(), 0u) << mode << ": " << DumpNames(ListDir(dumps));
    }
}

TEST_F(CrashCatcher, PlainFileForDumpsDirectoryGivesFailureAndEndsClient) {
    RemoveDirectoryA(dumps.c_str());
    ASSERT_TRUE(WriteFileBytes(dumps, "not a folder"));
    DebugRunSeen run = Run("crash");
    EXPECT_EQ(Status(), "Crash (0xC0000005) tapi gagal tulis dump.");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(run.handlesClosed);
    EXPECT_EQ(Read(dumps), "not a folder");
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"System", "dumps"}));
}

TEST_F(CrashCatcher, FailedDumpWriteIsNotReportedAsCaptured) {
    // An older crash is on disk; it must stay the newest dump and its note must stay the note.
    ASSERT_TRUE(WriteFileBytes(JoinPath(dumps, "crash-5.dmp"), "older dump"));
    ASSERT_TRUE(WriteFileBytes(JoinPath(dumps, "crash.txt"), "exception=0xc0000005 address=00a1b2c3\r\n"));
    // Without PROCESS_VM_READ the dump writer cannot read the client's memory and fails; ending it still works.
    // (A full disk would be the natural fault, but Wine's MiniDumpWriteDump does not check its writes and reports
    // success for a cut-short dump; Windows' returns FALSE.)
    DebugRunSeen run = Run("crash", PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION);
    EXPECT_EQ(Status(), "Crash (0xC0000005) tapi gagal tulis dump.");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(run.handlesClosed);
    EXPECT_EQ(ListDir(dumps), (std::vector<std::string>{"crash-5.dmp", "crash.txt"})) << "partial dump left behind";
    EXPECT_EQ(Read(JoinPath(dumps, "crash.txt")), "exception=0xc0000005 address=00a1b2c3\r\n");
}

TEST_F(CrashCatcher, LongDebugSessionLeaksNoHandle) {
    Run("exit");  // the first debug start gives this thread its debug object for good
    std::set<ULONG_PTR> before = OpenHandles(GetCurrentProcess());
    DebugRunSeen dlls = Run("dlls");  // 64 library loads, each with a file handle for the debugger
    EXPECT_EQ(dlls.exitCode, 0u);
    EXPECT_EQ(NewHandles(GetCurrentProcess(), before, dlls.pid), "") << "after 64 library loads";
    before = OpenHandles(GetCurrentProcess());
    DebugRunSeen crash = Run("crash");  // the capture opens the thread and the dump file
    EXPECT_EQ(crash.exitCode, 1u);
    EXPECT_EQ(NewHandles(GetCurrentProcess(), before, crash.pid), "") << "after a captured crash";
}

}  // namespace

// PLAY and PLAY (DEBUG): the client's start, and the crash catcher with real minidumps, in this process with the
// fake client as System\ZQ.exe.
#include <windows.h>
#include <dbghelp.h>

#include <set>

#include "launch/launch.h"
#include "shell/shell.h"
#include "support.h"

namespace {

// Handle values open in this process, found by asking about each possible value.
std::set<ULONG_PTR> OpenHandles() {
    std::set<ULONG_PTR> open;
    for (ULONG_PTR v = 4; v < 0x10000; v += 4) {
        DWORD flags;
        if (GetHandleInformation((HANDLE)v, &flags)) open.insert(v);
    }
    return open;
}

// Handles opened since `before`. Files only, for a debug run: Wine never closes the process and thread handles a
// debugger is given with its events (Windows does, when the exit event is continued).
int NewHandles(const std::set<ULONG_PTR>& before, bool filesOnly) {
    int n = 0;
    for (ULONG_PTR v : OpenHandles())
        n += !before.count(v) && !(filesOnly && (GetProcessId((HANDLE)v) || GetThreadId((HANDLE)v)));
    return n;
}

struct Box {
    std::string text;  // caption|text
    HWND owner = NULL;
};

// Presses OK on the first message box, once read.
DWORD WINAPI AnswerBox(void* out) {
    Box* box = (Box*)out;
    HWND w = ShownBox(&box->text, 10000);
    box->owner = GetWindow(w, GW_OWNER);
    return !PostMessageA(w, WM_COMMAND, IDOK, 0);
}

struct Launch : LauncherTest {
    std::string dumps;
    void SetUp() override {
        LauncherTest::SetUp();
        dumps = dir + "\\dumps";
        ASSERT_TRUE(Publish(ReleaseId("launch"), {{"System/Core.u", "core"}}));
        ASSERT_TRUE(Install(dir, {{"System/Core.u", "core"}, {"autoupdate.ini", "BishopIP=1.1.1.1\r\n"}}));
    }
    std::vector<std::string> Dumps() const {
        std::vector<std::string> found;
        for (const std::string& n : List(dumps))
            if (n.size() > 4 && n.substr(n.size() - 4) == ".dmp") found.push_back(n);
        return found;
    }
    // The fake client in `mode` under the crash catcher, as PLAY (DEBUG) starts it; its exit code.
    DWORD RunDebugged(const char* mode, DWORD access = PROCESS_ALL_ACCESS, const std::string& from = "") {
        std::string exe = InstallClient(dir, mode, from);
        PROCESS_INFORMATION pi = {};
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        HANDLE mine = NULL, given = NULL;
        DWORD code = 0xDEAD;
        if (!CreateProcessA(exe.c_str(), NULL, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, NULL, &si, &pi)) return code;
        DuplicateHandle(GetCurrentProcess(), pi.hProcess, GetCurrentProcess(), &mine, SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0);
        DuplicateHandle(GetCurrentProcess(), pi.hProcess, GetCurrentProcess(), &given, access, FALSE, DUPLICATE_CLOSE_SOURCE);
        pi.hProcess = given;
        RunCrashCatcher(&pi, dumps.c_str());
        WaitForSingleObject(mine, 10000);
        GetExitCodeProcess(mine, &code);
        CloseHandle(mine);
        return code;
    }
    // The exception record of a minidump, read back with DbgHelp; false when it holds none.
    bool ReadDump(const std::string& name, MINIDUMP_EXCEPTION_STREAM* ex, CONTEXT* ctx, ULONG32* flags) {
        std::string bytes = Read(dumps + "\\" + name);
        void* stream = NULL;
        ULONG size = 0;
        if (bytes.size() < sizeof(MINIDUMP_HEADER) ||
            !MiniDumpReadDumpStream(&bytes[0], ExceptionStream, NULL, &stream, &size) || size < sizeof *ex)
            return false;
        *ex = *(MINIDUMP_EXCEPTION_STREAM*)stream;
        *flags = ((MINIDUMP_HEADER*)&bytes[0])->Flags;
        if (ex->ThreadContext.DataSize != sizeof *ctx || ex->ThreadContext.Rva > bytes.size() - sizeof *ctx) return false;
        memcpy(ctx, &bytes[ex->ThreadContext.Rva], sizeof *ctx);
        return true;
    }
};

// PLAY; then REGISTER of an elevated launcher: the desktop's shell opens the page, never the launcher. The https
// handler here is the fake client, which notes who started it.
TEST_F(Launch, PlayStartsTheClientInItsFolderWithTheLoginArgumentsAndKeepsNoHandleAndTheShellOpensRegister) {
    std::string exe = InstallClient(dir, "exit");
    Press(1001);
    EXPECT_EQ(Status(), "Game dijalankan - login di Bishop 127.0.0.1:7451") << Trail();
    std::set<ULONG_PTR> before = OpenHandles();
    EXPECT_EQ(StartClient(kLaunchPlay), 1);
    EXPECT_EQ(NewHandles(before, false), 0);
    for (int i = 0; i < 250 && ClientStarts(dir).size() < 2; i++) Sleep(20);
    // With the player's own token: this process is elevated (Wine makes every program so) and System is the player's.
    std::string start = "\"" + exe + "\" -updated -BishopIP=127.0.0.1 -BishopPort=7451 -window|" + dir + "\\System|limited";
    EXPECT_EQ(ClientStarts(dir), (std::vector<std::string>{start, start}));
    EXPECT_EQ(Read(dir + "\\autoupdate.ini"), "BishopIP=127.0.0.1\r\n");
    EXPECT_FALSE(Exists(dumps));

    const char* key = "https\\shell\\open\\command";
    char browser[MAX_PATH];
    LONG size = sizeof browser;
    ASSERT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, key, browser, &size), ERROR_SUCCESS);
    std::string fake = "\"" + exe + "\" \"%1\"", out = In(dir, "System/fake-client.out");
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, fake.c_str(), fake.size()), ERROR_SUCCESS);
    Press(1002);
    for (int i = 0; i < 250 && Read(out).find("\nparent=explorer.exe\n") == std::string::npos; i++) Sleep(20);
    RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, browser, strlen(browser));
    EXPECT_EQ(Status(), "Register dibuka dalam browser.");
    EXPECT_NE(Read(out).find(" \"https://127.0.0.1/register\"\n"), std::string::npos) << Read(out);
    EXPECT_NE(Read(out).find("\nparent=explorer.exe\n"), std::string::npos) << Read(out);
}

// A missing client is shown in a box. Last, a client exe that another program holds without sharing cannot be
// started: the system's reason is shown, and PLAY (DEBUG) has made its dumps folder by then.
TEST_F(Launch, NothingStartsWithoutTheClientAfterAFailedPatchRunWithoutTheConfigurationOrFromAHeldExe) {
    const char* kPlayText = "System\\ZQ.exe tak dijumpai.\nLetak launcher ni dalam folder ZQO.";
    const struct { int command; bool directory; const char* text; } kCases[] = {
        {1001, false, kPlayText}, {1008, false, "System\\ZQ.exe tak dijumpai."}, {1001, true, kPlayText}};
    for (const auto& c : kCases) {
        ASSERT_TRUE(!c.directory || CreateDirectoryA(In(dir, "System/ZQ.exe").c_str(), NULL));
        Box box;
        HANDLE answer = CreateThread(NULL, 0, AnswerBox, &box, 0, NULL);
        Press(c.command);
        EXPECT_EQ(WaitForSingleObject(answer, 15000), WAIT_OBJECT_0);
        CloseHandle(answer);
        EXPECT_EQ(box.text, std::string("VEQ Games Launcher|") + c.text);
        EXPECT_EQ(box.owner, window);
        EXPECT_FALSE(Exists(dumps)) << "no dumps folder before the client is known";
    }
    ASSERT_TRUE(RemoveDirectoryA(In(dir, "System/ZQ.exe").c_str()));
    std::string exe = InstallClient(dir, "exit");
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/manifest.tsv&status=500"));
    Press(1001);
    EXPECT_EQ(Status(), "Server patch tidak dapat dicapai. Cuba lagi.");
    ASSERT_TRUE(ResetServer() && DeleteFileA((dir + "\\autoupdate.ini").c_str()));
    Press(1008);
    EXPECT_EQ(Status(), "autoupdate.ini tak dijumpai");
    Sleep(500);
    EXPECT_TRUE(ClientStarts(dir).empty());
    EXPECT_FALSE(Exists(dumps));
    Program holder;
    ASSERT_TRUE(Write(dir + "\\autoupdate.ini", "x\r\n") && Hold(&holder, exe, "none"));
    Press(1001);
    EXPECT_EQ(Status(), "Gagal start ZQ.exe (error 32)");
    Press(1008);
    EXPECT_EQ(Status(), "Gagal start (error 32)");
    EXPECT_TRUE(Exists(dumps));
}

// A dump that cannot be written is never reported as captured (a dump file that cannot be made is the safety test's
// dumps link): the dump writer failing (a process handle without the rights it needs; Wine's writer ignores a full
// disk), whose half-written file goes. Then a crash becomes a dump with the exception, the note, and an ended client: a
// software exception the client handles itself (its exit code 1 shows the catcher ended it), then an access
// violation through PLAY (DEBUG), which adds a second dump and replaces the note.
TEST_F(Launch, ACrashBecomesADumpAndTheNoteAndEndsTheClientAndAFailedDumpIsNeverCaptured) {
    ASSERT_TRUE(CreateDirectoryA(dumps.c_str(), NULL));
    EXPECT_EQ(RunDebugged("crash", PROCESS_TERMINATE), 1u);
    EXPECT_EQ(Status(), "Crash (0xC0000005) tapi gagal tulis dump.");
    EXPECT_TRUE(List(dumps).empty());

    ASSERT_EQ(RunDebugged("custom"), 1u) << "not ended by the catcher: an access violation would loop on";
    EXPECT_EQ(Status(), "Crash ditangkap (0xE0000001). Tekan SEND DUMP.");
    EXPECT_EQ(Read(dumps + "\\crash.txt").compare(0, 21, "exception=0xe0000001 "), 0);
    std::vector<std::string> first = Dumps();
    ASSERT_EQ(first.size(), 1u);
    Sleep(20);  // another tick for the second name
    InstallClient(dir, "crash");
    Press(1008);
    EXPECT_EQ(trail.back(), "Crash ditangkap (0xC0000005). Tekan SEND DUMP.") << Trail();
    std::vector<std::string> both = Dumps();
    ASSERT_EQ(both.size(), 2u);
    std::string second = both[0] == first[0] ? both[1] : both[0];
    EXPECT_EQ(second.compare(0, 6, "crash-"), 0) << second;
    MINIDUMP_EXCEPTION_STREAM ex;
    CONTEXT ctx;
    ULONG32 flags = 0;
    ASSERT_TRUE(ReadDump(second, &ex, &ctx, &flags));
    EXPECT_EQ(flags, 0x1005u);
    EXPECT_EQ(ex.ExceptionRecord.ExceptionCode, 0xC0000005u);
    EXPECT_EQ(ex.ExceptionRecord.ExceptionInformation[1], 0x10u) << "the address written to";
    std::string tid = Read(In(dir, "System/fake-client.out"));
    EXPECT_NE(tid.find("tid=" + std::to_string(ex.ThreadId) + "\n"), std::string::npos);
    EXPECT_NE(tid.find("token=limited\n"), std::string::npos) << "PLAY (DEBUG) attached to a client of the player's";
    char note[80];
    snprintf(note, sizeof note, "exception=0xc0000005 address=%08llx\r\n", (unsigned long long)ex.ExceptionRecord.ExceptionAddress);
    EXPECT_EQ(Read(dumps + "\\crash.txt"), note);
    EXPECT_EQ(ctx.ContextFlags & CONTEXT_FULL, (DWORD)CONTEXT_FULL) << "this build's own CONTEXT";
#ifdef _WIN64
    EXPECT_EQ(ctx.Rip, (DWORD64)ex.ExceptionRecord.ExceptionAddress) << "the faulting thread's context";
#else
    EXPECT_EQ(ctx.Eip, (DWORD)(ULONG_PTR)ex.ExceptionRecord.ExceptionAddress) << "the faulting thread's context";
#endif
}

// Clean runs, then PLAY (DEBUG) of a game that plays for two seconds: the window answers throughout the session.
TEST_F(Launch, CleanRunsEndWithoutExceptionAddNoFileLeakNoHandleAndTheWindowAnswers) {
    RunDebugged("exit");  // what the first debug session sets up for good is no leak
    for (const char* mode : {"exit", "debugstrings", "threadname", "dlls"}) {
        std::set<ULONG_PTR> before = OpenHandles();
        EXPECT_EQ(RunDebugged(mode), 0u) << mode;
        EXPECT_EQ(Status(), "Game tamat tanpa exception.") << mode;
        EXPECT_EQ(NewHandles(before, true), 0) << mode << ": 64 library loads must not leave 64 files open";
    }
    EXPECT_FALSE(Exists(dumps));
    InstallClient(dir, "linger");
    EXPECT_LE(PressProbed(1008), 250u);
    EXPECT_EQ(Status(), "Game tamat tanpa exception.");
#ifdef _WIN64
    // A 32-bit client under the 64-bit launcher raises its breakpoints, the first included, as WOW64 ones.
    if (strcmp(getenv("VEQ_WIN32") ? getenv("VEQ_WIN32") : "0", "1") != 0) GTEST_SKIP() << "no 32-bit programs here";
    std::string bin = BinDir();
    EXPECT_EQ(RunDebugged("exit", PROCESS_ALL_ACCESS, bin.substr(0, bin.rfind('\\')) + "\\win32\\fake_client.exe"), 0u);
    EXPECT_EQ(Status(), "Game tamat tanpa exception.");
#endif
}

// Closing the launcher during PLAY (DEBUG) lets the game go on, and so does killing it. The real exe, elevated as
// its manifest asks, attached to a client of the player's own token.
TEST(LaunchExe, TheGameOutlivesALauncherClosedOrKilledDuringItsSession) {
    for (bool kill : {false, true}) {
        std::string dir = FreshDir(kill ? "-kill" : "-close"), release = FreshDir("-release");
        ASSERT_TRUE(WriteRelease(release, ReleaseId("outlive"), {{"System/Core.u", "c"}}) && ServeRelease(release));
        ASSERT_TRUE(Install(dir, {{"System/Core.u", "c"}, {"autoupdate.ini", "BishopIP=1.1.1.1\r\n"}}));
        InstallClient(dir, "run");
        LauncherProcess launcher;
        ASSERT_TRUE(launcher.Start(dir));
        launcher.Post(1008);
        ASSERT_TRUE(launcher.WaitStatus("Game jalan dalam mod debug.", 15000)) << launcher.Status();
        DWORD pid = 0;
        for (int i = 0; i < 100 && !(pid = ClientPid(dir)); i++) Sleep(50);
        HANDLE client = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        ASSERT_TRUE(client != NULL);
        if (kill) launcher.Kill();
        else PostMessageA(launcher.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(launcher.Wait(10000), kill ? 99u : 0u);
        EXPECT_EQ(WaitForSingleObject(client, 1000), (DWORD)WAIT_TIMEOUT) << "the game ended with the launcher";
        EXPECT_NE(Read(In(dir, "System/fake-client.out")).find("token=limited\n"), std::string::npos);
        TerminateProcess(client, 0);
        CloseHandle(client);
    }
}

}  // namespace

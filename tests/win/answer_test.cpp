// The window answers within 250 ms during every command: downloads (also from a host that drops packets),
// checks, copies, uploads and a game session under the crash catcher. A thread of the test sends the window
// WM_NULL again and again while the command runs, and keeps the longest wait.
#include "shell/shell.h"
#include "support.h"

namespace {

const DWORD kAnswerMs = 250;

struct Answers : LauncherTest {
    // Runs the command with the probe on; the longest wait, printed for the record.
    DWORD Longest(int id) {
        Probe probe(window);
        Press(id);
        DWORD longest = probe.Stop();
        printf("%s: longest wait %lu ms over %d answers\n", testing::UnitTest::GetInstance()->current_test_info()->name(),
               longest, probe.answers);
        EXPECT_GT(probe.answers, 5) << "the window never answered while the command ran";
        return longest;
    }
};

// Two changed 24 MiB files, one of them held back by the server for a while: check, download, backup, install.
TEST_F(Answers, ThroughAWholeUpdate) {
    std::vector<File> now = {{"Textures/A.utx", Bytes(24u << 20, 1)}, {"Textures/B.utx", Bytes(24u << 20, 2)}};
    ASSERT_TRUE(Install(dir, {{"Textures/A.utx", Bytes(24u << 20, 3)}, {"Textures/B.utx", Bytes(24u << 20, 4)}}));
    ASSERT_TRUE(Publish(ReleaseId("answers"), now));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/blobs/" + Sha256(now[1].content) + "&stall_ms=1500&stall_after=65536"));
    EXPECT_LE(Longest(1003), kAnswerMs);
    std::string why;
    EXPECT_TRUE(HasFiles(dir, now, &why)) << why;
}

// The second move fails: the first file (24 MiB) is copied back from its backup.
TEST_F(Answers, ThroughARollback) {
    std::vector<File> now = {{"Maps/A.ut2", Bytes(24u << 20, 5)}, {"Maps/B.ut2", "b"}}, before = {{"Maps/A.ut2", Bytes(24u << 20, 6)}, {"Maps/B.ut2", "old"}};
    ASSERT_TRUE(Install(dir, before) && Publish(ReleaseId("answers-rollback"), now));
    Program holder;
    ASSERT_TRUE(Hold(&holder, In(dir, "Maps/B.ut2"), "r"));
    EXPECT_LE(Longest(1003), kAnswerMs);
    std::string why;
    EXPECT_TRUE(HasFiles(dir, before, &why)) << why;
}

// The host drops every packet for two seconds: the connection attempt waits, the window does not.
TEST_F(Answers, WhileTheHostDropsPackets) {
    ASSERT_TRUE(Publish(ReleaseId("answers-drop"), {{"System/A.u", "a"}}));
    ASSERT_TRUE(Ctl("POST /ctl/tls?mode=drop"));
    struct Restore {
        static DWORD WINAPI Run(void*) {
            Sleep(2000);
            Ctl("POST /ctl/tls?mode=default");
            return 0;
        }
    };
    HANDLE restore = CreateThread(NULL, 0, Restore::Run, NULL, 0, NULL);
    EXPECT_LE(Longest(1003), kAnswerMs);
    WaitForSingleObject(restore, 10000);
    CloseHandle(restore);
    EXPECT_EQ(Read(In(dir, "System/A.u")), "a") << Trail();
}

// 64 MiB to a receiver that waits two seconds before it reads.
TEST_F(Answers, ThroughABigUploadToASlowReceiver) {
    std::string uploads = FreshDir("-uploads");
    ASSERT_TRUE(Ctl("POST /ctl/uploads?dir=" + UnixPath(uploads)));
    ASSERT_TRUE(Write(In(dir, "System/ZQ.log"), Bytes(64u << 20, 7)));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/legacy/&stall_ms=2000&stall_after=0"));
    EXPECT_LE(Longest(1006), kAnswerMs);
    EXPECT_EQ(Status(), "Dihantar: zqlog (67108864 B)");
    RemoveTree(dir);
}

TEST_F(Answers, ThroughAGameSessionUnderTheCrashCatcher) {
    ASSERT_TRUE(Publish(ReleaseId("answers-debug"), {{"System/Core.u", "core"}}));
    ASSERT_TRUE(Install(dir, {{"System/Core.u", "core"}, {"autoupdate.ini", "BishopIP=1.1.1.1\r\n"}}));
    InstallClient(dir, "linger");
    EXPECT_LE(Longest(1008), kAnswerMs);
    EXPECT_EQ(Status(), "Game tamat tanpa exception.");
}

// Closing the launcher during PLAY (DEBUG) lets the game go on, and so does killing it.
TEST(AnswersExe, TheGameOutlivesALauncherClosedOrKilledDuringItsSession) {
    for (bool kill : {false, true}) {
        std::string dir = FreshDir(kill ? "-kill" : "-close"), release = FreshDir("-release");
        ASSERT_TRUE(Ctl("POST /ctl/reset") && WriteRelease(release, ReleaseId("outlive"), {{"System/Core.u", "c"}}));
        ASSERT_TRUE(Ctl("POST /ctl/release?dir=" + UnixPath(release)));
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
        EXPECT_EQ(launcher.WaitExit(10000), kill ? 99u : 0u);
        EXPECT_EQ(WaitForSingleObject(client, 1000), (DWORD)WAIT_TIMEOUT) << "the game ended with the launcher";
        TerminateProcess(client, 0);
        CloseHandle(client);
    }
}

}  // namespace

// The autoupdate.ini rewrite on disk: the line rules are tested natively; here, the files around it and what
// other programs and a full disk do to it.
#include "config/config.h"
#include "shell/shell.h"
#include "support.h"

namespace {

struct Config : LauncherTest {
    std::string Ini() const { return dir + "\\autoupdate.ini"; }
};

// A folder where the file belongs is no file (a missing one is the launch test's, where it stops PLAY (DEBUG)).
TEST_F(Config, RewritesKeepingABackupAndWhatCannotBeReadOrReplacedOrFitOrWrittenIsReportedAndKept) {
    ASSERT_TRUE(CreateDirectoryA(Ini().c_str(), NULL));
    EXPECT_EQ(RewriteClientConfig(), 0);
    EXPECT_EQ(Status(), "autoupdate.ini tak dijumpai");
    EXPECT_EQ(List(dir), std::vector<std::string>{"autoupdate.ini"});
    RemoveDirectoryA(Ini().c_str());

    const std::string before = "[Login]\r\n  bishopip = 1.2.3.4\r\nBishopPortX=1\nOther=initialVer\r\ninitialVer=1";
    ASSERT_TRUE(Write(Ini(), before));
    EXPECT_EQ(RewriteClientConfig(), 1);
    EXPECT_EQ(Status(), "Patched: 3 baris (Bishop 127.0.0.1:7451)");
    const std::string after = "[Login]\r\nBishopIP=127.0.0.1\r\nBishopPort=7451\r\nOther=initialVer\r\ninitialVer=0.9.9.14\r\n";
    EXPECT_EQ(Read(Ini()), after);
    EXPECT_EQ(Read(Ini() + ".bak"), before);
    EXPECT_EQ(RewriteClientConfig(), 1);
    EXPECT_EQ(Read(Ini() + ".bak"), after) << "the second run backs up the first one's result";
    EXPECT_EQ(List(dir), (std::vector<std::string>{"autoupdate.ini", "autoupdate.ini.bak"}));

    // Held by another program: with no sharing it cannot be read; with sharing it may still not be replaceable
    // (Wine refuses to replace a file open anywhere). Either way it is never lost, nor left half-written.
    const std::string held = "BishopIP=1.2.3.4\r\nOther=1\r\n";
    for (const char* share : {"none", "r", "rw", "rwd"}) {
        SCOPED_TRACE(std::string("held with sharing ") + share);
        ASSERT_TRUE(Write(Ini(), held));
        Program holder;
        ASSERT_TRUE(Hold(&holder, Ini(), share));
        int ok = RewriteClientConfig();
        holder.Kill();
        EXPECT_EQ(Read(Ini()), ok ? "BishopIP=127.0.0.1\r\nOther=1\r\n" : held);
        EXPECT_EQ(Status(), ok ? "Patched: 1 baris (Bishop 127.0.0.1:7451)"
                               : strcmp(share, "none") == 0 ? "tak boleh baca autoupdate.ini" : "gagal ganti autoupdate.ini");
        EXPECT_FALSE(Exists(dir + "\\autoupdate.tmp"));
    }
    // "autoupdate.ini.bak" is the longest name: with a folder of 240 characters it just fits in 259. Then a full disk.
    for (size_t len : {240, 241}) {
        UseDir(FreshDir(std::to_string(len)));
        UseDir(dir + "\\" + std::string(len - dir.size() - 1, 'x'));
        ASSERT_TRUE(Write(Ini(), "BishopIP=1.2.3.4\r\n"));
        EXPECT_EQ(RewriteClientConfig(), len == 240) << len;
    }
    EXPECT_EQ(Status(), kFolderTooLong);
    EXPECT_EQ(List(dir), std::vector<std::string>{"autoupdate.ini"});

    std::string small = SmallDisk(), many;
    if (small.empty()) GTEST_SKIP() << "no small disk in this test bed";
    UseDir(small);
    for (int i = 0; i < 400; i++) many += "Key" + std::to_string(i) + "=" + std::string(40, 'v') + "\r\n";
    ASSERT_TRUE(Write(Ini(), many) && FillDisk(0));
    EXPECT_EQ(RewriteClientConfig(), 0);
    EXPECT_EQ(Status(), "tak boleh tulis autoupdate.tmp");
    EXPECT_TRUE(Read(Ini()) == many);
    EXPECT_FALSE(Exists(dir + "\\autoupdate.tmp"));
}

}  // namespace

// The autoupdate.ini rewrite under Wine: the real file operations, the status line, and what is left on disk,
// including the faults the rewrite must survive (a file open elsewhere, a full disk).
#include <gtest/gtest.h>

#include <string>

#include "config/config.h"
#include "shell/shell.h"
#include "support/patchrun_support.h"
#include "support/test_support.h"

namespace {

const std::string kHostLine = std::string("BishopIP=") + kServiceHost + "\r\n";
const std::string kPortLine = "BishopPort=7451\r\n";
const std::string kVersionLine = "initialVer=0.9.9.14\r\n";

std::string PatchedMessage(int lines) {
    return "Patched: " + std::to_string(lines) + " baris (Bishop " + kServiceHost + ":7451)";
}

// The launcher's main window in this process (for the status line) and a fresh install folder.
struct ConfigRewrite : testing::Test {
    HWND window = NULL;
    std::string dir;
    void SetUp() override {
        window = CreateMainWindow(GetModuleHandleA(NULL));
        ASSERT_TRUE(window != NULL);
        UseDir(FreshTestDir());
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        g_shell.statusLine = NULL;
        g_shell.mainWindow = NULL;
    }
    void UseDir(const std::string& d) {
        dir = d;
        snprintf(g_shell.installDir, sizeof g_shell.installDir, "%s", dir.c_str());
    }
    std::string Ini() const { return dir + "\\autoupdate.ini"; }
    std::string Bak() const { return dir + "\\autoupdate.ini.bak"; }
    std::string Tmp() const { return dir + "\\autoupdate.tmp"; }
    std::string Status() const { return StatusTextOf(window); }
};

const struct {
    const char* why;
    std::string before, after;
    int replaced;
} kRewrites[] = {
    {"three keys behind blanks and tabs, any case, LF and CR LF",
     "BishopIP = old\n  bishopport=1\r\n\tINITIALVER=1.0\n", kHostLine + kPortLine + kVersionLine, 3},
    {"prefix match: longer names are replaced too", "BishopIPAddress=x\r\nFoo=1\r\ninitialVersion=y\n",
     kHostLine + "Foo=1\r\n" + kVersionLine, 2},
    {"only blanks and tabs may precede a key",
     ";BishopIP=x\r\n[BishopIP]\r\nBishop IP=x\r\n\xEF\xBB\xBF" "BishopIP=x\r\n.initialVer=1\n",
     ";BishopIP=x\r\n[BishopIP]\r\nBishop IP=x\r\n\xEF\xBB\xBF" "BishopIP=x\r\n.initialVer=1\n", 0},
    {"a key twice is replaced and counted twice", "[Login]\r\nBishopIP=1\r\nFoo=bar\r\nbishopip=2\r\n",
     "[Login]\r\n" + kHostLine + "Foo=bar\r\n" + kHostLine, 2},
    {"no keys: copied byte for byte, keys are never added", "[Other]\r\nName=x\r\n\r\nA=b", "[Other]\r\nName=x\r\n\r\nA=b",
     0},
    {"empty file", "", "", 0},
    {"last line without ending stays so", "BishopPort=1\r\nLast=1", kPortLine + "Last=1", 1},
    {"last line without ending gains CR LF when replaced", "Foo=1\ninitialVer=2", "Foo=1\n" + kVersionLine, 1},
    {"a NUL byte is an ordinary byte of its line", std::string("A=1\0BishopIP=x\r\nBishopIP=y\r\n", 28),
     std::string("A=1\0BishopIP=x\r\n", 16) + kHostLine, 1},
    {"a long key line is replaced as a whole", "BishopIP=" + std::string(3000, 'v') + "\r\nNext=1\r\n",
     kHostLine + "Next=1\r\n", 1},
    {"a key that only starts a later piece of a long line is not a key",
     std::string(1023, 'c') + "BishopIP=zz\r\nEnd\r\n", std::string(1023, 'c') + "BishopIP=zz\r\nEnd\r\n", 0},
};

TEST_F(ConfigRewrite, RewritesLinesAndKeepsTheOldFileAsBackup) {
    for (const auto& c : kRewrites) {
        SCOPED_TRACE(c.why);
        DeleteFileA(Bak().c_str());
        ASSERT_TRUE(WriteFileBytes(Ini(), c.before));
        EXPECT_EQ(RewriteClientConfig(), 1);
        EXPECT_EQ(ReadAll(Ini()), c.after);
        EXPECT_EQ(ReadAll(Bak()), c.before);
        EXPECT_FALSE(FileExists(Tmp()));
        EXPECT_EQ(Status(), PatchedMessage(c.replaced));
    }
}

TEST_F(ConfigRewrite, SecondRunBacksUpTheRewrittenFile) {
    ASSERT_TRUE(WriteFileBytes(Ini(), "BishopIP=10.0.0.1\r\nX=1\r\n"));
    ASSERT_EQ(RewriteClientConfig(), 1);
    std::string once = ReadAll(Ini());
    ASSERT_EQ(RewriteClientConfig(), 1);
    EXPECT_EQ(ReadAll(Ini()), once);
    EXPECT_EQ(ReadAll(Bak()), once);
    EXPECT_EQ(Status(), PatchedMessage(1));
}

TEST_F(ConfigRewrite, MissingFileOrDirectoryIsNotFoundAndNothingIsWritten) {
    EXPECT_EQ(RewriteClientConfig(), 0);
    EXPECT_EQ(Status(), "autoupdate.ini tak dijumpai");
    ASSERT_TRUE(CreateDirectoryA(Ini().c_str(), NULL));
    EXPECT_EQ(RewriteClientConfig(), 0);
    EXPECT_EQ(Status(), "autoupdate.ini tak dijumpai");
    EXPECT_TRUE(DirExists(Ini()));
    EXPECT_FALSE(FileExists(Bak()));
    EXPECT_FALSE(FileExists(Tmp()));
}

TEST_F(ConfigRewrite, FileNobodyMayReadIsReportedAndKept) {
    const std::string before = "BishopIP=1.2.3.4\r\n";
    ASSERT_TRUE(WriteFileBytes(Ini(), before));
    OtherProgram holder;
    ASSERT_TRUE(HoldFile(&holder, Ini(), "none"));
    EXPECT_EQ(RewriteClientConfig(), 0);
    EXPECT_EQ(Status(), "tak boleh baca autoupdate.ini");
    holder.Kill();
    EXPECT_EQ(ReadAll(Ini()), before);
    EXPECT_FALSE(FileExists(Tmp()));
}

// Another program (an editor, a scanner, the client) has autoupdate.ini open. Deleting the file first and then
// moving the new one in would, with delete sharing, leave it "delete pending": the move fails because the name is
// still taken, and once the other program closes it the player has no autoupdate.ini at all. Replacing in one step
// never loses it. Wine refuses to replace a file that is open anywhere (error 5); Windows may replace it when
// delete sharing allows. Either way the file must exist afterwards and match the reported outcome.
TEST_F(ConfigRewrite, FileOpenElsewhereIsNeverLost) {
    const std::string before = "BishopIP=1.2.3.4\r\nOther=1\r\n";
    for (const char* share : {"r", "rw", "rwd"}) {
        SCOPED_TRACE(std::string("held with sharing ") + share);
        ASSERT_TRUE(WriteFileBytes(Ini(), before));
        OtherProgram holder;
        ASSERT_TRUE(HoldFile(&holder, Ini(), share));
        int result = RewriteClientConfig();
        std::string status = Status();
        holder.Kill();
        ASSERT_TRUE(FileExists(Ini())) << "autoupdate.ini lost; status: " << status;
        if (result) {
            EXPECT_EQ(ReadAll(Ini()), kHostLine + "Other=1\r\n");
            EXPECT_EQ(status, PatchedMessage(1));
        } else {
            EXPECT_EQ(ReadAll(Ini()), before);
            EXPECT_EQ(status, "gagal ganti autoupdate.ini");
        }
        EXPECT_FALSE(FileExists(Tmp()));
    }
}

// A write that fails (here: the disk is full) must not replace the configuration with a cut-off copy.
TEST_F(ConfigRewrite, FullDiskKeepsTheOldFile) {
    std::string small = SmallDiskDir();
    if (small.empty()) GTEST_SKIP() << "no small disk in this test bed (tests/harness/smalldisk.sh)";
    UseDir(small);
    std::string before;
    for (int i = 0; i < 400; i++) before += "Key" + std::to_string(i) + "=" + std::string(40, 'v') + "\r\n";
    before += "BishopIP=1.2.3.4\r\n";
    ASSERT_TRUE(WriteFileBytes(Ini(), before));
    ASSERT_TRUE(FillDisk(small.substr(0, 2) + "\\filler", 0));
    EXPECT_EQ(RewriteClientConfig(), 0);
    EXPECT_EQ(Status(), "tak boleh tulis autoupdate.tmp");
    EXPECT_TRUE(ReadAll(Ini()) == before) << DescribeFile(Ini());
    EXPECT_FALSE(FileExists(Tmp()));
}

// "autoupdate.ini.bak" is the longest name: with 240 characters of folder it just fits in 259.
TEST_F(ConfigRewrite, FolderTooLongForItsNamesIsRefused) {
    const std::string before = "BishopIP=1.2.3.4\r\n";
    for (size_t len : {240, 241}) {
        SCOPED_TRACE("install folder of " + std::to_string(len) + " characters");
        UseDir(DirOfLength(FreshTestDir(("-" + std::to_string(len)).c_str()), len));
        ASSERT_TRUE(WriteFileBytes(Ini(), before));
        if (len == 240) {
            EXPECT_EQ(RewriteClientConfig(), 1);
            EXPECT_EQ(ReadAll(Bak()), before);
        } else {
            EXPECT_EQ(RewriteClientConfig(), 0);
            EXPECT_EQ(Status(), "Folder game terlalu panjang. Pindahkan game ke folder yang lebih pendek.");
            EXPECT_EQ(ReadAll(Ini()), before);
            EXPECT_EQ(ListDir(dir), std::vector<std::string>{"autoupdate.ini"});
        }
    }
}

}  // namespace

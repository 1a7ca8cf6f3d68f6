// SEND LOG and SEND DUMP against the test server, through the real launcher window.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "shell/shell.h"
#include "support/test_support.h"
#include "support/upload_support.h"
#include "upload/upload_rules.h"

namespace {

const int kSendLog = 1006, kSendDump = 1007;
const size_t kLimit = 67108864;
const ULONGLONG kDay = 864000000000ULL;               // 100 ns units
const ULONGLONG kBaseTime = 133000000000000000ULL;    // a date in 2022

// A launcher in a fresh install folder, and a server that stores uploads in a folder of our own on T:.
struct Upload : testing::Test {
    std::string dir, uploads;
    LauncherProcess launcher;
    void SetUp() override {
        dir = FreshTestDir();
        uploads = FreshTestDir(".uploads");
        ASSERT_TRUE(ResetServerWithUploadsIn(uploads)) << "test server control not reachable";
        ASSERT_TRUE(CreateDirectoryA(Path("System").c_str(), NULL));
        ASSERT_TRUE(launcher.Start(dir)) << "launcher did not start in " << dir;
    }
    void TearDown() override {
        launcher.Kill();
        ServerCtl("POST", "/ctl/reset");
        RemoveTree(dir);  // some cases leave 64 MiB files behind
        RemoveTree(uploads);
    }
    std::string Path(const char* name) const { return JoinPath(dir, name); }
    std::string Press(int id) {
        launcher.Click(id);
        return launcher.Status();
    }
    void ResetServer() { ASSERT_TRUE(ResetServerWithUploadsIn(uploads)); }
    // The one upload the server saw, and that its stored file holds exactly `bytes`.
    void ExpectOneUpload(const char* tag, const std::string& bytes, const char* why) {
        std::vector<ServerRequest> reqs = UploadRequests();
        ASSERT_EQ(reqs.size(), 1u) << why;
        const ServerRequest& r = reqs[0];
        EXPECT_EQ(r.method, "POST") << why;
        EXPECT_EQ(r.target, std::string("/legacy/upload?tag=") + tag) << why;
        EXPECT_EQ(r.agent, "tarqo-launcher/1.0") << why;
        EXPECT_EQ(r.contentType, "application/octet-stream") << why;
        EXPECT_EQ(r.bodyBytes, bytes.size()) << why;
        EXPECT_EQ(r.status, 200) << why;
        std::string stored;
        ASSERT_TRUE(ReadFileBytes(StoredUploadPath(r.stored), &stored)) << why << ": stored as " << r.stored;
        EXPECT_TRUE(stored == bytes) << why << ": stored " << stored.size() << " bytes differ from the file";
    }
};

TEST(UploadRules, SizeLimitsAreInclusiveAndAFailedMeasureIsRefused) {
    const struct {
        long size;
        int want;
    } kCases[] = {
        {LONG_MIN, 0}, {-1, 0}, {0, 0}, {1, 1}, {1234, 1}, {(long)kLimit, 1}, {(long)kLimit + 1, 0}, {LONG_MAX, 0},
    };
    for (const auto& c : kCases) EXPECT_EQ(UploadSizeAllowed(c.size), c.want) << c.size;
}

TEST_F(Upload, SendLogDeliversTheFileByteExactAndLeavesItInPlace) {
    const std::string log = Path("System\\ZQ.log");
    for (size_t size : {(size_t)1234, (size_t)1}) {
        SCOPED_TRACE(size);
        ResetServer();
        std::string bytes = PatternBytes(size, (unsigned)size);
        ASSERT_TRUE(WriteFileBytes(log, bytes));
        EXPECT_EQ(Press(kSendLog), "Dihantar: zqlog (" + std::to_string(size) + " B)");
        ExpectOneUpload("zqlog", bytes, "log");
        std::string after;
        EXPECT_TRUE(ReadFileBytes(log, &after) && after == bytes) << "the log must stay as it was";
    }
}

TEST_F(Upload, SendLogRefusesWhatItCannotSendWithoutTraffic) {
    const std::string log = Path("System\\ZQ.log");
    const std::string missing = "fail tak ada: " + dir + "\\System\\ZQ.log";
    enum Kind { kMissing, kDirectory, kSized, kLocked };
    const struct {
        const char* why;
        Kind kind;
        size_t size;
        std::string want;
    } kCases[] = {
        {"no log at all", kMissing, 0, missing},
        {"a directory named like the log", kDirectory, 0, missing},
        {"an empty log", kSized, 0, "saiz fail tak sah (0 B)"},
        {"one byte over 64 MiB", kSized, kLimit + 1, "saiz fail tak sah (67108865 B)"},
        {"a log another process holds without sharing", kLocked, 10, "tak boleh buka fail"},
    };
    for (const auto& c : kCases) {
        ResetServer();
        RemoveTree(log);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.kind == kDirectory) {
            ASSERT_TRUE(CreateDirectoryA(log.c_str(), NULL)) << c.why;
        }
        if (c.kind == kSized || c.kind == kLocked) {
            ASSERT_TRUE(WritePatternFile(log, c.size, 7)) << c.why;
        }
        if (c.kind == kLocked) {
            held = CreateFileA(log.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
            ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.why;
        }
        EXPECT_EQ(Press(kSendLog), c.want) << c.why;
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        EXPECT_TRUE(UploadRequests().empty()) << c.why << ": something reached the server";
    }
}

// The whole file is held in one block for the transfer: the launcher's peak working set grows by about 64 MiB
// (fread touches every page), not by a multiple, and falls back once the block is freed. Working set it is,
// because Wine reports no private bytes (0) and leaves large heap blocks out of its pagefile figure; its working
// set is Linux's resident size, its peak VmHWM.
TEST_F(Upload, SendLogSendsExactly64MiBHoldingOneCopy) {
    const std::string log = Path("System\\ZQ.log");
    ASSERT_TRUE(WriteFileBytes(log, "x"));  // loads WinHTTP and TLS first, so they do not count as the upload's
    ASSERT_EQ(Press(kSendLog), "Dihantar: zqlog (1 B)");
    ResetServer();
    ASSERT_TRUE(WritePatternFile(log, kLimit, 3));
    MemorySample before, after;
    ASSERT_TRUE(SampleMemory(launcher.pi.hProcess, &before));
    DWORD start = GetTickCount();
    EXPECT_EQ(Press(kSendLog), "Dihantar: zqlog (67108864 B)");
    DWORD ms = GetTickCount() - start;
    ASSERT_TRUE(SampleMemory(launcher.pi.hProcess, &after));

    std::vector<ServerRequest> reqs = UploadRequests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].bodyBytes, kLimit);
    EXPECT_EQ(reqs[0].status, 200);
    EXPECT_TRUE(FileHasPattern(StoredUploadPath(reqs[0].stored), kLimit, 3)) << "stored upload differs";

    const double mib = 1024.0 * 1024.0;
    double peakGrowth = ((double)after.peakWorkingSet - (double)before.peakWorkingSet) / mib;
    double keptAfter = ((double)after.workingSet - (double)before.workingSet) / mib;
    printf("64 MiB upload in %lu ms; launcher working set %.1f MiB before, %.1f MiB after; peak %.1f -> %.1f MiB "
           "(+%.1f MiB)\n",
           (unsigned long)ms, before.workingSet / mib, after.workingSet / mib, before.peakWorkingSet / mib,
           after.peakWorkingSet / mib, peakGrowth);
    RecordProperty("peak_growth_mib", (int)peakGrowth);
    EXPECT_GE(peakGrowth, 60.0) << "the file was not read into memory whole";
    EXPECT_LT(peakGrowth, 112.0) << "more than one copy of the body was held";
    EXPECT_LT(keptAfter, 16.0) << "the block outlived the upload";
}

TEST_F(Upload, AnswersOtherThan200AreFailuresWithTheirStatus) {
    const std::string bytes = PatternBytes(1234, 5);
    ASSERT_TRUE(WriteFileBytes(Path("System\\ZQ.log"), bytes));
    for (int status : {201, 204, 404, 500}) {
        ResetServer();
        ASSERT_FALSE(ServerCtl("POST", "/ctl/fault?path=/legacy/upload&status=" + std::to_string(status)).empty());
        EXPECT_EQ(Press(kSendLog), "Hantar zqlog gagal (status " + std::to_string(status) + ")");
        std::vector<ServerRequest> reqs = UploadRequests();
        ASSERT_EQ(reqs.size(), 1u) << status;
        EXPECT_EQ(reqs[0].target, "/legacy/upload?tag=zqlog") << status;
        EXPECT_EQ(reqs[0].status, status);
    }
}

// No TLS listener, or one whose certificate nobody trusts: nothing is read back, so the status is 0. The
// platform's certificate check is left on; the same press succeeds once the server is back to normal.
TEST_F(Upload, UnreachableOrUntrustedServerGivesStatusZero) {
    ASSERT_TRUE(CreateDirectoryA(Path("dumps").c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(Path("dumps\\crash-1.dmp"), PatternBytes(300, 9)));
    ASSERT_TRUE(WriteFileBytes(Path("System\\ZQ.log"), PatternBytes(200, 8)));
    const struct {
        const char* mode;
        int command;
        const char* want;
        const char* wantAfterReset;
    } kCases[] = {
        {"untrusted", kSendLog, "Hantar zqlog gagal (status 0)", "Dihantar: zqlog (200 B)"},
        {"off", kSendDump, "Hantar dump gagal (status 0)", "Dihantar: dump (300 B)"},
    };
    for (const auto& c : kCases) {
        ResetServer();
        ASSERT_FALSE(ServerCtl("POST", std::string("/ctl/tls?mode=") + c.mode).empty()) << c.mode;
        EXPECT_EQ(Press(c.command), c.want) << c.mode;
        EXPECT_TRUE(UploadRequests().empty()) << c.mode;
        ResetServer();
        EXPECT_EQ(Press(c.command), c.wantAfterReset) << c.mode;
    }
}

struct DumpFile {
    const char* name;  // under the dumps directory
    bool directory;
    ULONGLONG day;
    size_t size;
};

TEST_F(Upload, SendDumpSendsTheNewestDumpElseTheClientsOwn) {
    const size_t kOwn = 555;  // size of System\minidump-v3369.dmp
    enum Own { kNoOwn, kOwnFile, kOwnDirectory };
    const struct {
        const char* why;
        bool dumpsDir;
        std::vector<DumpFile> dumps;
        Own own;
        const char* sent;  // name of the file expected at the server; NULL: nothing is sent
    } kCases[] = {
        {"newest wins whatever its name", true,
         {{"a.dmp", false, 3, 101}, {"crash-9.dmp", false, 1, 102}, {"z.dmp", false, 2, 103}}, kNoOwn, "a.dmp"},
        {"a directory named like a dump is skipped", true,
         {{"new.dmp", true, 9, 0}, {"old.dmp", false, 1, 104}}, kNoOwn, "old.dmp"},
        {"only .dmp names count", true, {{"crash.txt", false, 9, 105}, {"x.dmp", false, 1, 106}}, kNoOwn, "x.dmp"},
        {"a dump beats the client's own minidump", true, {{"a.dmp", false, 1, 107}}, kOwnFile, "a.dmp"},
        {"an empty dumps directory falls back", true, {}, kOwnFile, "minidump-v3369.dmp"},
        {"no dumps directory falls back", false, {}, kOwnFile, "minidump-v3369.dmp"},
        {"only a directory in dumps and no fallback", true, {{"d.dmp", true, 2, 0}}, kNoOwn, NULL},
        {"nothing at all", false, {}, kNoOwn, NULL},
        {"the fallback is a directory", true, {}, kOwnDirectory, NULL},
    };
    const std::string dumps = Path("dumps"), own = Path("System\\minidump-v3369.dmp");
    for (const auto& c : kCases) {
        ResetServer();
        RemoveTree(dumps);
        RemoveTree(own);
        std::string sentBytes;
        if (c.dumpsDir) {
            ASSERT_TRUE(CreateDirectoryA(dumps.c_str(), NULL));
        }
        unsigned seed = 20;
        for (const DumpFile& d : c.dumps) {
            std::string p = JoinPath(dumps, d.name);
            std::string bytes = PatternBytes(d.size, seed++);
            ASSERT_TRUE(d.directory ? CreateDirectoryA(p.c_str(), NULL) != 0 : WriteFileBytes(p, bytes)) << p;
            ASSERT_TRUE(SetWriteTime(p, kBaseTime + d.day * kDay)) << p;
            if (c.sent && strcmp(c.sent, d.name) == 0) sentBytes = bytes;
        }
        if (c.own == kOwnFile) {
            ASSERT_TRUE(WriteFileBytes(own, PatternBytes(kOwn, 99)));
        } else if (c.own == kOwnDirectory) {
            ASSERT_TRUE(CreateDirectoryA(own.c_str(), NULL));
        }
        if (c.sent && strcmp(c.sent, "minidump-v3369.dmp") == 0) sentBytes = PatternBytes(kOwn, 99);

        std::string status = Press(kSendDump);
        if (c.sent) {
            EXPECT_EQ(status, "Dihantar: dump (" + std::to_string(sentBytes.size()) + " B)") << c.why;
            ExpectOneUpload("dump", sentBytes, c.why);
        } else {
            EXPECT_EQ(status, "Tiada .dmp dalam " + dir + "\\dumps") << c.why;
            EXPECT_TRUE(UploadRequests().empty()) << c.why;
        }
    }
}

// Among equal times the first one enumerated stays chosen. The order is whatever the file system returns
// (not sorted under Wine), so ask it, and make every candidate distinguishable by size.
TEST_F(Upload, SendDumpKeepsTheFirstOfEqualTimes) {
    const std::string dumps = Path("dumps");
    ASSERT_TRUE(CreateDirectoryA(dumps.c_str(), NULL));
    const char* names[] = {"m.dmp", "b.dmp", "x.dmp", "older.dmp"};
    for (int i = 0; i < 4; i++) {
        std::string p = JoinPath(dumps, names[i]);
        ASSERT_TRUE(WriteFileBytes(p, PatternBytes(200 + i, 40 + i)));
        ASSERT_TRUE(SetWriteTime(p, kBaseTime + (i == 3 ? 1 : 5) * kDay));
    }
    std::vector<std::string> order;
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((dumps + "\\*.dmp").c_str(), &fd);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do order.push_back(fd.cFileName);
    while (FindNextFileA(find, &fd));
    FindClose(find);
    std::string first;
    for (const std::string& n : order)
        if (n != "older.dmp" && first.empty()) first = n;
    int i = 0;
    while (first != names[i]) i++;

    EXPECT_EQ(Press(kSendDump), "Dihantar: dump (" + std::to_string(200 + i) + " B)") << "first enumerated: " << first;
    ExpectOneUpload("dump", PatternBytes(200 + i, 40 + i), first.c_str());
}

// Paths as the launcher forms them from its install directory, in-process. A launcher at the root of a drive
// has the install directory "X:"; an unused letter shows the joined names without any drive behind it.
TEST(UploadPaths, InstallDirectoryAtADriveRootAndAtTheLengthLimit) {
    HWND w = CreateMainWindow(GetModuleHandleA(NULL));
    ASSERT_TRUE(w != NULL);
    std::string drive;
    DWORD used = GetLogicalDrives();
    for (char letter = 'Q'; letter >= 'K' && drive.empty(); letter--)
        if (!(used & (1u << (letter - 'A')))) drive = std::string(1, letter) + ":";
    ASSERT_FALSE(drive.empty()) << "no unused drive letter";
    // 250 characters: the log path no longer fits in 260 bytes and is cut, never overrun.
    std::string longDir = FreshTestDir();
    longDir += "\\" + std::string(250 - longDir.size() - 1, 'd');
    const struct {
        std::string installDir, wantLog, wantDump;
    } kCases[] = {
        {drive, "fail tak ada: " + drive + "\\System\\ZQ.log", "Tiada .dmp dalam " + drive + "\\dumps"},
        {longDir, "fail tak ada: " + (longDir + "\\System\\ZQ.log").substr(0, 259),
         "Tiada .dmp dalam " + longDir + "\\dumps"},
    };
    for (const auto& c : kCases) {
        FormatBounded(g_shell.installDir, sizeof g_shell.installDir, "%s", c.installDir.c_str());
        CmdSendLog();
        EXPECT_EQ(StatusTextOf(w), c.wantLog);
        CmdSendDump();
        EXPECT_EQ(StatusTextOf(w), c.wantDump);
    }
    DestroyWindow(w);
    g_shell.statusLine = NULL;
    g_shell.mainWindow = NULL;
    g_shell.installDir[0] = '\0';
}

}  // namespace

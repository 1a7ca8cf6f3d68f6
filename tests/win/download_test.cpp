// Parent folders, the HTTPS download, the manifest fetch and load, and changed files assembled from their old
// version and byte ranges, against the test server.
#include "patch/patch.h"
#include "shell/shell.h"
#include "support.h"

namespace {

using Download = LauncherTest;

// Parent folders are made as needed, never through a link inside the install folder: it may lead anywhere, so a
// download through one fails before any request and leaves the file behind it alone.
TEST_F(Download, ParentFoldersAreMadeButNeverThroughALink) {
    std::string elsewhere = FreshDir("-elsewhere");
    EXPECT_EQ(EnsureParentDirectories(In(dir, "a/b c/d/file.u").c_str()), 1);
    EXPECT_TRUE(Exists(In(dir, "a/b c/d")) && !Exists(In(dir, "a/b c/d/file.u")));
    ASSERT_TRUE(Write(In(elsewhere, "x"), "theirs") && Link(In(dir, "cache"), elsewhere));
    EXPECT_EQ(EnsureParentDirectories(In(dir, "cache/sub/file.u").c_str()), 0);
    EXPECT_EQ(DownloadToFile(L"/patch/blobs/x", In(dir, "cache/x").c_str(), 100, 0, 0), 0);
    EXPECT_EQ(List(elsewhere), std::vector<std::string>{"x"});
    EXPECT_EQ(Read(In(elsewhere, "x")), "theirs");
    EXPECT_TRUE(ServerLog().empty());
}

// Sizes and answers, each case on a fresh destination that already holds a file: it is replaced on success and
// gone on failure.
TEST_F(Download, SizeRulesAndAnswersDecideAndAFailureLeavesNoFile) {
    const struct {
        const char* fault;  // on /patch/blobs/x
        unsigned long long max, expected;
        int exact, want;
    } kCases[] = {
        {"body=1000", 1000, 0, 0, 1},          {"body=1001", 1000, 0, 0, 0},
        {"body=1000&chunked=1", 1000, 0, 0, 1}, {"body=1001&chunked=1", 1000, 0, 0, 0},
        {"body=999", 5000, 1000, 1, 0},        {"body=1001", 5000, 1000, 1, 0},
        {"body=0", 5000, 0, 1, 1},             {"body=0", 5000, 1, 1, 0},
        {"body=1000", 999, 1000, 1, 0},        {"body=70000&cut_after=65536", 1 << 20, 0, 0, 0},
        {"body=10&status=404", 100, 0, 0, 0},  {"body=10&status=500", 100, 0, 0, 0},
        {"body=10&status=201", 100, 0, 0, 0},  {"body=10&status=204", 100, 0, 0, 0},
    };
    std::string dest = In(dir, "cache/x");
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.fault) + ", max " + std::to_string(c.max));
        ASSERT_TRUE(Ctl(std::string("POST /ctl/fault?path=/patch/blobs/x&") + c.fault));
        ASSERT_TRUE(Write(dest, "old"));
        EXPECT_EQ(DownloadToFile(L"/patch/blobs/x", dest.c_str(), c.max, c.expected, c.exact), c.want);
        EXPECT_EQ(Exists(dest), c.want == 1);
        EXPECT_EQ(Read(dest).size(), c.want ? (size_t)atoi(strstr(c.fault, "body=") + 5) : 9);  // "<missing>"
    }
    std::vector<Request> log = ServerLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].agent, "VEQGames-Patcher/2.0");
}

// A cut body goes on where it stopped (206 for the rest); a server that answers the range with the whole body
// starts it over. 503 is tried again after 1, 2 and 4 s: the fourth in a row gives up.
TEST_F(Download, TransientFailuresAreTriedAgainAndACutBlobResumes) {
    std::string blob = Bytes(200000, 9), digest = Sha256(blob), dest = In(dir, "cache/" + digest);
    std::wstring object = L"/patch/blobs/" + std::wstring(digest.begin(), digest.end());
    ASSERT_TRUE(Write(In(releaseDir, "patch/blobs/" + digest), blob));
    const struct {
        const char* fault;
        int want;
        std::vector<std::string> asked;  // status and range of each request
    } kCases[] = {
        {"cut_after=65536&times=1", 1, {"200 ", "206 bytes=65536-"}},
        {"cut_after=65536&times=2", 1, {"200 ", "200 bytes=65536-", "206 bytes=65536-"}},
        {"status=503&body=0&times=3", 1, {"503 ", "503 ", "503 ", "200 "}},
        {"status=503&body=0&times=4", 0, {"503 ", "503 ", "503 ", "503 "}},
    };
    for (const auto& c : kCases) {
        ASSERT_TRUE(ResetServer() && Ctl(std::string("POST /ctl/fault?path=/patch/blobs/&") + c.fault));
        EXPECT_EQ(DownloadToFile(object.c_str(), dest.c_str(), 1 << 20, blob.size(), 1), c.want) << c.fault;
        EXPECT_EQ(Read(dest) == blob, c.want == 1) << c.fault;
        std::vector<std::string> asked;
        for (const Request& r : ServerLog()) asked.push_back(std::to_string(r.status) + " " + r.range);
        EXPECT_EQ(asked, c.asked) << c.fault;
    }
}

// Only a trusted server speaking TLS 1.2 or later is taken: tls11 shows the restriction is the launcher's own, as
// the platform itself would still speak TLS 1.1.
TEST_F(Download, ManifestOfAtMost2MiBFromATrustedServerIsFetchedAndEveryFaultRefusesIt) {
    const struct {
        const char* call;
        const char* status;
    } kCases[] = {
        {"fault?path=/patch/manifest.tsv&body=2097153", "Server patch tidak dapat dicapai. Cuba lagi."},
        {"fault?path=/patch/manifest.tsv&body=2097152", "Manifest patch tidak sah. Tiada fail client diganti."},
        {"fault?path=/patch/manifest.tsv&status=404", "Server patch tidak dapat dicapai. Cuba lagi."},
        {"tls?mode=untrusted", "Server patch tidak dapat dicapai. Cuba lagi."},
        {"tls?mode=tls11", "Server patch tidak dapat dicapai. Cuba lagi."},
        {"tls?mode=off", "Server patch tidak dapat dicapai. Cuba lagi."},
    };
    ASSERT_TRUE(Publish(ReleaseId("trusted"), {{"System/A.u", "a"}}));  // what a wrongly taken server would give
    for (const auto& c : kCases) {
        ASSERT_TRUE(ResetServer() && Ctl(std::string("POST /ctl/") + c.call));
        EXPECT_EQ(RunPatch(), 0);
        EXPECT_EQ(Status(), c.status) << c.call;
        EXPECT_EQ(Exists(In(dir, "patch-cache/manifest.tsv")), c.status[0] == 'M') << c.call;
        EXPECT_EQ(g_shell.busy, 0) << "a refused manifest still ends the busy state";
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, 1003)));
    }
    EXPECT_EQ(List(dir), std::vector<std::string>{"patch-cache"});
}

// The rules themselves are tested natively; here, that the loader applies them with this install folder: with a
// folder of 200 characters, paths of up to 43 characters fit.
TEST_F(Download, LoaderAppliesTheInstallFoldersOwnLengthRule) {
    PatchRecord* records = (PatchRecord*)calloc(kMaxPatchRecords, sizeof(PatchRecord));
    PatchRelease rel = {};
    rel.records = records;
    std::string deep = dir + "\\" + std::string(200 - dir.size() - 1, 'd');
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), NULL));
    UseDir(deep);
    for (size_t len : {43, 44}) {
        std::string path = "System/" + std::string(len - 9, 'p') + ".u";
        ASSERT_TRUE(Write(In(releaseDir, "patch/manifest.tsv"), ManifestText(ReleaseId("long"), {{path, "x"}})));
        EXPECT_EQ(FetchPatchManifest() && LoadPatchManifest(&rel), len == 43) << len;
    }
    EXPECT_EQ(Status(), "Manifest patch tidak sah. Tiada fail client diganti.");
    free(records);
}

// The archive as a later release has it: ten 64 KiB regions rewritten (1%), or five 4 KiB insertions.
std::string Edited(const std::string& old, bool insert) {
    std::string now = old;
    for (size_t i = insert ? 5 : 10; i-- > 0;)
        if (insert) now.insert(old.size() / 5 * i + 777, Bytes(4096, 50 + i));
        else now.replace(old.size() / 10 * i + 999, 65536, Bytes(65536, 50 + i));
    return now;
}

struct Fetched {
    unsigned long long bytes = 0;  // of blobs and chunk indexes
    int refused = 0, whole = 0, ranges = 0;  // GETs of a blob without a range, and with one
    bool lastWhole = false, oneConnection = true;
};
Fetched Tally(const std::vector<Request>& log) {
    Fetched f;
    for (const Request& r : log) {
        bool blob = r.target.compare(0, 13, "/patch/blobs/") == 0;
        f.bytes += blob || r.target.compare(0, 14, "/patch/chunks/") == 0 ? r.bodyBytes : 0;
        f.refused += r.status >= 400;
        f.whole += blob && r.range.empty();
        f.ranges += blob && !r.range.empty();
        f.lastWhole = blob && r.range.empty();
        f.oneConnection = f.oneConnection && r.connection == log[0].connection;
    }
    return f;
}

// A 64 MiB archive changed in place and published by veq-publish: only what the old file lacks comes, in ranges
// over the kept-alive connection, at most 10% of the archive with its index. A server with no chunk indexes costs
// one refused request, then the whole blob.
TEST_F(Download, AChangedArchiveFetchesOnlyWhatItsOldVersionLacks) {
    const std::string old = Bytes(64u << 20, 7), client = FreshDir("-client");
    const struct { const char* edit; bool insert, indexes; } kCases[] = {
        {"rewritten", false, true}, {"inserted", true, true}, {"no-indexes", false, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.edit);
        const File now = {"Textures/Archive.utx", Edited(old, c.insert)};
        UseDir(FreshDir(c.edit));
        ASSERT_TRUE(Install(dir, {{now.path, old}}) && Write(In(client, now.path), now.content));
        ASSERT_TRUE(PublishWithTool(client, releaseDir) && ResetServer());
        if (!c.indexes) RemoveTree(In(releaseDir, "patch/chunks"));
        EXPECT_EQ(RunPatch(), 1) << Trail();
        EXPECT_TRUE(HasFiles(dir, {now}));
        Fetched f = Tally(ServerLog());
        EXPECT_TRUE(f.oneConnection);
        EXPECT_EQ(f.refused, c.indexes ? 0 : 1);
        EXPECT_EQ(f.whole, c.indexes ? 0 : 1);
        EXPECT_LE(f.bytes, now.content.size() / (c.indexes ? 10 : 1) + 100);
    }
}

// Whatever misleads (the index, or the answer to a range), the file still arrives byte-exact, through one whole
// download right after the misleading answer; a range cut short goes on where it stopped instead.
TEST_F(Download, AMisleadingIndexOrRangeCostsOneWholeDownload) {
    const std::string old = Bytes(3u << 20, 8), client = FreshDir("-client");
    const File now = {"Maps/Big.ut2", Edited(old, false)};
    const std::string indexPath = In(releaseDir, "patch/chunks/" + Sha256(now.content));
    ASSERT_TRUE(Write(In(client, now.path), now.content) && PublishWithTool(client, releaseDir));
    const std::string index = Read(indexPath);
    std::string lying = index, otherBlob = index;
    char& digit = lying[lying.find('\t', 80) + 1];  // of the first chunk's digest
    digit = digit == '0' ? '1' : '0';
    otherBlob.replace(11, 64, Sha256(old));
    const struct { const char* why; std::string index; const char* fault; bool whole; int ranges; } kCases[] = {
        {"cut", index.substr(0, index.size() - 1), "", true, 0}, {"another-blob", otherBlob, "", true, 0},
        {"lying", lying, "", true, 1}, {"200", index, "times=1", true, 1},
        {"flipped", index, "ranged=1&flip=1000&times=1", true, 1}, {"resumed", index, "ranged=1&cut_after=1000&times=1", false, -1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.why);
        UseDir(FreshDir(c.why));
        ASSERT_TRUE(Install(dir, {{now.path, old}}) && Write(indexPath, c.index) && ResetServer());
        ASSERT_TRUE(!*c.fault || Ctl(std::string("POST /ctl/fault?path=/patch/blobs/&") + c.fault));
        EXPECT_EQ(RunPatch(), 1) << Trail();
        EXPECT_TRUE(HasFiles(dir, {now}));
        Fetched f = Tally(ServerLog());
        EXPECT_EQ(f.whole, c.whole ? 1 : 0);
        EXPECT_EQ(f.lastWhole, c.whole) << "the whole blob comes last, once";
        EXPECT_TRUE(c.ranges < 0 || f.ranges == c.ranges) << f.ranges << " ranges";
    }
}

// Killed while a range is on its way, the launcher leaves a cache file the next run does not trust: that run
// assembles it again and installs exactly the new file.
TEST(DownloadExe, AKillInTheAssemblyLeavesNothingTheNextRunTrusts) {
    const std::string dir = FreshDir(), release = FreshDir("-release"), client = FreshDir("-client");
    const std::string old = Bytes(3u << 20, 9);
    const File now = {"Sounds/Big.uax", Edited(old, true)};
    ASSERT_TRUE(Install(dir, {{now.path, old}}) && Write(In(client, now.path), now.content));
    ASSERT_TRUE(PublishWithTool(client, release) && Ctl("POST /ctl/reset") && Ctl("POST /ctl/release?dir=" + UnixPath(release)));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/blobs/&ranged=1&stall_ms=60000&stall_after=100"));
    {
        LauncherProcess launcher;
        ASSERT_TRUE(launcher.Start(dir));
        launcher.Post(1003);
        bool ranged = false;
        for (int i = 0; i < 1000 && !ranged; i++, Sleep(20))
            for (const Request& r : ServerLog()) ranged = ranged || r.status == 206;
        ASSERT_TRUE(ranged) << launcher.Status();
        launcher.Kill();
    }
    std::string cached = dir + "\\patch-cache\\" + Read(In(release, "patch/manifest.tsv")).substr(10, 32) + "\\" + Sha256(now.content);
    EXPECT_TRUE(Exists(cached) && Read(cached) != now.content) << "killed mid-assembly";
    ASSERT_TRUE(Ctl("POST /ctl/reset") && Ctl("POST /ctl/release?dir=" + UnixPath(release)));
    LauncherProcess again;
    ASSERT_TRUE(again.Start(dir));
    again.Click(1003);
    EXPECT_TRUE(HasFiles(dir, {now})) << again.Status();
}

}  // namespace

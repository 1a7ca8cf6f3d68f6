// Parent folders, the HTTPS download and the manifest fetch and load, against the test server.
#include "patch/patch.h"
#include "shell/shell.h"
#include "support.h"

namespace {

using Download = LauncherTest;

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

// A partial blob is the player's folder's: a plain file of the blob's first bytes is gone on from with a range
// request, and fetched again whole when the whole proves wrong; a whole one needs no request; one longer than the
// blob is no start of it; a file with a second name is never written through. (A link to a file would be too, but
// Wine 8 follows a Unix link to a file without a trace, so it cannot be made here.)
TEST_F(Download, APartialBlobIsGoneOnFromOnlyWhenItIsAPlainFileAndIsVerifiedWhole) {
    const std::string blob = Bytes(200000, 5), start = blob.substr(0, 70000), outside = FreshDir("-outside") + "\\x";
    const struct { const char* kind; std::string held; std::vector<std::string> ranges; } kCases[] = {
        {"start", start, {"bytes=70000-"}}, {"wrong", Bytes(70000, 6), {"bytes=70000-", ""}}, {"whole", blob, {}},
        {"longer", blob + "x", {""}},       {"named twice", start, {""}},
    };
    ASSERT_TRUE(Publish(ReleaseId("partial"), {{"System/A.u", blob}}));
    for (const auto& c : kCases) {
        UseDir(FreshDir(c.kind));
        std::string part = In(dir, "patch-cache/" + Sha256(blob) + ".part"), kind = c.kind;
        ASSERT_TRUE(ResetServer() && Install(dir, {{"System/A.u", "old"}}) && Write(part, c.held));
        ASSERT_TRUE(kind != "named twice" || CreateHardLinkA(outside.c_str(), part.c_str(), NULL));
        EXPECT_EQ(RunPatch(), 1) << kind << Trail();
        EXPECT_TRUE(Read(In(dir, "System/A.u")) == blob) << kind;
        std::vector<std::string> ranges;
        for (const Request& r : ServerLog()) if (r.target != "/patch/manifest.tsv") ranges.push_back(r.range);
        EXPECT_EQ(ranges, c.ranges) << kind;
        EXPECT_TRUE(kind != "named twice" || Read(outside) == c.held) << kind << ": written through";
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

}  // namespace

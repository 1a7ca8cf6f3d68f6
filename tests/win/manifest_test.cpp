// Fetching and loading the patch manifest, served by the test server into a real install folder. The rule tables
// themselves are tested natively; these cases show the loader feeds them the right bytes and acts on the outcome.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "shell/shell.h"
#include "support/patch_support.h"
#include "support/release_support.h"
#include "support/test_support.h"

namespace {

const char kInvalid[] = "Manifest patch tidak sah. Tiada fail client diganti.";
const char kUnreachable[] = "Server patch tidak dapat dicapai. Cuba lagi.";

struct ManifestTest : PatchTest {
    std::string releaseDir, rid;
    PatchRelease rel{};
    void SetUp() override {
        PatchTest::SetUp();
        ServerReset();
        releaseDir = FreshTestDir("-release");
        rid = ReleaseId("manifest-test");
        CreateDirectoryA(JoinPath(dir, "patch-cache").c_str(), NULL);  // for cache files "from an earlier run"
        rel.records = (PatchRecord*)calloc(kMaxPatchRecords, sizeof(PatchRecord));
        ASSERT_TRUE(rel.records != NULL);
    }
    void TearDown() override {
        free(rel.records);
        PatchTest::TearDown();
    }
    std::string ManifestCache() const { return JoinPath(g_shell.installDir, "patch-cache\\manifest.tsv"); }
    bool Serve(const std::string& text) { return WriteManifestText(releaseDir, text) && ServeRelease(releaseDir); }
    int FetchAndLoad() { return FetchPatchManifest() && LoadPatchManifest(&rel); }
};
using ManifestLoad = ManifestTest;
using ManifestFetch = ManifestTest;

std::string Entry(const std::string& content, const std::string& path) {
    return Sha256Hex(content) + "\t" + std::to_string(content.size()) + "\t" + path;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

// Every file and folder under `root` with its bytes, to show that loading changed nothing on disk.
void Snapshot(const std::string& root, const std::string& rel, std::map<std::string, std::string>* out) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((root + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = root + "\\" + name, key = rel + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*out)[key + "\\"] = "";
            Snapshot(path, key + "\\", out);
        } else {
            ReadFileBytes(path, &(*out)[key]);
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

std::map<std::string, std::string> ClientTree(const std::string& installDir) {
    std::map<std::string, std::string> tree;
    Snapshot(installDir, "", &tree);
    tree.erase("patch-cache\\manifest.tsv");  // the fetch writes it; it is not a client file
    tree.erase("patch-cache\\");
    return tree;
}

TEST_F(ManifestLoad, ClassifiesCurrentChangedAndMissingFilesIntoRecords) {
    std::vector<ReleaseFile> release = {
        {"System/Core.u", std::string(1000, 'c')},  // installed as published: current
        {"autoupdate.ini", "0123456789"},           // 10 bytes, installed with other bytes: changed
        {"Textures/Sub Dir/A.utx", std::string(20, 't')},  // 20 bytes, installed with other bytes: changed
        {"Maps/B.ut2", std::string(30, 'm')},       // 30 bytes, not installed: changed
    };
    ASSERT_TRUE(WriteRelease(releaseDir, rid, release));
    ASSERT_TRUE(ServeRelease(releaseDir));
    ASSERT_TRUE(InstallFiles(dir, {release[0], {"autoupdate.ini", "old"}, {"Textures/Sub Dir/A.utx", "old"}}));
    auto before = ClientTree(dir);

    DWORD tickBefore = GetTickCount();
    ASSERT_TRUE(FetchAndLoad()) << Status();
    DWORD tickAfter = GetTickCount();
    EXPECT_EQ(Status(), "Semak manifest patch...");
    EXPECT_EQ(ClientTree(dir), before) << "loading changed the install folder";

    EXPECT_EQ(std::string(rel.releaseId), rid);
    EXPECT_EQ(std::string(rel.cacheDir), dir + "\\patch-cache\\" + rid);
    std::string backupPrefix = dir + "\\patch-backups\\delta-" + rid + "-";
    std::string backupDir = rel.backupDir;
    ASSERT_EQ(backupDir.compare(0, backupPrefix.size(), backupPrefix), 0) << backupDir;
    unsigned long tick = strtoul(backupDir.c_str() + backupPrefix.size(), NULL, 10);
    EXPECT_TRUE(tick >= tickBefore && tick <= tickAfter) << backupDir;

    EXPECT_EQ(rel.entryCount, 4u);
    EXPECT_EQ(rel.changedCount, 3u);
    EXPECT_EQ(rel.neededSpace, 52428920ULL);  // 50 MiB + 2 x (10 + 20 + 30)
    const int wantUpdate[] = {0, 1, 1, 1};
    for (unsigned i = 0; i < 4; i++) {
        const PatchRecord& r = rel.records[i];
        std::string digest = Sha256Hex(release[i].content), winPath = release[i].path;
        for (char& c : winPath)
            if (c == '/') c = '\\';
        EXPECT_EQ(std::string(r.digest), digest) << i;
        EXPECT_EQ(std::string(r.relPath), release[i].path) << i;
        EXPECT_EQ(std::string(r.destPath), dir + "\\" + winPath) << i;
        EXPECT_EQ(std::string(r.cachePath), std::string(rel.cacheDir) + "\\" + digest) << i;
        EXPECT_EQ(std::string(r.backupPath), backupDir + "\\" + std::to_string(i) + ".bak") << i;
        EXPECT_EQ(r.size, release[i].content.size()) << i;
        EXPECT_EQ(r.needsUpdate, wantUpdate[i]) << i;
        EXPECT_EQ(r.existedBefore, 0) << i;
    }
    EXPECT_EQ(rel.records[4].digest[0], '\0') << "wrote past the last entry";

    // Totals start afresh on every load.
    ASSERT_TRUE(InstallFiles(dir, release));
    ASSERT_TRUE(LoadPatchManifest(&rel));
    EXPECT_EQ(rel.changedCount, 0u);
    EXPECT_EQ(rel.neededSpace, 52428800ULL);
    EXPECT_EQ(rel.entryCount, 4u);
}

TEST_F(ManifestLoad, UpperCaseDigestsAndReleaseIdWithCrLfMatchLowerCaseDigests) {
    std::vector<ReleaseFile> files = {{"System/Core.u", "core"}, {"Music/Theme.ogg", "theme"}};
    ASSERT_TRUE(InstallFiles(dir, files));
    std::string text = "VEQPATCH1\t" + Upper(rid) + "\r\n";
    for (const ReleaseFile& f : files) text += Upper(Sha256Hex(f.content)) + "\t" + std::to_string(f.content.size()) +
                                               "\t" + f.path + "\r\n";
    ASSERT_TRUE(Serve(text));
    ASSERT_TRUE(FetchAndLoad()) << Status();
    EXPECT_EQ(rel.changedCount, 0u);
    EXPECT_EQ(std::string(rel.releaseId), Upper(rid)) << "release id is kept as written";
    EXPECT_EQ(std::string(rel.records[1].digest), Upper(Sha256Hex("theme"))) << "digest is kept as written";
    EXPECT_EQ(std::string(rel.records[1].cachePath), std::string(rel.cacheDir) + "\\" + Upper(Sha256Hex("theme")));
}

struct TextCase {
    const char* why;
    std::string text;
    int ok;
    unsigned entries;
};

TEST_F(ManifestLoad, LineEndsHeaderAndEntryRulesAsTheLoaderReadsThem) {
    std::string h = "VEQPATCH1\t" + rid + "\n";
    std::string a = Entry("aaaa", "Maps/A.ut2"), b = Entry("bbbb", "System/B.u");
    std::string nul(1, '\0');
    const TextCase cases[] = {
        {"two entries", h + a + "\n" + b + "\n", 1, 2},
        {"last entry without a line end", h + a + "\n" + b, 1, 2},
        {"CR LF line ends, text after the CR ignored", "VEQPATCH1\t" + rid + "\r junk\r\n" + a + "\r\n", 1, 1},
        {"empty size field is size 0", h + Sha256Hex("") + "\t\tMaps/E.ut2\n", 1, 1},
        {"empty file", "", 0, 0},
        {"header only", h, 0, 0},
        {"header only, no line end", "VEQPATCH1\t" + rid, 0, 0},
        {"UTF-8 byte order mark", "\xEF\xBB\xBF" + h + a + "\n", 0, 0},
        {"blank line at the end", h + a + "\n\n", 0, 0},
        {"blank line between entries", h + a + "\n\n" + b + "\n", 0, 0},
        {"NUL after a valid entry, before the line end", h + a + nul + "junk\n", 0, 0},
        {"NUL inside the path", h + Sha256Hex("x") + "\t1\tMaps/A" + nul + ".ut2\n", 0, 0},
        {"NUL after the release id", "VEQPATCH1\t" + rid + nul + "\n" + a + "\n", 0, 0},
        {"same file twice, differing in case", h + a + "\n" + Entry("cccc", "Maps/a.UT2") + "\n", 0, 0},
        {"folder prefix in the wrong case", h + Entry("cccc", "maps/a.ut2") + "\n", 0, 0},
        {"path outside the client folders", h + Entry("x", "System/autoupdate.ini") + "\n", 0, 0},
        {"size over 256 MiB", h + Sha256Hex("x") + "\t268435457\tMaps/A.ut2\n", 0, 0},
        {"release id of 31 digits", "VEQPATCH1\t" + rid.substr(1) + "\n" + a + "\n", 0, 0},
    };
    ASSERT_TRUE(InstallFiles(dir, {{"Maps/A.ut2", "installed"}, {"System/B.u", "bbbb"}}));
    auto before = ClientTree(dir);
    for (const TextCase& c : cases) {
        ShowStatus("Sedia.");
        ASSERT_TRUE(Serve(c.text)) << c.why;
        ASSERT_TRUE(FetchPatchManifest()) << c.why << ": " << Status();
        EXPECT_EQ(LoadPatchManifest(&rel), c.ok) << c.why;
        if (c.ok) {
            EXPECT_EQ(rel.entryCount, c.entries) << c.why;
            EXPECT_EQ(Status(), "Semak manifest patch...") << c.why;
        } else {
            EXPECT_EQ(Status(), kInvalid) << c.why;
            EXPECT_TRUE(FileExists(ManifestCache())) << c.why << ": the manifest cache file stays";
        }
        EXPECT_EQ(ClientTree(dir), before) << c.why;
    }
}

TEST_F(ManifestLoad, TenThousandEntriesButNotOneMoreLine) {
    std::string text = "VEQPATCH1\t" + rid + "\n";
    std::string digest = Sha256Hex("");
    char path[32];
    for (int i = 0; i < 10000; i++) {
        snprintf(path, sizeof path, "Maps/m%05d.ut2", i);
        text += digest + "\t0\t" + path + "\n";
    }
    ASSERT_TRUE(Serve(text));
    DWORD start = GetTickCount();
    ASSERT_TRUE(FetchAndLoad()) << Status();
    printf("measured: fetch and load of 10000 entries in %lu ms\n", (unsigned long)(GetTickCount() - start));
    EXPECT_EQ(rel.entryCount, 10000u);
    EXPECT_EQ(rel.changedCount, 10000u);  // none of them is installed
    EXPECT_EQ(std::string(rel.records[9999].relPath), "Maps/m09999.ut2");

    for (const char* extra : {"Maps/m10000.ut2\n", "\n"}) {  // a 10001st line fails whatever it holds
        std::string more = text + (extra[0] == '\n' ? std::string("\n") : digest + "\t0\t" + extra);
        ASSERT_TRUE(Serve(more));
        EXPECT_FALSE(FetchAndLoad()) << "10001st line: " << extra;
        EXPECT_EQ(Status(), kInvalid);
    }
}

// With an install folder of L characters, paths of up to 243 - L characters fit (the destination and its
// temporary name must stay within 259 characters).
TEST_F(ManifestLoad, PathLengthRuleFollowsTheInstallFolder) {
    std::string install = PathOfLength(dir, 200);
    ASSERT_EQ(install.size(), 200u);
    ASSERT_TRUE(CreateDirectoryA(install.c_str(), NULL));
    UseInstallDir(install);
    std::string p43 = "Maps/" + std::string(34, 'n') + ".ut2", p44 = "Maps/" + std::string(35, 'n') + ".ut2";
    ASSERT_EQ(p43.size(), 43u);
    ASSERT_TRUE(InstallFiles(install, {{p43, "current"}, {p44, "current"}}));
    std::string h = "VEQPATCH1\t" + rid + "\n";

    ASSERT_TRUE(Serve(h + Entry("current", p43) + "\n"));
    EXPECT_TRUE(FetchAndLoad()) << "43 characters: " << Status();
    ASSERT_TRUE(Serve(h + Entry("current", p44) + "\n"));
    EXPECT_FALSE(FetchAndLoad()) << "44 characters";
    EXPECT_EQ(Status(), kInvalid);

    // The rule protects the destination only. A changed entry would also need its cached blob path (install
    // folder + 110 characters here), which cannot be formed without cutting it, so it is refused.
    ASSERT_TRUE(Serve(h + Entry("new bytes", p43) + "\n"));
    EXPECT_FALSE(FetchAndLoad()) << "changed entry whose blob path does not fit";
    EXPECT_EQ(Status(), kInvalid);
    RemoveTree(install);
}

TEST_F(ManifestFetch, SizeLimitAndStatusDecideTheFetch) {
    const struct {
        const char* fault;
        int ok;
        const char* why;
    } cases[] = {
        {"path=/patch/manifest.tsv&status=200&body=2097152", 1, "exactly 2 MiB"},
        {"path=/patch/manifest.tsv&status=200&body=2097153", 0, "one byte over 2 MiB"},
        {"path=/patch/manifest.tsv&status=404&body=100", 0, "404"},
        {"path=/patch/manifest.tsv&status=500&body=100", 0, "500"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(ServerFault(c.fault)) << c.why;
        ASSERT_TRUE(WriteFileBytes(ManifestCache(), "from the last run")) << c.why;
        ShowStatus("Sedia.");
        EXPECT_EQ(FetchPatchManifest(), c.ok) << c.why;
        std::string bytes;
        if (c.ok) {
            EXPECT_EQ(Status(), "Semak manifest patch...") << c.why;
            EXPECT_TRUE(ReadFileBytes(ManifestCache(), &bytes) && bytes == FillerBytes(2097152)) << c.why;
        } else {
            EXPECT_EQ(Status(), kUnreachable) << c.why;
            EXPECT_FALSE(FileExists(ManifestCache())) << c.why;
        }
    }
    auto log = ServerLogEntries();
    ASSERT_EQ(log.size(), 4u);
    for (const auto& e : log) {
        ASSERT_GE(e.size(), 3u);
        EXPECT_EQ(e[0] + " " + e[1] + " " + e[2], "GET /patch/manifest.tsv VEQGames-Patcher/2.0");
    }
}

// A failed fetch leaves nothing for the loader: even a cache file from an earlier run is gone.
TEST_F(ManifestFetch, UnreachableServerThenLoadIsInvalid) {
    ASSERT_TRUE(ServerTls("untrusted"));
    ASSERT_TRUE(WriteFileBytes(ManifestCache(), "VEQPATCH1\t" + rid + "\n" + Entry("x", "Maps/A.ut2") + "\n"));
    EXPECT_FALSE(FetchPatchManifest());
    EXPECT_EQ(Status(), kUnreachable);
    EXPECT_FALSE(LoadPatchManifest(&rel));
    EXPECT_EQ(Status(), kInvalid);
}

}  // namespace

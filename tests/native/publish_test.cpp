// veq-publish, run as the operator runs it: the built binary on real folders, its exit status, its listing, and
// the release tree it leaves behind, checked with the launcher's own manifest rules.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "patch/manifest_rules.h"

#ifndef VEQ_PUBLISH_EXE
#define VEQ_PUBLISH_EXE "veq-publish"
#endif

namespace {

struct Outcome {
    int status;
    std::string output;  // stdout and stderr as they interleave
};

Outcome Publish(const std::vector<std::string>& args) {
    const char* exe = getenv("VEQ_PUBLISH") ? getenv("VEQ_PUBLISH") : VEQ_PUBLISH_EXE;
    std::vector<char*> argv;
    argv.push_back((char*)exe);
    for (const std::string& a : args) argv.push_back((char*)a.c_str());
    argv.push_back(NULL);
    Outcome r = { -1, "" };
    int fds[2];
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execv(exe, argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) r.output.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// A temporary folder with a client folder and an output folder beside it; removed with the fixture.
class PublishTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/veq-publish-test.XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root_ = tmpl;
        client_ = root_ + "/client";
        out_ = root_ + "/out";
        mkdir(client_.c_str(), 0755);
    }
    void TearDown() override { nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

    std::string root_, client_, out_;
};

void MakeParents(const std::string& path) {
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

void Put(const std::string& dir, const std::string& rel, const std::string& bytes) {
    std::string path = dir + "/" + rel;
    MakeParents(path);
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(fclose(f), 0);
}

std::string Read(const std::string& path) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "(missing)";
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    fclose(f);
    return bytes;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        for (struct dirent* e; (e = readdir(d)) != NULL;)
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Sha256(const std::string& bytes) {
    unsigned char v[32];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), v, &len, EVP_sha256(), NULL);
    char hex[65];
    for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", v[i]);
    return hex;
}

struct Release {
    long count;  // -1 when the launcher would refuse the manifest
    std::string id;
    std::vector<ManifestEntry> entries;
};

Release LoadRelease(const std::string& out, size_t installDirLen = 100) {
    std::string text = Read(out + "/patch/manifest.tsv");
    Release r;
    char id[kReleaseIdChars + 1] = "";
    long badLine = 0;
    r.entries.resize(kMaxManifestEntries);
    r.count = CheckManifestText(text.data(), text.size(), installDirLen, id, r.entries.data(), &badLine);
    r.entries.resize(r.count > 0 ? (size_t)r.count : 0);
    r.id = id;
    return r;
}

const ManifestEntry* Find(const Release& r, const std::string& path) {
    for (const ManifestEntry& e : r.entries)
        if (path == e.path) return &e;
    return NULL;
}

}  // namespace

// One case per rule: the file is listed with the launcher's reason, the exit status is 1, nothing is written.
TEST_F(PublishTest, RefusesEachFileTheLauncherWouldRefuse) {
    const std::string k143 = "System/" + std::string(134, 'a') + ".u";  // fits an install folder of 100
    const std::string k144 = "System/" + std::string(135, 'a') + ".u";
    const std::string k95 = "Maps/" + std::string(86, 'b') + ".ut2";  // 149 + 95 + 16 = 260
    const struct {
        std::vector<std::string> files;  // the last one is the file to refuse
        std::vector<std::string> options;
        const char* listed;              // as the listing prints the path
        const char* reason;
    } kCases[] = {
        {{"Textures/Bad!.utx"}, {}, "Textures/Bad!.utx", "contains a byte other than letters, digits"},
        {{"Maps/Kota\xc3\xa9.ut2"}, {}, "Maps/Kota\\xc3\\xa9.ut2", "contains a byte other than"},
        {{"System/a\tb.u"}, {}, "System/a\\tb.u", "contains a byte other than"},
        {{"System/a..b.u"}, {}, "System/a..b.u", "contains .."},
        {{"System/a\\b.u"}, {}, "System/a\\x5cb.u", "contains \\"},
        {{"System/a:b.u"}, {}, "System/a:b.u", "contains :"},
        {{"System/" + std::string(174, 'c') + ".u"}, {"--max-install-dir", "3"}, "System/ccc", "longer than 180"},
        {{k144}, {}, "System/aaa", "too long for an install folder of 100"},
        {{k95}, {"--max-install-dir", "149"}, "Maps/bbb", "too long for an install folder of 149"},
        {{"Maps/A.ut2", "Maps/a.UT2"}, {}, "Maps/a.UT2", "the same file as Maps/A.ut2"},
        {{"AutoUpdate.ini"}, {}, "AutoUpdate.ini", "spelled in lower case"},
        {{"Help/readme.txt"}, {"--strict"}, "Help/readme.txt", "not maintained by the launcher"},
        {{"System/ZQ.exe"}, {"--strict"}, "System/ZQ.exe", "extension not allowed in System/"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.listed);
        TearDown();
        SetUp();
        Put(client_, "System/Core.u", "fine");
        for (const std::string& f : c.files) Put(client_, f, "x");
        std::vector<std::string> args = { client_, out_ };
        args.insert(args.end(), c.options.begin(), c.options.end());
        Outcome r = Publish(args);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(std::string("refused  ") + c.listed), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.reason), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("refused  System/Core.u"), std::string::npos) << r.output;
        EXPECT_FALSE(Exists(out_)) << "a refused release wrote " << out_;
    }

    // The edges that pass: 143 characters with the default install folder, 94 with the longest one (149).
    TearDown();
    SetUp();
    Put(client_, k143, "x");
    Outcome ok = Publish({ client_, out_ });
    EXPECT_EQ(ok.status, 0) << ok.output;
    std::string client149 = root_ + "/client149";
    Put(client149, "Maps/" + std::string(85, 'b') + ".ut2", "y");
    Outcome ok149 = Publish({ client149, root_ + "/out149", "--max-install-dir", "149" });
    EXPECT_EQ(ok149.status, 0) << ok149.output;
}

TEST_F(PublishTest, RefusesAFileLargerThanTheLauncherDownloads) {
    Put(client_, "Textures/Huge.utx", "");
    ASSERT_EQ(truncate((client_ + "/Textures/Huge.utx").c_str(), 268435457), 0);  // sparse: never read
    Outcome r = Publish({ client_, out_ });
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("refused  Textures/Huge.utx: 268435457 bytes: larger than 268435456"), std::string::npos)
        << r.output;
    EXPECT_FALSE(Exists(out_));
}

TEST_F(PublishTest, RefusesWhatTheWholeManifestCannotHold) {
    // No file the launcher maintains: a manifest without entries is refused by the launcher.
    Put(client_, "Help/readme.txt", "x");
    Outcome none = Publish({ client_, out_ });
    EXPECT_EQ(none.status, 1) << none.output;
    EXPECT_NE(none.output.find("refused  (release): no file the launcher maintains"), std::string::npos) << none.output;

    // 10000 entries are the most; empty files, so every entry shares one blob.
    for (int i = 0; i < 10000; i++) {
        char rel[64];
        snprintf(rel, sizeof rel, "System/f%05d.u", i);
        Put(client_, rel, "");
    }
    Outcome full = Publish({ client_, out_ });
    ASSERT_EQ(full.status, 0) << full.output.substr(0, 2000);
    EXPECT_EQ(LoadRelease(out_).count, 10000);
    Put(client_, "System/f10000.u", "");
    Outcome over = Publish({ client_, root_ + "/out2" });
    EXPECT_EQ(over.status, 1);
    EXPECT_NE(over.output.find("refused  (release): 10001 files: the launcher takes at most 10000"), std::string::npos)
        << over.output.substr(0, 2000);
    EXPECT_FALSE(Exists(root_ + "/out2"));
}

TEST_F(PublishTest, RefusesAManifestLargerThanTheLauncherFetches) {
    // 10000 paths of 142 characters make 2,100,043 bytes of manifest, over the launcher's 2 MiB.
    for (int i = 0; i < 10000; i++) {
        char name[16];
        snprintf(name, sizeof name, "%05d", i);
        Put(client_, "System/" + std::string(128, 'm') + name + ".u", "");
    }
    Outcome r = Publish({ client_, out_ });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("refused  (release): the manifest would be 2100043 bytes: the launcher fetches at most "
                            "2097152"),
              std::string::npos)
        << r.output.substr(0, 2000);
}

TEST_F(PublishTest, SkipsAndListsFilesTheLauncherDoesNotPatch) {
    Put(client_, "System/Core.u", "core");
    Put(client_, "System/ZQ.exe", "MZ");
    Put(client_, "System/Core.dll", "MZ");
    Put(client_, "Help/readme.txt", "hi");
    Put(client_, "textures/lower.utx", "prefix is case-sensitive");
    Put(client_, "Maps/NoExtension", "m");
    mkdir((client_ + "/Linked").c_str(), 0755);
    ASSERT_EQ(symlink(client_.c_str(), (client_ + "/Linked/loop").c_str()), 0);
    std::string inside = client_ + "/release-out";  // an output folder inside the client is never published
    ASSERT_EQ(Publish({ client_, inside }).status, 0);

    Outcome r = Publish({ client_, inside });
    ASSERT_EQ(r.status, 0) << r.output;
    const char* kSkipped[] = {
        "skipped  System/ZQ.exe: not maintained by the launcher: extension not allowed in System/",
        "skipped  System/Core.dll: not maintained",
        "skipped  Help/readme.txt: not maintained",
        "skipped  textures/lower.utx: not maintained",
        "skipped  Maps/NoExtension: not maintained by the launcher: has no extension",
        "skipped  Linked/loop/: symbolic link to a folder",
        "skipped  release-out/: the output folder",
        "7 files skipped (the launcher does not patch them)",
    };
    for (const char* s : kSkipped) EXPECT_NE(r.output.find(s), std::string::npos) << s << "\n" << r.output;
    Release rel = LoadRelease(inside);
    ASSERT_EQ(rel.count, 1);
    EXPECT_STREQ(rel.entries[0].path, "System/Core.u");

    // --strict turns the same folder into a refusal.
    Outcome strict = Publish({ client_, out_, "--strict" });
    EXPECT_EQ(strict.status, 1) << strict.output;
    EXPECT_NE(strict.output.find("refused  System/ZQ.exe: not maintained by the launcher"), std::string::npos);
    EXPECT_FALSE(Exists(out_));
}

TEST_F(PublishTest, ReleaseTreePassesTheLauncherCheckAndBlobsHoldTheFiles) {
    const struct {
        const char* rel;
        std::string bytes;
    } kFiles[] = {
        {"System/Core.u", std::string(300000, 'c') + "end"},
        {"System/Empty.int", ""},
        {"System/Deep/Er/Lang.int", "[x]\r\n"},
        {"Textures/World.utx", std::string(1 << 20, '\x01')},
        {"Textures/World Copy.utx", std::string(1 << 20, '\x01')},
        {"Maps/Town Square.ut2", "map"},
        {"Music/Theme.OGG", "ogg"},
    };
    for (const auto& f : kFiles) Put(client_, f.rel, f.bytes);
    Outcome r = Publish({ client_, out_ });
    ASSERT_EQ(r.status, 0) << r.output;

    Release rel = LoadRelease(out_);
    ASSERT_EQ(rel.count, (long)(sizeof kFiles / sizeof kFiles[0])) << Read(out_ + "/patch/manifest.tsv");
    EXPECT_EQ(rel.id.size(), 32u);
    EXPECT_EQ(rel.id.find_first_not_of("0123456789abcdef"), std::string::npos) << rel.id;
    std::set<std::string> digests;
    for (const auto& f : kFiles) {
        const ManifestEntry* e = Find(rel, f.rel);
        ASSERT_TRUE(e) << f.rel;
        EXPECT_EQ(e->digest, Sha256(f.bytes)) << f.rel;
        EXPECT_EQ(e->size, f.bytes.size()) << f.rel;
        EXPECT_EQ(Read(out_ + "/patch/blobs/" + e->digest), f.bytes) << f.rel;
        digests.insert(e->digest);
    }
    // One blob per distinct content, no temporary file left, everything readable by a web server's worker.
    EXPECT_EQ(Names(out_ + "/patch/blobs"), std::vector<std::string>(digests.begin(), digests.end()));
    EXPECT_EQ(Names(out_ + "/patch"), (std::vector<std::string>{ "blobs", "manifest.tsv" }));
    ASSERT_EQ(Names(out_ + "/history").size(), 1u);
    EXPECT_EQ(Read(out_ + "/history/" + Names(out_ + "/history")[0]), Read(out_ + "/patch/manifest.tsv"));
    struct stat st;
    ASSERT_EQ(stat((out_ + "/patch/manifest.tsv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0444, 0444u);
    ASSERT_EQ(stat((out_ + "/patch/blobs/" + Sha256("map")).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0444, 0444u);
    EXPECT_NE(r.output.find("6 blobs written"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 already there"), std::string::npos) << r.output;
}

TEST_F(PublishTest, SameContentGivesTheSameReleaseId) {
    Put(client_, "System/Core.u", "core v1");
    Put(client_, "Maps/A.ut2", "map");
    ASSERT_EQ(Publish({ client_, out_ }).status, 0);
    std::string first = Read(out_ + "/patch/manifest.tsv");

    // The same bytes elsewhere, written later, published again: the same manifest, nothing new written.
    std::string copy = root_ + "/copy";
    Put(copy, "Maps/A.ut2", "map");
    Put(copy, "System/Core.u", "core v1");
    Outcome again = Publish({ copy, out_ });
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(Read(out_ + "/patch/manifest.tsv"), first);
    EXPECT_NE(again.output.find("0 blobs written (0.0 MiB), 2 already there"), std::string::npos) << again.output;
    EXPECT_EQ(Names(out_ + "/history").size(), 1u) << "an unchanged release is not a new history entry";

    Put(copy, "System/Core.u", "core v2");
    ASSERT_EQ(Publish({ copy, out_ }).status, 0);
    Release changed = LoadRelease(out_);
    EXPECT_NE(changed.id, first.substr(10, 32));
    EXPECT_EQ(Names(out_ + "/history").size(), 2u);
    EXPECT_TRUE(Exists(out_ + "/patch/blobs/" + Sha256("core v1"))) << "blobs of earlier releases stay";
}

TEST_F(PublishTest, AutoupdateIniIsPublishedAsTheLauncherRewritesIt) {
    const std::string source =
        "[Login]\n"
        "BishopIP = 192.0.2.1\r\n"
        "  bishopport=1\n"
        "\tINITIALVER=1.0\n"
        "; BishopIP=commented\r\n"
        "Language=ms";
    const std::string rewritten =
        "[Login]\n"
        "BishopIP=203.0.113.7\r\n"
        "BishopPort=7451\r\n"
        "initialVer=0.9.9.14\r\n"
        "; BishopIP=commented\r\n"
        "Language=ms";
    Put(client_, "autoupdate.ini", source);
    Put(client_, "System/Core.u", "core");
    Outcome r = Publish({ client_, out_, "--service-host", "203.0.113.7" });
    ASSERT_EQ(r.status, 0) << r.output;
    Release rel = LoadRelease(out_);
    const ManifestEntry* e = Find(rel, "autoupdate.ini");
    ASSERT_TRUE(e);
    EXPECT_EQ(Read(out_ + "/patch/blobs/" + e->digest), rewritten);
    EXPECT_EQ(e->size, rewritten.size());
    EXPECT_EQ(e->digest, Sha256(rewritten));
    EXPECT_NE(r.output.find("autoupdate.ini published rewritten for 203.0.113.7 (3 lines replaced)"), std::string::npos)
        << r.output;
    EXPECT_EQ(Read(client_ + "/autoupdate.ini"), source) << "the client folder is never changed";

    // Without the option the host is the one this build's launcher uses.
    Outcome own = Publish({ client_, root_ + "/own" });
    ASSERT_EQ(own.status, 0) << own.output;
    Release ownRelease = LoadRelease(root_ + "/own");
    const ManifestEntry* ownEntry = Find(ownRelease, "autoupdate.ini");
    ASSERT_TRUE(ownEntry);
    EXPECT_NE(Read(root_ + "/own/patch/blobs/" + ownEntry->digest).find("BishopIP=" VEQ_SERVICE_HOST "\r\n"),
              std::string::npos);
}

TEST_F(PublishTest, PruneKeepsWhatTheLastManifestsNameAndRemovesTheRest) {
    // Three releases: a1 b1 | a1 b2 c | a3 b2 c.
    Put(client_, "System/a.u", "a1");
    Put(client_, "System/b.u", "b1");
    ASSERT_EQ(Publish({ client_, out_ }).status, 0);
    Put(client_, "System/b.u", "b2");
    Put(client_, "System/c.u", "c");
    ASSERT_EQ(Publish({ client_, out_ }).status, 0);
    Put(client_, "System/a.u", "a3");
    ASSERT_EQ(Publish({ client_, out_ }).status, 0);
    std::string blobs = out_ + "/patch/blobs/";
    ASSERT_EQ(Names(blobs).size(), 5u);

    Outcome keep2 = Publish({ "prune", out_, "--keep", "2" });
    ASSERT_EQ(keep2.status, 0) << keep2.output;
    EXPECT_FALSE(Exists(blobs + Sha256("b1")));
    for (const char* kept : { "a1", "b2", "c", "a3" }) EXPECT_TRUE(Exists(blobs + Sha256(kept))) << kept;
    EXPECT_EQ(Names(out_ + "/history").size(), 2u);
    EXPECT_NE(keep2.output.find("removed 1 blobs"), std::string::npos) << keep2.output;

    Outcome keep1 = Publish({ "prune", out_, "--keep", "1" });
    ASSERT_EQ(keep1.status, 0) << keep1.output;
    std::vector<std::string> left = Names(blobs);
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()),
              (std::set<std::string>{ Sha256("a3"), Sha256("b2"), Sha256("c") }));
    Release live = LoadRelease(out_);
    ASSERT_EQ(live.count, 3);
    for (const ManifestEntry& e : live.entries) EXPECT_TRUE(Exists(blobs + e.digest)) << e.path;

    // A kept manifest that cannot be read stops the prune before anything goes.
    Put(client_, "System/a.u", "a4");
    ASSERT_EQ(Publish({ client_, out_ }).status, 0);
    std::vector<std::string> history = Names(out_ + "/history");
    Put(out_ + "/history", history.back(), "VEQPATCH1\tnot a manifest\n");
    Outcome broken = Publish({ "prune", out_, "--keep", "1" });
    EXPECT_EQ(broken.status, 2) << broken.output;
    EXPECT_TRUE(Exists(blobs + Sha256("a3"))) << "nothing removed";
}

TEST_F(PublishTest, RejectsBadArguments) {
    Put(client_, "System/Core.u", "core");
    const std::vector<std::string> kBad[] = {
        { client_ },
        { client_, out_, "--service-host", "203.0.113" },
        { client_, out_, "--service-host", "256.1.1.1" },
        { client_, out_, "--service-host", "1.2.3.4 " },
        { client_, out_, "--max-install-dir", "150" },
        { client_, out_, "--max-install-dir", "-5" },
        { client_, out_, "--frobnicate" },
        { "prune", out_ },
        { "prune", out_, "--keep", "0" },
    };
    for (const auto& args : kBad) {
        Outcome r = Publish(args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.output;
        EXPECT_NE(r.output.find("usage:"), std::string::npos) << r.output;
    }
    EXPECT_FALSE(Exists(out_));
}

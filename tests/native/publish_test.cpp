// veq-publish run as the operator runs it; the release tree it leaves is read with the launcher's own rules.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "patch/chunk_rules.h"
#include "patch/manifest_rules.h"
#include "patch/signature_rules.h"

namespace fs = std::filesystem;

// Writes the file and its folders; `size` >= 0 makes it that long instead (sparse, never read).
static bool Put(const std::string& path, const std::string& bytes, long size = -1) {
    fs::create_directories(fs::path(path).parent_path());  // throws, failing the test, when it cannot
    bool ok = (bool)(std::ofstream(path, std::ios::binary) << bytes);
    if (size >= 0) fs::resize_file(path, (uintmax_t)size);
    return ok;
}

static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return f ? std::string(std::istreambuf_iterator<char>(f), {}) : "(missing)";
}

static std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
}

static std::string Sha256(const std::string& bytes) {
    unsigned char v[32];
    char hex[65];
    EVP_Digest(bytes.data(), bytes.size(), v, NULL, EVP_sha256(), NULL);
    for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", v[i]);
    return hex;
}

// The live manifest's entries by path as the launcher loads them into a 100-character folder; none if it refuses.
static std::map<std::string, ManifestEntry> LoadRelease(const std::string& out) {
    std::string text = Read(out + "/patch/manifest.tsv");
    std::vector<ManifestEntry> entries(kMaxManifestEntries);
    std::map<std::string, ManifestEntry> byPath;
    for (long i = 0, n = CheckManifestText(text.data(), text.size(), 100, NULL, entries.data(), NULL); i < n; i++)
        byPath[entries[i].path] = entries[i];
    return byPath;
}

class PublishTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mkdtemp(&root_[0])); client_ = root_ + "/client"; out_ = root_ + "/out"; }
    void TearDown() override { fs::remove_all(root_); }
    // The exit status; output_ gets stdout and stderr interleaved. The shell splits the arguments: no blanks.
    int Publish(const std::string& args) {
        int status = system((std::string(VEQ_PUBLISH_EXE) + " " + args + " >" + root_ + "/output 2>&1").c_str());
        output_ = Read(root_ + "/output");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string root_ = "/tmp/veq-publish-test.XXXXXX", client_, out_, output_;
};

// One client folder per case: System/Core.u, Maps/A.ut2 and the file in question.
TEST_F(PublishTest, EachFileAsTheLauncherWouldTakeIt) {
    const std::string k181 = "System/" + std::string(172, 'c') + ".u";
    const std::string k143 = "System/" + std::string(134, 'a') + ".u", k144 = "System/" + std::string(135, 'a') + ".u";
    const std::string k94 = "Maps/" + std::string(85, 'b') + ".ut2", k95 = "Maps/" + std::string(86, 'b') + ".ut2";
    const struct { std::string file; const char* options; int status; std::string line; long size = -1;
                   const char* linkTo = nullptr; } kCases[] = {
        {"Maps/Kota\xc3\xa9.ut2", "", 1, "refused  Maps/Kota\\xc3\\xa9.ut2: contains a byte other than"},
        {"System/a\tb.u", "", 1, "refused  System/a\\tb.u: contains a byte other than"},
        {"System/a\\b.u", "", 1, "refused  System/a\\x5cb.u: contains \\"},
        {k181, "--max-install-dir 3", 1, "refused  " + k181 + ": longer than 180 characters"},
        {k144, "", 1, "refused  " + k144 + ": path of 144 characters is too long for an install folder of 100"},
        {k95, "--max-install-dir 149", 1, "refused  " + k95 + ": path of 95 characters is too long"},
        {"Maps/a.UT2", "", 1, "refused  Maps/a.UT2: the same file as Maps/A.ut2"},
        {"AutoUpdate.ini", "", 1, "refused  AutoUpdate.ini: the launcher patches autoupdate.ini only when"},
        {"Help/readme.txt", "--strict", 1, "refused  Help/readme.txt: not maintained by the launcher"},
        {"Textures/Huge.utx", "", 1, "refused  Textures/Huge.utx: 268435457 bytes: larger than 268435456", 268435457},
        {"System/ZQ.exe", "", 0, "skipped  System/ZQ.exe: not maintained by the launcher: extension not allowed"},
        {"Maps/NoExtension", "", 0, "skipped  Maps/NoExtension: not maintained by the launcher: has no extension"},
        {k143, "", 0, "veq-publish: release "},
        {k94, "--max-install-dir 149", 0, "veq-publish: release "},
        {"System/k.u", "", 1, "refused  System/k.u: symbolic link to a file outside the client folder", -1, "../../k"},
        {"System/In.u", "", 0, "veq-publish: release ", -1, "Core.u"},  // a link within is followed
    };
    ASSERT_TRUE(Put(root_ + "/k", "a signing key"));
    for (const auto& c : kCases) {
        const std::string client = root_ + "/" + std::to_string(&c - kCases), out = client + "-out";
        ASSERT_TRUE(Put(client + "/System/Core.u", "fine") && Put(client + "/Maps/A.ut2", "fine") &&
                    (c.linkTo || Put(client + "/" + c.file, "x", c.size)));
        if (c.linkTo) fs::create_symlink(c.linkTo, client + "/" + c.file);
        EXPECT_EQ(Publish(client + " " + out + " " + c.options), c.status) << c.line << "\n" << output_;
        EXPECT_NE(output_.find(c.line), std::string::npos) << c.line << "\n" << output_;
        for (const char* fine : {"A.ut2:", "Core.u:"}) EXPECT_EQ(output_.find(fine), std::string::npos) << output_;
        EXPECT_EQ(fs::exists(out), c.status == 0) << "a refused release writes nothing: " << c.line;
        if (c.status == 0) EXPECT_EQ(LoadRelease(out).size(), 3u - (c.line[0] == 's')) << c.line;
    }
    // Usage errors, where the same client and release tree are otherwise fine.
    ASSERT_TRUE(Put(client_ + "/System/Core.u", "fine") && Publish(client_ + " " + out_) == 0);
    const std::string publish = client_ + " " + out_ + " ";
    for (std::string args : {publish + "--service-host 203.0.113", publish + "--service-host 256.1.1.1",
                             publish + "--service-host '1.2.3.4 '", publish + "--max-install-dir 150",
                             publish + "--max-install-dir 99x", publish + "--frobnicate", client_, "prune " + out_,
                             "prune " + out_ + " --keep 1", publish + "--expires-days 5", publish + "--sign",
                             "sign " + out_, "sign " + out_ + " --sign k.pem --expires-days 0"})
        EXPECT_EQ(Publish(args), 2) << args;
}

TEST_F(PublishTest, RefusesWhatTheWholeManifestCannotHold) {
    // Empty files, so every entry shares one blob. 10000 entries are the most; 10000 paths of 142 characters
    // make 2,100,043 bytes of manifest, over the 2 MiB the launcher fetches.
    for (int i = 10000; i < 20000; i++)
        ASSERT_TRUE(Put(client_ + "/System/f" + std::to_string(i) + ".u", "") &&
                    Put(root_ + "/long/System/" + std::string(128, 'm') + std::to_string(i) + ".u", ""));
    ASSERT_EQ(Publish(client_ + " " + out_), 0);
    EXPECT_EQ(LoadRelease(out_).size(), 10000u);
    ASSERT_TRUE(Put(client_ + "/System/f20000.u", "") && Put(root_ + "/none/Help/readme.txt", ""));
    const struct { std::string client, line; } kCases[] = {
        {client_, "refused  (release): 10001 files: the launcher takes at most 10000"},
        {root_ + "/long", "refused  (release): the manifest would be 2100043 bytes: the launcher fetches at most"},
        {root_ + "/none", "refused  (release): no file the launcher maintains"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(Publish(c.client + " " + root_ + "/refused"), 1) << c.line;
        EXPECT_NE(output_.find(c.line), std::string::npos) << output_.substr(0, 2000);
        EXPECT_FALSE(fs::exists(root_ + "/refused"));
    }
}

// autoupdate.ini is published as the launcher rewrites it, for this build's service host unless told another.
TEST_F(PublishTest, BlobsHoldTheFilesAndSameContentIsTheSameRelease) {
    const std::string ini = "[Login]\nBishopIP = 192.0.2.1\r\nLanguage=ms", out = client_ + "/out";
    std::map<std::string, std::string> files = {
        {"System/Core.u", std::string(300000, 'c') + "end"}, {"System/Empty.int", ""},
        {"System/Deep/Er/Lang.int", "[x]\r\n"}, {"Textures/World.utx", std::string(1 << 20, '\x01')},
        {"Textures/World Copy.utx", std::string(1 << 20, '\x01')}, {"Music/Theme.OGG", "ogg"}, {"autoupdate.ini", ini},
    };
    for (const auto& f : files) ASSERT_TRUE(Put(client_ + "/" + f.first, f.second));
    files["autoupdate.ini"] = "[Login]\nBishopIP=" VEQ_SERVICE_HOST "\r\nLanguage=ms";
    fs::create_directory_symlink(client_, client_ + "/loop");
    ASSERT_EQ(Publish(client_ + " " + out), 0) << output_;
    for (const char* line : {"6 blobs written (1.3 MiB), 1 already there",
                             "autoupdate.ini published rewritten for " VEQ_SERVICE_HOST " (1 lines"})
        EXPECT_NE(output_.find(line), std::string::npos) << line << "\n" << output_;
    const std::string first = Read(out + "/patch/manifest.tsv");
    std::map<std::string, ManifestEntry> rel = LoadRelease(out);
    ASSERT_EQ(rel.size(), files.size()) << first;
    // One blob per content, no temporary file left, all readable by a web server's worker.
    const fs::perms kReadable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    std::set<std::string> digests;
    for (const auto& f : files) {
        const std::string blob = out + "/patch/blobs/" + rel[f.first].digest;
        EXPECT_EQ(rel[f.first].digest, Sha256(f.second)) << f.first;
        EXPECT_EQ(rel[f.first].size, f.second.size()) << f.first;
        EXPECT_EQ(Read(blob), f.second) << f.first;
        EXPECT_EQ(fs::status(blob).permissions() & kReadable, kReadable) << f.first;
        digests.insert(rel[f.first].digest);
    }
    EXPECT_EQ(Names(out + "/patch/blobs"), digests);
    EXPECT_EQ(Names(out + "/patch"), (std::set<std::string>{"blobs", "chunks", "manifest.tsv"}));
    EXPECT_EQ(fs::status(out + "/patch/manifest.tsv").permissions() & kReadable, kReadable);
    // A chunk index for the one blob of 1 MiB, as the launcher reads it (the Wine tests assemble from its chunks).
    const std::string world = rel["Textures/World.utx"].digest, index = Read(out + "/patch/chunks/" + world);
    std::vector<ChunkEntry> chunks(64);
    char named[65];
    unsigned long long total = 0;
    EXPECT_EQ(Names(out + "/patch/chunks"), std::set<std::string>{world});
    EXPECT_GT(ParseChunkIndex(index.data(), index.size(), named, chunks.data(), chunks.size(), &total), 0) << index;
    EXPECT_TRUE(named == world && total == 1u << 20);
    ASSERT_TRUE(Put(out + "/patch/chunks/" + world, "damaged"));

    // Again, now with the output folder inside: the same release, nothing new written.
    ASSERT_EQ(Publish(client_ + " " + out), 0) << output_;
    for (const char* line : {"skipped  loop/: symbolic link to a folder (not followed)\n  skipped  out/: the output "
                             "folder", "0 blobs written (0.0 MiB), 7 already there"})
        EXPECT_NE(output_.find(line), std::string::npos) << line << "\n" << output_;
    EXPECT_EQ(Read(out + "/patch/manifest.tsv"), first);
    EXPECT_EQ(Read(out + "/patch/chunks/" + world), index) << "a damaged index is written again";
    ASSERT_EQ(Names(out + "/history").size(), 1u) << "an unchanged release is no new history entry";
    EXPECT_EQ(Read(out + "/history/" + *Names(out + "/history").begin()), first);

    ASSERT_TRUE(Put(client_ + "/Music/Theme.OGG", "ogg v2"));
    ASSERT_EQ(Publish(client_ + " " + out + " --service-host 203.0.113.7"), 0);
    rel = LoadRelease(out);
    EXPECT_NE(Read(out + "/patch/manifest.tsv").substr(10, 32), first.substr(10, 32)) << "another release id";
    EXPECT_EQ(Names(out + "/history").size(), 2u);
    EXPECT_TRUE(fs::exists(out + "/patch/blobs/" + Sha256("ogg"))) << "blobs of earlier releases stay";
    EXPECT_EQ(Read(out + "/patch/blobs/" + rel["autoupdate.ini"].digest),
              "[Login]\nBishopIP=203.0.113.7\r\nLanguage=ms");
    EXPECT_EQ(Read(client_ + "/autoupdate.ini"), ini) << "the client folder is never changed";
}

TEST_F(PublishTest, PruneKeepsTheLastManifestsAndTheYoungOnes) {
    // Three releases: a1 b1 | a1 b2 c | a3 b2 c; b1 and a3 have chunk indexes.
    for (const char* step : {"a1", "b1", "", "b2", "c", "", "a3", ""}) {
        if (*step) ASSERT_TRUE(Put(client_ + "/System/" + step[0] + ".u", step));
        else ASSERT_EQ(Publish(client_ + " " + out_), 0);
    }
    const std::string blobs = out_ + "/patch/blobs/", chunks = out_ + "/patch/chunks/",
                      live = out_ + "/patch/manifest.tsv";
    ASSERT_TRUE(Put(chunks + Sha256("b1"), "index") && Put(chunks + Sha256("a3"), "index"));
    // A publish whose manifest cannot be put in place takes no place in the history.
    fs::rename(live, live + ".kept");
    ASSERT_TRUE(Put(live + "/x", "") && Put(client_ + "/System/d.u", "d") && Publish(client_ + " " + out_) == 2);
    fs::remove_all(live);
    fs::rename(live + ".kept", live);
    ASSERT_EQ(Names(out_ + "/history").size(), 3u) << output_;
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 10);
    // The failed publish's blob goes at once; the first release only once it was replaced 7 days ago.
    for (const char* aged : {"", "000001", "000002"}) {
        if (*aged) fs::last_write_time(out_ + "/history/" + *Names(out_ + "/history").lower_bound(aged), old);
        ASSERT_EQ(Publish("prune " + out_ + " --keep 2"), 0) << output_;
        EXPECT_EQ(Names(blobs).size(), *aged && aged[5] == '2' ? 4u : 5u) << aged;
    }
    EXPECT_EQ(Names(blobs), (std::set<std::string>{Sha256("a1"), Sha256("b2"), Sha256("c"), Sha256("a3")}));
    EXPECT_EQ(Names(chunks), (std::set<std::string>{Sha256("a3")})) << "an index goes with its blob";
    EXPECT_EQ(Names(out_ + "/history").size(), 2u);

    // A kept manifest that cannot be read stops the prune before anything goes.
    ASSERT_TRUE(Put(out_ + "/history/" + *Names(out_ + "/history").rbegin(), "VEQPATCH1\tnot a manifest\n"));
    EXPECT_EQ(Publish("prune " + out_ + " --keep 2 --min-age 0"), 2);
    EXPECT_TRUE(fs::exists(blobs + Sha256("a1"))) << "nothing removed";
}

// The live signature, read with the launcher's reader and verified with OpenSSL; its counter, 0 when it fails.
static unsigned long long SignedCounter(const std::string& out, const std::string& keyPem, time_t* expires) {
    const std::string sig = Read(out + "/patch/manifest.tsv.sig");
    ReleaseStatement s;
    FILE* f = fopen(keyPem.c_str(), "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, NULL, NULL, NULL) : NULL;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = key && ParseReleaseSignature(sig.data(), sig.size(), &s) &&
              EVP_DigestVerifyInit(ctx, NULL, EVP_sha256(), NULL, key) == 1 &&
              EVP_DigestVerify(ctx, s.signature, s.signatureLen, (const unsigned char*)sig.data(), s.signedLen) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (f) fclose(f);
    *expires = ok ? (time_t)s.expires : 0;
    return ok && s.manifestDigest == Sha256(Read(out + "/patch/manifest.tsv")) ? s.counter : 0;
}

// Each signature covers the live manifest and counts one up from the last one written into OUT_DIR, whatever
// became of the signature file since; with that count unreadable, or a weak key, nothing is signed.
TEST_F(PublishTest, SignaturesCountUpAndCoverTheLiveManifest) {
    const std::string key = root_ + "/release.pem", weak = root_ + "/weak.pem", publish = client_ + " " + out_;
    for (const std::string& bitsAndKey : {"3072 -out " + key, "2048 -out " + weak}) {
        const std::string genpkey = "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + bitsAndKey;
        ASSERT_EQ(system((genpkey + " 2>/dev/null").c_str()), 0);
    }
    ASSERT_TRUE(Put(client_ + "/System/A.u", "one"));
    const struct { std::string put, bytes, args; int status; unsigned long long counter; long days; } kSteps[] = {
        {"", "", publish + " --sign " + key, 0, 1, 30},
        {"", "", "sign " + out_ + " --sign " + key + " --expires-days 2", 0, 2, 2},
        {client_ + "/System/A.u", "two", publish, 0, 0, 0},  // unsigned over signed: the old signature stays
        {out_ + "/patch/manifest.tsv.sig", "", publish + " --sign " + key + " --expires-days 3650", 0, 3, 3650},
        {"", "", "sign " + out_ + " --sign " + weak, 2, 3, 3650},
        {out_ + "/signed-release.tsv", "VEQLAST1\t1\tx\n", "sign " + out_ + " --sign " + key, 2, 3, 3650},
    };
    time_t before = 0;
    for (const auto& c : kSteps) {
        if (!c.put.empty()) ASSERT_TRUE(Put(c.put, c.bytes));
        time_t expires = 0;
        if (c.status == 0) before = time(NULL);  // a refused step leaves the signature, and its expiry, as they were
        EXPECT_EQ(Publish(c.args), c.status) << c.args << "\n" << output_;
        EXPECT_EQ(SignedCounter(out_, key, &expires), c.counter) << c.args << "\n" << output_;
        if (c.counter)
            EXPECT_TRUE(expires >= before + c.days * 86400 && expires <= time(NULL) + c.days * 86400) << c.args;
    }
    EXPECT_NE(output_.find("cannot read the release counter"), std::string::npos) << output_;
}

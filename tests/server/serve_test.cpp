// veq-serve as operators run it: a child process on a free loopback port, spoken to over real TLS.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "test_support.h"

static const char kDigestA[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
static const char kDigestEmpty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
static const size_t kMiB = 1024 * 1024;
static const size_t kMaxUpload = 64 * kMiB;
static const char kManifest[] = "VEQPATCH1\t0123456789abcdef0123456789abcdef\n";

class ServeTest : public ::testing::Test {
protected:
    std::string root, release, uploads, reg, access_log;
    std::string blob_a;
    int port = -1;
    Child child;

    void SetUp() override {
        root = MakeTempDir();
        ASSERT_FALSE(root.empty());
        release = root + "/release";
        uploads = root + "/uploads";
        reg = root + "/register";
        access_log = root + "/access.log";
        for (const char* d : { "/release", "/release/patch", "/release/patch/blobs", "/uploads", "/register",
                               "/register/css" })
            ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0) << d;
        blob_a = PatternBytes(100000, 1);
        WriteFile(release + "/patch/manifest.tsv", kManifest);
        WriteFile(release + "/patch/blobs/" + kDigestA, blob_a);
        WriteFile(release + "/patch/blobs/" + kDigestEmpty, "");
        WriteFile(reg + "/index.html", "<p>daftar</p>\n");
        WriteFile(reg + "/css/site.css", "p{}\n");
        WriteFile(root + "/secret.txt", "SECRET");  // what a traversal would reach
    }

    void TearDown() override {
        EndChild(&child);
        RemoveTree(root);
    }

    void Start(int threads = 8, bool with_register = true) {
        for (int attempt = 0; attempt < 3; attempt++) {  // another process may take the free port first
            port = FreePort();
            std::vector<std::string> argv = { VEQ_SERVE_EXE, "--listen", "127.0.0.1:" + std::to_string(port),
                                              "--cert", TestPkiDir() + "/server.pem", "--key",
                                              TestPkiDir() + "/server.key", "--release", release, "--uploads",
                                              uploads, "--threads", std::to_string(threads), "--log", access_log };
            if (with_register) {
                argv.push_back("--register");
                argv.push_back(reg);
            }
            ASSERT_EQ(SpawnChild(argv, root + "/serve.err", &child), 1);
            if (WaitForPort(port, 5000)) return;
            EndChild(&child);
        }
        FAIL() << "veq-serve did not start: " << ReadFile(root + "/serve.err");
    }

    std::vector<std::string> Stored() { return ListDir(uploads); }
};

TEST_F(ServeTest, ManifestIsNeverCachedAndBlobsAreImmutable) {
    Start();
    auto client = TrustingClient(port);
    client->set_default_headers({ { "User-Agent", "VEQGames-Patcher/2.0" } });
    auto manifest = client->Get("/patch/manifest.tsv");
    ASSERT_TRUE(manifest) << httplib::to_string(manifest.error());
    EXPECT_EQ(manifest->status, 200);
    EXPECT_EQ(manifest->body, kManifest);
    EXPECT_EQ(manifest->get_header_value("Cache-Control"), "no-cache");

    auto blob = client->Get(std::string("/patch/blobs/") + kDigestA);
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->status, 200);
    EXPECT_TRUE(blob->body == blob_a) << "blob body differs, " << blob->body.size() << " bytes";
    EXPECT_EQ(blob->get_header_value("Cache-Control"), "public, max-age=31536000, immutable");
    EXPECT_EQ(blob->get_header_value("ETag"), std::string("\"") + kDigestA + "\"");
    EXPECT_EQ(blob->get_header_value("Content-Length"), "100000");

    auto empty = client->Get(std::string("/patch/blobs/") + kDigestEmpty);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 200) << "a zero-byte file is a valid blob";
    EXPECT_EQ(empty->get_header_value("Content-Length"), "0");

    // One access line per request: time, peer, method, target, status, bytes, user agent.
    std::string log = ReadFile(access_log);
    const std::regex line("(^|\n)\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ 127\\.0\\.0\\.1:\\d+ "
                          "GET /patch/manifest\\.tsv 200 43 \"VEQGames-Patcher/2\\.0\"\n");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
}

TEST_F(ServeTest, ConditionalBlobRequests) {
    Start();
    const std::string tag = std::string("\"") + kDigestA + "\"";
    const struct { std::string if_none_match; int status; } kCases[] = {
        { tag, 304 }, { "W/" + tag, 304 }, { "*", 304 }, { "\"other\", " + tag, 304 }, { "\"other\"", 200 },
    };
    for (const auto& c : kCases) {
        RawReply r;
        ASSERT_EQ(RawHttps(port,
                           std::string("GET /patch/blobs/") + kDigestA + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "If-None-Match: " + c.if_none_match + "\r\nConnection: close\r\n\r\n",
                           3000, &r), 1);
        EXPECT_EQ(r.status, c.status) << c.if_none_match;
        EXPECT_EQ(r.Header("ETag"), tag) << c.if_none_match;
        EXPECT_EQ(r.Header("Cache-Control"), "public, max-age=31536000, immutable") << c.if_none_match;
        if (c.status == 304) {
            EXPECT_EQ(r.body, "") << "a 304 has no body";
            EXPECT_EQ(r.Header("Content-Length"), "100000") << "a 304 may only announce the 200's length";
        } else {
            EXPECT_EQ(r.body.size(), blob_a.size());
        }
    }
}

TEST_F(ServeTest, TraversalAndUnknownPathsAreNotFound) {
    Start();
    std::string upper = kDigestA;
    for (auto& c : upper) c = (char)toupper((unsigned char)c);
    const char* const kPaths[] = {
        "/patch/blobs/../manifest.tsv",
        "/patch/blobs/%2e%2e/manifest.tsv",
        "/patch/blobs/%2e%2e%2fmanifest.tsv",
        "/patch/%2e%2e/patch/manifest.tsv",
        "/patch/../../secret.txt",
        "/patch/blobs/../../../secret.txt",
        "/register/../secret.txt",
        "/register/%2e%2e/secret.txt",
        "/register/..%2fsecret.txt",
        "/register/css/..%2f..%2f..%2fsecret.txt",
        "/patch/blobs/0000000000000000000000000000000000000000000000000000000000000000",
        "/patch/blobs/",
        "/patch/manifest.tsv/",
        "/patch/",
        "/patch",
        "/secret.txt",
        "/",
        "/nothing",
    };
    std::vector<std::string> paths(std::begin(kPaths), std::end(kPaths));
    paths.push_back("/patch/blobs/" + upper);
    paths.push_back(std::string("/patch/blobs/") + kDigestA + "%00");
    for (const auto& path : paths) {
        RawReply r;
        ASSERT_EQ(RawHttps(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 3000, &r),
                  1) << path;
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body.find("SECRET"), std::string::npos) << path;
        EXPECT_EQ(r.body.find("VEQPATCH1"), std::string::npos) << path;
    }
}

TEST_F(ServeTest, RegistrationPages) {
    Start();
    auto client = TrustingClient(port);
    const struct { const char* path; int status; const char* body; const char* type; } kCases[] = {
        { "/register", 200, "<p>daftar</p>\n", "text/html; charset=utf-8" },
        { "/register/", 200, "<p>daftar</p>\n", "text/html; charset=utf-8" },
        { "/register/index.html", 200, "<p>daftar</p>\n", "text/html; charset=utf-8" },
        { "/register/css/site.css", 200, "p{}\n", "text/css" },
        { "/register/css", 404, NULL, NULL },  // a folder is not a file
        { "/register/missing.html", 404, NULL, NULL },
    };
    for (const auto& c : kCases) {
        auto r = client->Get(c.path);
        ASSERT_TRUE(r) << c.path;
        EXPECT_EQ(r->status, c.status) << c.path;
        if (c.body) EXPECT_EQ(r->body, c.body) << c.path;
        if (c.type) EXPECT_EQ(r->get_header_value("Content-Type"), c.type) << c.path;
    }
    auto post = client->Post("/register", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");
}

TEST_F(ServeTest, RegistrationIsNotFoundWithoutItsDirectory) {
    Start(8, false);
    auto r = TrustingClient(port)->Get("/register");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
}

TEST_F(ServeTest, LargeBlobIsStreamedNotBuffered) {
    const std::string digest(64, 'a');
    const std::string big = PatternBytes(64 * kMiB, 7);
    WriteFile(release + "/patch/blobs/" + digest, big);
    Start();
    auto client = TrustingClient(port);
    ASSERT_TRUE(client->Get("/patch/manifest.tsv"));  // TLS and thread start-up are not what we measure
    long before = ReadStatusKb(child.pid, "VmHWM");
    ASSERT_GT(before, 0);

    size_t received = 0;
    bool same = true;
    auto r = client->Get("/patch/blobs/" + digest, [&](const char* data, size_t n) {
        if (received + n > big.size() || memcmp(big.data() + received, data, n) != 0) same = false;
        received += n;
        return true;
    });
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(received, big.size());
    EXPECT_TRUE(same) << "the streamed bytes differ from the file";
    long after = ReadStatusKb(child.pid, "VmHWM");
    EXPECT_LT(after - before, 16 * 1024) << "peak RSS grew from " << before << " KiB to " << after << " KiB";
}

TEST_F(ServeTest, UploadsAreStoredByteExactUnderWellFormedNames) {
    Start();
    auto client = TrustingClient(port);
    client->set_default_headers({ { "User-Agent", "tarqo-launcher/1.0" } });
    const char* const kTags[] = { "zqlog", "dump" };
    for (const char* tag : kTags) {
        const std::string body = PatternBytes(123457, tag[0]);
        time_t before = time(NULL);
        auto r = client->Post(std::string("/legacy/upload?tag=") + tag, body, "application/octet-stream");
        time_t after = time(NULL);
        ASSERT_TRUE(r) << tag;
        EXPECT_EQ(r->status, 200) << tag;
        std::vector<std::string> names = Stored();
        std::string mine;
        for (const auto& n : names)
            if (n.compare(0, strlen(tag) + 1, std::string(tag) + "-") == 0) mine = n;
        ASSERT_FALSE(mine.empty()) << tag << ": nothing stored";
        std::smatch m;
        ASSERT_TRUE(std::regex_match(mine, m, std::regex(std::string(tag) + "-(\\d{8}T\\d{6}Z)-[0-9a-f]{16}\\.bin")))
            << mine;
        char low[32], high[32];
        struct tm t;
        strftime(low, sizeof low, "%Y%m%dT%H%M%SZ", gmtime_r(&before, &t));
        strftime(high, sizeof high, "%Y%m%dT%H%M%SZ", gmtime_r(&after, &t));
        EXPECT_TRUE(m[1].str() >= low && m[1].str() <= high) << m[1] << " is not UTC now";
        EXPECT_TRUE(ReadFile(uploads + "/" + mine) == body) << tag << ": stored bytes differ";
    }
    EXPECT_EQ(Stored().size(), 2u) << "no temporary files remain";
}

TEST_F(ServeTest, RefusedUploadsStoreNothing) {
    Start();
    auto client = TrustingClient(port);
    client->set_keep_alive(true);  // a refusal must leave the connection fit for the next request
    const struct { const char* target; std::string body; int status; const char* why; } kCases[] = {
        { "/legacy/upload?tag=x", "abc", 400, "unknown tag" },
        { "/legacy/upload?tag=ZQLOG", "abc", 400, "tags are lower case" },
        { "/legacy/upload?tag=../zqlog", "abc", 400, "a tag cannot name a path" },
        { "/legacy/upload", "abc", 400, "missing tag" },
        { "/legacy/upload?tag=zqlog", "", 400, "empty body" },
        { "/legacy/upload?tag=dump", "", 400, "empty body" },
    };
    for (const auto& c : kCases) {
        auto r = client->Post(c.target, c.body, "application/octet-stream");
        ASSERT_TRUE(r) << c.why;
        EXPECT_EQ(r->status, c.status) << c.why;
    }
    auto get = client->Get("/legacy/upload?tag=zqlog");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);
    EXPECT_EQ(Stored().size(), 0u);
    auto ok = client->Post("/legacy/upload?tag=zqlog", "fine", "application/octet-stream");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200) << "the kept-alive connection still works";
    EXPECT_EQ(Stored().size(), 1u);
}

TEST_F(ServeTest, OversizedUploadIsRefusedBeforeItsBodyIsRead) {
    Start();
    // Only the head is sent: an answer proves the server did not wait for the 64 MiB + 1 bytes.
    RawReply r;
    ASSERT_EQ(RawHttps(port,
                       "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                       "application/octet-stream\r\nContent-Length: 67108865\r\n\r\n",
                       3000, &r), 1);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.closed, 1) << "the unread body must not be taken for a next request";

    RawReply asked;  // a client that asks first (curl does) is told before it sends anything
    ASSERT_EQ(RawHttps(port,
                       "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 67108865\r\n"
                       "Expect: 100-continue\r\nConnection: close\r\n\r\n",
                       3000, &asked), 1);
    EXPECT_EQ(asked.status, 413) << asked.head;

    // Without a length the limit is met mid-stream; the partial file goes away.
    auto client = TrustingClient(port);
    size_t sent = 0;
    const std::string piece(kMiB, 'q');
    auto chunked = client->Post("/legacy/upload?tag=dump", [&](size_t, httplib::DataSink& sink) {
        if (sent > kMaxUpload) {
            sink.done();
            return true;
        }
        size_t n = sent + piece.size() > kMaxUpload ? kMaxUpload + 1 - sent : piece.size();
        sent += n;
        return sink.write(piece.data(), n);
    }, "application/octet-stream");
    if (chunked) EXPECT_EQ(chunked->status, 413);  // or the connection is dropped under the sender
    EXPECT_EQ(Stored().size(), 0u);
}

TEST_F(ServeTest, UploadOfExactly64MiBIsAccepted) {
    Start();
    const std::string body = PatternBytes(kMaxUpload, 3);
    auto r = TrustingClient(port)->Post("/legacy/upload?tag=dump", body, "application/octet-stream");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    std::vector<std::string> names = Stored();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(ReadFile(uploads + "/" + names[0]) == body);
}

TEST_F(ServeTest, AbandonedUploadLeavesNoFile) {
    Start();
    RawReply r;  // announces 1000 bytes, sends 10, hangs up
    RawHttps(port,
             "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\n0123456789", 0,
             &r);
    std::string log;
    for (int i = 0; i < 200 && log.find("POST /legacy/upload?tag=zqlog 400") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = ReadFile(access_log);
    }
    ASSERT_NE(log.find("POST /legacy/upload?tag=zqlog 400"), std::string::npos) << log;
    EXPECT_EQ(Stored().size(), 0u) << "the temporary file must be removed";
}

TEST_F(ServeTest, FiftyParallelDownloadsAllComplete) {
    std::vector<std::string> digests, bodies;
    for (int i = 0; i < 5; i++) {
        digests.push_back(std::string(63, 'b') + (char)('0' + i));
        bodies.push_back(PatternBytes(kMiB, 100 + i));
        WriteFile(release + "/patch/blobs/" + digests.back(), bodies.back());
    }
    Start(8);
    std::atomic<int> exact(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; i++) {
        threads.emplace_back([&, i] {
            auto r = TrustingClient(port)->Get("/patch/blobs/" + digests[i % 5]);
            if (r && r->status == 200 && r->body == bodies[i % 5]) exact++;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(exact.load(), 50);
}

TEST_F(ServeTest, StopsCleanlyOnSignals) {
    const int kSignals[] = { SIGTERM, SIGINT };
    for (int sig : kSignals) {
        Start();
        ASSERT_TRUE(TrustingClient(port)->Get("/patch/manifest.tsv"));
        ASSERT_EQ(kill(child.pid, sig), 0);
        int status = 0;
        ASSERT_EQ(WaitChild(&child, 8000, &status), 1) << "signal " << sig << " did not stop it";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << sig << ", status " << status;
        EndChild(&child);
    }
}

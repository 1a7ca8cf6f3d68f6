// veq-testserver driven through its control port, as the Windows tests drive it, and checked from the wire.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <thread>

#include "test_support.h"

static const char kDigest[] = "5f4dcc3b5aa765d61d8327deb882cf995f4dcc3b5aa765d61d8327deb882cf99";
static const char kManifestOne[] = "VEQPATCH1\t11111111111111111111111111111111\n";
static const char kManifestTwo[] = "VEQPATCH1\t22222222222222222222222222222222\n";
static const size_t kBlobSize = 300000;

static std::string Filler(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)('a' + i % 26);
    return s;
}

class TestServerTest : public ::testing::Test {
protected:
    std::string root, release, release2, uploads, uploads2;
    std::string blob;
    int https = -1, control = -1;
    Child child;

    void SetUp() override {
        root = MakeTempDir();
        ASSERT_FALSE(root.empty());
        release = root + "/release";
        release2 = root + "/release2";
        uploads = root + "/uploads";
        uploads2 = root + "/uploads2";
        for (const char* d : { "/release", "/release/patch", "/release/patch/blobs", "/release2", "/release2/patch",
                               "/uploads", "/uploads2" })
            ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0) << d;
        blob = PatternBytes(kBlobSize, 9);
        WriteFile(release + "/patch/manifest.tsv", kManifestOne);
        WriteFile(release + "/patch/blobs/" + kDigest, blob);
        WriteFile(release2 + "/patch/manifest.tsv", kManifestTwo);
        for (int attempt = 0; attempt < 3; attempt++) {
            https = FreePort();
            control = FreePort();
            std::vector<std::string> argv = { VEQ_TESTSERVER_EXE, "--https", "127.0.0.1:" + std::to_string(https),
                                              "--control", "127.0.0.1:" + std::to_string(control), "--pki",
                                              TestPkiDir(), "--release", release, "--uploads", uploads };
            ASSERT_EQ(SpawnChild(argv, root + "/testserver.err", &child), 1);
            if (WaitForLine(&child, "ready", 10000)) return;
            EndChild(&child);
        }
        FAIL() << "veq-testserver did not get ready: " << ReadFile(root + "/testserver.err");
    }

    void TearDown() override {
        EndChild(&child);
        RemoveTree(root);
    }

    // A control call; returns "<status> <body>".
    std::string Ctl(const std::string& target, bool post = true) {
        httplib::Client c("127.0.0.1", control);
        c.set_read_timeout(20);
        auto r = post ? c.Post(target) : c.Get(target);
        if (!r) return "error " + httplib::to_string(r.error());
        return std::to_string(r->status) + " " + r->body;
    }

    RawReply Raw(const std::string& path, int quiet_ms = 3000) {
        RawReply r;
        RawHttps(https, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", quiet_ms, &r);
        return r;
    }
};

TEST_F(TestServerTest, ControlCallsAnswerOkOrSayWhatIsWrong) {
    const struct { std::string target; bool post; const char* want; } kCases[] = {
        { "/ctl/reset", true, "200 ok" },
        { "/ctl/release?dir=" + release2, true, "200 ok" },
        { "/ctl/uploads?dir=" + uploads2, true, "200 ok" },
        { "/ctl/fault?path=/patch/&status=500", true, "200 ok" },
        { "/ctl/tls?mode=tls13", true, "200 ok" },
        { "/ctl/reset", true, "200 ok" },
        { "/ctl/release?dir=relative/dir", true, "400" },
        { "/ctl/release?dir=" + root + "/missing", true, "400" },
        { "/ctl/release", true, "400" },
        { "/ctl/uploads?dir=" + uploads + "&x=1", true, "400" },
        { "/ctl/fault?stauts=500", true, "400" },
        { "/ctl/fault?status=1000", true, "400" },
        { "/ctl/fault?chunked=yes", true, "400" },
        { "/ctl/fault?path=patch", true, "400" },
        { "/ctl/tls?mode=ssl3", true, "400" },
        { "/ctl/tls", true, "400" },
        { "/ctl/reset", false, "404" },  // control changes are POSTs
    };
    // curl -X POST sends no Content-Length at all.
    std::string bare =
        RawHttp(control, "POST /ctl/fault?status=500 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 3000);
    EXPECT_EQ(bare.compare(0, 15, "HTTP/1.1 200 OK"), 0) << bare;
    EXPECT_EQ(bare.substr(bare.size() - 6), "\r\n\r\nok") << bare;
    for (const auto& c : kCases) {
        std::string got = Ctl(c.target, c.post);
        EXPECT_EQ(got.compare(0, strlen(c.want), c.want), 0) << c.target << " -> " << got;
        if (std::string(c.want) == "400") EXPECT_GT(got.size(), 5u) << c.target << ": no reason given";
    }
}

TEST_F(TestServerTest, FaultStatusKeepsTheRealBodyOnMatchingPathsOnly) {
    ASSERT_EQ(Ctl("/ctl/fault?path=/patch/manifest.tsv&status=500"), "200 ok");
    auto client = TrustingClient(https);
    client->set_default_headers({ { "User-Agent", "VEQGames-Patcher/2.0" } });
    auto manifest = client->Get("/patch/manifest.tsv");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->status, 500);
    EXPECT_EQ(manifest->body, kManifestOne);
    auto other = client->Get(std::string("/patch/blobs/") + kDigest);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200) << "the fault's prefix does not cover blobs";
    EXPECT_EQ(Ctl("/ctl/log", false).substr(0, 60),
              "200 GET\t/patch/manifest.tsv\tVEQGames-Patcher/2.0\t\t0\t500\t\nGET")
        << "the log shows the status as answered";

    ASSERT_EQ(Ctl("/ctl/fault?path=/patch/blobs/&status=404"), "200 ok");  // replaces the earlier fault
    manifest = client->Get("/patch/manifest.tsv");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->status, 200);
    other = client->Get(std::string("/patch/blobs/") + kDigest);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);

    ASSERT_EQ(Ctl("/ctl/fault?path=/dl/&body=5"), "200 ok");
    auto made_up = client->Get("/dl/anything");
    ASSERT_TRUE(made_up);
    EXPECT_EQ(made_up->status, 200) << "a fault answers 200 unless told otherwise, also where nothing is served";
    EXPECT_EQ(made_up->body, "abcde");
}

TEST_F(TestServerTest, FaultBodyLengthsWithAndWithoutChunking) {
    const struct { int chunked; size_t body; } kCases[] = { { 0, 100000 }, { 1, 100000 }, { 0, 0 }, { 1, 2097153 } };
    for (const auto& c : kCases) {
        ASSERT_EQ(Ctl("/ctl/fault?path=/patch/manifest.tsv&body=" + std::to_string(c.body) +
                      "&chunked=" + std::to_string(c.chunked)), "200 ok");
        auto r = TrustingClient(https)->Get("/patch/manifest.tsv");
        ASSERT_TRUE(r) << c.body;
        EXPECT_EQ(r->status, 200);
        EXPECT_TRUE(r->body == Filler(c.body)) << c.body << " bytes wanted, " << r->body.size() << " got";
        if (c.chunked) {
            EXPECT_FALSE(r->has_header("Content-Length")) << c.body;
            EXPECT_EQ(r->get_header_value("Transfer-Encoding"), "chunked");
        } else {
            EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(c.body));
        }
    }
}

TEST_F(TestServerTest, CutAfterAnnouncesEverythingAndSendsPart) {
    const std::string path = std::string("/patch/blobs/") + kDigest;
    ASSERT_EQ(Ctl("/ctl/fault?path=/patch/blobs/&cut_after=70000"), "200 ok");
    RawReply r = Raw(path);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(kBlobSize));
    EXPECT_EQ(r.body.size(), 70000u);
    EXPECT_TRUE(r.body == blob.substr(0, 70000)) << "the part sent is the real blob";
    EXPECT_EQ(r.closed, 1);

    ASSERT_EQ(Ctl("/ctl/fault?path=/patch/blobs/&cut_after=" + std::to_string(kBlobSize) + "&chunked=1"), "200 ok");
    r = Raw(path);
    EXPECT_EQ(r.Header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(r.closed, 1);
    EXPECT_GT(r.body.size(), kBlobSize) << "every byte, in chunks";
    EXPECT_NE(r.body.substr(r.body.size() - 5), "0\r\n\r\n") << "but never the last chunk";
}

TEST_F(TestServerTest, StallPausesAfterTheGivenBytes) {
    const struct { size_t after; } kCases[] = { { 0 }, { 1000 } };
    for (const auto& c : kCases) {
        ASSERT_EQ(Ctl("/ctl/fault?path=/patch/blobs/&stall_ms=800&stall_after=" + std::to_string(c.after)), "200 ok");
        RawReply r = Raw(std::string("/patch/blobs/") + kDigest);
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(r.body == blob) << "a stall loses nothing";
        double reached = -1, passed = -1;  // when `after` body bytes were in, and when more came
        for (const auto& t : r.trace) {
            if (reached < 0 && t.second >= c.after) reached = t.first;
            if (passed < 0 && t.second > c.after) passed = t.first;
        }
        ASSERT_GE(reached, 0) << c.after;
        EXPECT_GE(passed - reached, 700) << "stall after " << c.after << " bytes";
    }
}

TEST_F(TestServerTest, ResetEndsAStallInProgress) {
    ASSERT_EQ(Ctl("/ctl/fault?path=/patch/blobs/&stall_ms=60000&stall_after=1000"), "200 ok");
    RawReply r;
    std::thread reader([&] { r = Raw(std::string("/patch/blobs/") + kDigest, 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ctl("/ctl/reset"), "200 ok");
    reader.join();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 5000) << "the stalled reply held the reset";
    EXPECT_EQ(r.closed, 1);
    EXPECT_EQ(r.body.size(), 1000u);
}

TEST_F(TestServerTest, UploadUnderAFaultIsReadAndNotStored) {
    auto client = TrustingClient(https);
    client->set_default_headers({ { "User-Agent", "tarqo-launcher/1.0" } });
    const struct { const char* fault; int status; } kCases[] = {
        { "path=/legacy/upload&status=503", 503 },
        { "path=/legacy/&stall_ms=10", 200 },  // a fault without a status answers 200, and stores nothing either
    };
    for (const auto& c : kCases) {
        ASSERT_EQ(Ctl("/ctl/reset"), "200 ok");
        ASSERT_EQ(Ctl(std::string("/ctl/fault?") + c.fault), "200 ok");
        auto r = client->Post("/legacy/upload?tag=zqlog", std::string(1234, 'L'), "application/octet-stream");
        ASSERT_TRUE(r) << c.fault;
        EXPECT_EQ(r->status, c.status) << c.fault;
        EXPECT_EQ(ListDir(uploads).size(), 0u) << c.fault;
        EXPECT_EQ(Ctl("/ctl/log", false), "200 POST\t/legacy/upload?tag=zqlog\ttarqo-launcher/1.0\t"
                                          "application/octet-stream\t1234\t" + std::to_string(c.status) + "\t\n")
            << c.fault;
    }
}

TEST_F(TestServerTest, LogListsEachRequestAndResetClearsIt) {
    auto client = TrustingClient(https);
    client->set_default_headers({ { "User-Agent", "probe/1" } });
    ASSERT_TRUE(client->Get("/patch/manifest.tsv?v=1"));
    auto up = client->Post("/legacy/upload?tag=dump", std::string(777, 'D'), "application/octet-stream");
    ASSERT_TRUE(up);
    ASSERT_EQ(up->status, 200);
    ASSERT_TRUE(client->Get("/nope"));
    std::vector<std::string> stored = ListDir(uploads);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(Ctl("/ctl/log", false), "200 GET\t/patch/manifest.tsv?v=1\tprobe/1\t\t0\t200\t\n"
                                      "POST\t/legacy/upload?tag=dump\tprobe/1\tapplication/octet-stream\t777\t200\t" +
                                          uploads + "/" + stored[0] + "\n"
                                      "GET\t/nope\tprobe/1\t\t0\t404\t\n");
    EXPECT_EQ(Ctl("/ctl/reset"), "200 ok");
    EXPECT_EQ(Ctl("/ctl/log", false), "200 ");
}

TEST_F(TestServerTest, DirectoriesSwitchAndResetRestoresThem) {
    auto client = TrustingClient(https);
    ASSERT_EQ(Ctl("/ctl/release?dir=" + release2), "200 ok");
    ASSERT_EQ(Ctl("/ctl/uploads?dir=" + uploads2), "200 ok");
    auto m = client->Get("/patch/manifest.tsv");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->body, kManifestTwo);
    ASSERT_TRUE(client->Post("/legacy/upload?tag=zqlog", "x", "application/octet-stream"));
    EXPECT_EQ(ListDir(uploads2).size(), 1u);

    ASSERT_EQ(Ctl("/ctl/reset"), "200 ok");
    m = client->Get("/patch/manifest.tsv");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->body, kManifestOne);
    ASSERT_TRUE(client->Post("/legacy/upload?tag=zqlog", "y", "application/octet-stream"));
    EXPECT_EQ(ListDir(uploads).size(), 1u);
}

TEST_F(TestServerTest, TlsModesOfferWhatTheyPromise) {
    const std::string ca = TestPkiDir() + "/ca.pem";
    const std::string untrusted_ca = TestPkiDir() + "/untrusted-ca.pem";
    TlsClientOptions tls12, tls13, tls11;
    tls12.min_version = tls12.max_version = TLS1_2_VERSION;
    tls13.min_version = tls13.max_version = TLS1_3_VERSION;
    tls11.min_version = tls11.max_version = TLS1_1_VERSION;
    tls11.security_level = 0;
    const struct {
        const char* mode;
        const TlsClientOptions* client;
        std::string ca;
        int connects;
        int handshake;
        long verify;
    } kCases[] = {
        { "default", &tls12, ca, 1, 1, X509_V_OK },
        { "default", &tls13, ca, 1, 1, X509_V_OK },
        { "default", &tls11, ca, 1, 0, -1 },
        { "tls13", &tls13, ca, 1, 1, X509_V_OK },
        { "tls13", &tls12, ca, 1, 0, -1 },
        { "tls11", &tls11, ca, 1, 1, X509_V_OK },
        { "tls11", &tls12, ca, 1, 0, -1 },
        { "untrusted", &tls12, ca, 1, 1, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY },
        { "untrusted", &tls12, untrusted_ca, 1, 1, X509_V_OK },  // the name is right, only the issuer is unknown
        { "off", &tls12, ca, 0, 0, -1 },
        { "tls13", &tls13, ca, 1, 1, X509_V_OK },  // and back from off
    };
    for (const auto& c : kCases) {
        ASSERT_EQ(Ctl(std::string("/ctl/tls?mode=") + c.mode), "200 ok") << c.mode;
        TlsClientOptions opts = *c.client;
        opts.ca_file = c.ca;
        TlsProbe p = ProbeTls(https, opts);
        EXPECT_EQ(p.connected, c.connects) << c.mode << ": the listener is in place once the call has answered";
        EXPECT_EQ(p.handshake, c.handshake) << c.mode << " with a client of " << std::hex << opts.max_version;
        if (c.handshake) {
            EXPECT_EQ(p.version, opts.max_version) << c.mode;
            EXPECT_EQ(p.verify, c.verify) << c.mode << ": " << X509_verify_cert_error_string(p.verify);
        }
    }
    ASSERT_EQ(Ctl("/ctl/reset"), "200 ok");
    TlsClientOptions opts = tls12;
    opts.ca_file = ca;
    TlsProbe p = ProbeTls(https, opts);
    EXPECT_EQ(p.handshake, 1) << "reset brings back the default listener";
    EXPECT_EQ(p.verify, X509_V_OK);
}

TEST_F(TestServerTest, StopsCleanlyOnSigterm) {
    ASSERT_EQ(Ctl("/ctl/tls?mode=tls13"), "200 ok");
    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(WaitChild(&child, 8000, &status), 1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

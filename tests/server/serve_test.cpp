// veq-serve as operators run it: a child process on a loopback port, spoken to with raw bytes, so that what a
// library client would smooth over (a second reply, a cut connection, a stall) shows.
#include <arpa/inet.h>
#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

static const char kDigest[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
static const char kManifest[] = "VEQPATCH1\t0123456789abcdef0123456789abcdef\n";
static const size_t kMiB = 1024 * 1024;

static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary).write(data.data(), (std::streamsize)data.size());
}

static std::vector<std::string> ListDir(const std::string& dir) {  // hidden names too
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = d ? readdir(d) : NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    if (d) closedir(d);
    return names;
}

static std::string PatternBytes(size_t n, unsigned seed) {  // every offset differs, so a shifted copy shows
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x ^= x << 13; x ^= x >> 17; x ^= x << 5;
        c = (char)(x & 0xff);
    }
    return s;
}

static int Connect(int port, const char* from = "127.0.0.1") {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval quiet = { 10, 0 };  // a hung server fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    inet_pton(AF_INET, from, &a.sin_addr);
    int ok = bind(fd, (sockaddr*)&a, sizeof a) == 0;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (ok && connect(fd, (sockaddr*)&a, sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

static std::string ReadToEnd(int fd, size_t limit = ~(size_t)0) {
    std::string all;
    char buf[65536];
    ssize_t n;
    while (all.size() < limit && (n = recv(fd, buf, std::min(sizeof buf, limit - all.size()), 0)) > 0)
        all.append(buf, (size_t)n);
    return all;
}

// Sends everything, ends our side, and returns all the server sent until it closed.
static std::string Exchange(int port, const std::string& data, const char* from = "127.0.0.1") {
    int fd = Connect(port, from);
    if (fd < 0) return "connect failed";
    size_t sent = 0;
    for (ssize_t n; sent < data.size() && (n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL)) > 0;)
        sent += (size_t)n;
    shutdown(fd, SHUT_WR);
    std::string all = ReadToEnd(fd);
    close(fd);
    return all;
}

struct Reply {
    int status = 0;
    std::string head, body;
    std::string Header(const char* name) const {  // "" when absent
        std::string h = head, key = std::string("\r\n") + name + ":";
        for (auto* s : { &h, &key })
            for (auto& ch : *s) ch = (char)tolower((unsigned char)ch);
        size_t at = h.find(key);
        if (at == std::string::npos) return "";
        size_t start = head.find_first_not_of(' ', at + key.size());
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

static std::vector<Reply> Replies(const std::string& all) {
    std::vector<Reply> out;
    size_t at = 0, end;
    while ((end = all.find("\r\n\r\n", at)) != std::string::npos) {
        Reply r;
        r.head = all.substr(at, end + 2 - at);
        r.status = atoi(r.head.c_str() + 9);
        size_t n = r.status == 304 || r.status == 100 ? 0 : strtoull(r.Header("Content-Length").c_str(), NULL, 10);
        r.body = all.substr(end + 4, n);
        at = end + 4 + n;
        out.push_back(r);
    }
    return out;
}

static std::string Get(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

static std::string Upload(const std::string& query, const std::string& body, const char* type =
                          "application/octet-stream", const std::string& extra = "") {
    return "POST /legacy/upload" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

static std::string TestPkiDir() {
    static std::once_flag once;
    std::call_once(once, [] { (void)!system("'" VEQ_MAKE_PKI "' '" VEQ_TEST_PKI_DIR "' >/dev/null"); });
    return VEQ_TEST_PKI_DIR;
}

// One request over TLS with the given version and TLS 1.2 cipher list; "" when the handshake fails.
static std::string TlsExchange(int port, int version, const char* ciphers, const std::string& data, long* verify) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);  // so TLS 1.1 can be offered
    SSL_CTX_set_min_proto_version(ctx, version);
    SSL_CTX_set_max_proto_version(ctx, version);
    SSL_CTX_set_cipher_list(ctx, ciphers);
    SSL_CTX_load_verify_locations(ctx, (TestPkiDir() + "/ca.pem").c_str(), NULL);
    SSL* ssl = SSL_new(ctx);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    int fd = Connect(port);
    std::string all;
    char buf[16384];
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1 && SSL_write(ssl, data.data(), (int)data.size()) > 0) {
        *verify = SSL_get_verify_result(ssl);
        for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) all.append(buf, (size_t)n);
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return all;
}

// Sends `first`, then one byte of `drip` each 100 ms (none when 0), reading whatever comes; seconds until the
// server closed the connection, or -1 when it did not within `limitMs`.
static double SecondsUntilCut(int fd, const std::string& first, char drip, int limitMs = 6000) {
    auto start = std::chrono::steady_clock::now();
    send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    for (int i = 0; i < limitMs / 100; i++) {
        struct pollfd p = { fd, POLLIN, 0 };
        char buf[65536];
        if ((drip && send(fd, &drip, 1, MSG_NOSIGNAL) < 0) || (poll(&p, 1, 100) == 1 && recv(fd, buf, sizeof buf, 0) <= 0))
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return -1;
}

class Serve : public ::testing::Test {
protected:
    std::string root, uploads, log;
    std::string blob = PatternBytes(100000, 1);
    std::vector<pid_t> children;

    void SetUp() override {
        char dir[] = "/tmp/veq-serve-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        root = dir;
        uploads = root + "/uploads";
        log = root + "/access.log";
        for (const char* d : { "/release", "/release/patch", "/release/patch/blobs", "/uploads", "/register" })
            ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0) << d;
        WriteFile(root + "/release/patch/manifest.tsv", kManifest);
        WriteFile(root + "/release/patch/blobs/" + kDigest, blob);
        WriteFile(root + "/register/index.html", "<p>daftar</p>\n");
        WriteFile(root + "/secret.txt", "SECRET");  // what a traversal would reach
    }

    void TearDown() override {
        for (pid_t pid : children) kill(pid, SIGKILL);
        for (pid_t pid : children) waitpid(pid, NULL, 0);
        nftw(root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }

    // veq-serve on a free port, plain unless `extra` asks for TLS; its port, or 0.
    int Start(std::vector<std::string> extra = {}, pid_t* pidOut = NULL) {
        std::vector<std::string> args = { VEQ_SERVE_EXE, "--listen", "127.0.0.1:0", "--release", root + "/release",
                                          "--uploads", uploads, "--register", root + "/register", "--log", log };
        if (std::find(extra.begin(), extra.end(), "--cert") == extra.end()) args.push_back("--plain");
        args.insert(args.end(), extra.begin(), extra.end());
        std::string errFile = root + "/serve" + std::to_string(children.size()) + ".err";
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(&a[0]);
            argv.push_back(NULL);
            freopen(errFile.c_str(), "w", stderr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        children.push_back(pid);
        if (pidOut) *pidOut = pid;
        std::smatch m;
        for (int i = 0; i < 500; i++, usleep(10000)) {
            std::string err = ReadFile(errFile);
            if (std::regex_search(err, m, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"))) return stoi(m[1]);
        }
        return 0;
    }
};

TEST_F(Serve, AnswersWithTheRightStatusHeadersAndBytes) {
    int port = Start();
    ASSERT_NE(port, 0);
    auto first = Replies(Exchange(port, Get("/patch/manifest.tsv")));
    ASSERT_EQ(first.size(), 1u);
    const std::string etag = first[0].Header("ETag"), date = first[0].Header("Last-Modified"), tag = kDigest;
    const std::string blobPath = "/patch/blobs/" + tag;
    std::string upper = blobPath;
    for (size_t i = 13; i < upper.size(); i++) upper[i] = (char)toupper((unsigned char)upper[i]);
    const struct { std::string request; int status; const char* header; std::string value, body; } kCases[] = {
        { Get("/patch/manifest.tsv"), 200, "Cache-Control", "no-cache", kManifest },
        { Get("/patch/manifest.tsv", "If-None-Match: " + etag + "\r\n"), 304, "ETag", etag, "" },
        { Get("/patch/manifest.tsv", "If-None-Match: \"other\"\r\n"), 200, "ETag", etag, kManifest },
        { Get("/patch/manifest.tsv", "If-Modified-Since: " + date + "\r\n"), 304, "Last-Modified", date, "" },
        { Get("/patch/manifest.tsv", "If-Modified-Since: Thu, 01 Jan 1998 00:00:00 GMT\r\n"), 200, "", "", kManifest },
        { Get(blobPath), 200, "Cache-Control", "public, max-age=31536000, immutable", blob },
        { Get(blobPath, "If-None-Match: \"" + tag + "\"\r\n"), 304, "ETag", "\"" + tag + "\"", "" },
        { Get(blobPath, "Range: bytes=10-19\r\n"), 206, "Content-Range", "bytes 10-19/100000", blob.substr(10, 10) },
        { Get(blobPath, "Range: bytes=99990-\r\n"), 206, "Content-Range", "bytes 99990-99999/100000", blob.substr(99990) },
        { Get(blobPath, "Range: bytes=-5\r\n"), 206, "Content-Range", "bytes 99995-99999/100000", blob.substr(99995) },
        { Get(blobPath, "Range: bytes=100000-\r\n"), 416, "Content-Range", "bytes */100000", "range not satisfiable\n" },
        { Get(blobPath, "Range: bytes=0-1,5-6\r\n"), 200, "Content-Range", "", blob },
        { Get(blobPath, "Range: bytes=10-19\r\nIf-Range: \"" + tag + "\"\r\n"), 206, "", "", blob.substr(10, 10) },
        { Get(blobPath, "Range: bytes=10-19\r\nIf-Range: \"other\"\r\n"), 200, "", "", blob },
        { Get(blobPath, "Range: bytes=10-19\r\nIf-Range: W/\"" + tag + "\"\r\n"), 200, "", "", blob },
        { Get("/register"), 200, "Content-Type", "text/html; charset=utf-8", "<p>daftar</p>\n" },
        { "POST /patch/manifest.tsv HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\nx", 405, "Allow", "GET, HEAD", "" },
    };
    const char* const kMissing[] = { "/patch%2Fmanifest.tsv", "/patch/%6danifest.tsv", "/patch/blobs%2F",
                                     "/register%2Findex.html", "/patch/blobs/..%2F..%2F..%2Fsecret.txt",
                                     "/patch/blobs/../manifest.tsv", "/patch/../../secret.txt", "/register/../secret.txt",
                                     "/register/..%2fsecret.txt", "/secret.txt", "/", "/patch/blobs/" };
    std::vector<std::string> missing(std::begin(kMissing), std::end(kMissing));
    missing.insert(missing.end(), { upper, blobPath + "%00", "/patch/blobs%2F" + tag, blobPath + "/" });
    for (const auto& c : kCases) {
        auto r = Replies(Exchange(port, c.request));
        ASSERT_EQ(r.size(), 1u) << c.request;
        EXPECT_EQ(r[0].status, c.status) << c.request;
        if (c.header[0]) EXPECT_EQ(r[0].Header(c.header), c.value) << c.request;
        if (c.status != 405) EXPECT_TRUE(r[0].body == c.body) << c.request << ": " << r[0].body.size() << " bytes";
        EXPECT_FALSE(r[0].Header("Date").empty()) << c.request;
        if (c.status >= 400) EXPECT_EQ(r[0].Header("Cache-Control"), "no-store") << c.request;
    }
    for (const auto& path : missing) {
        auto r = Replies(Exchange(port, Get(path)));
        ASSERT_EQ(r.size(), 1u) << path;
        EXPECT_EQ(r[0].status, 404) << path;
        EXPECT_EQ(r[0].Header("Cache-Control"), "no-store") << path;
    }
}

TEST_F(Serve, ConnectionsNeverTakeABodyForARequest) {
    int port = Start();
    ASSERT_NE(port, 0);
    const std::string smuggled = Get("/register");
    std::string hundred;
    for (int i = 0; i < 150; i++) hundred += Get("/patch/manifest.tsv");
    const struct { const char* why; std::string bytes; std::vector<int> statuses; } kCases[] = {
        { "GET with a body", Get("/patch/manifest.tsv", "Content-Length: " + std::to_string(smuggled.size()) +
                                 "\r\n") + smuggled + Get("/patch/manifest.tsv"), { 200, 200 } },
        { "refused upload, short body", Upload("?tag=x", smuggled) + Get("/patch/manifest.tsv"), { 400, 200 } },
        { "refused upload, long body", "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nHost: x\r\nContent-Type: "
          "application/octet-stream\r\nContent-Length: 67108865\r\n\r\n" + smuggled, { 413 } },
        { "multipart refused", Upload("?tag=zqlog", "--b\r\n\r\nx\r\n--b--\r\n", "multipart/form-data; boundary=b") +
          smuggled, { 415, 200 } },
        { "abandoned upload", "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nHost: x\r\nContent-Type: "
          "application/octet-stream\r\nContent-Length: 1000\r\n\r\n0123456789", { 400 } },
        { "header too large", Get("/patch/manifest.tsv", "X-Big: " + std::string(20000, 'a') + "\r\n") + smuggled,
          { 431 } },
        { "too many header lines", Get("/patch/manifest.tsv", [] { std::string h; for (int i = 0; i < 100; i++)
          h += "X-" + std::to_string(i) + ": y\r\n"; return h; }()), { 431 } },
        { "kept alive for 150 requests", hundred, std::vector<int>(150, 200) },
    };
    for (const auto& c : kCases) {
        auto r = Replies(Exchange(port, c.bytes));
        std::vector<int> got;
        for (auto& reply : r) got.push_back(reply.status);
        EXPECT_EQ(got, c.statuses) << c.why;
        for (size_t i = 0; i + 1 < r.size(); i++) EXPECT_EQ(r[i].Header("Connection"), "") << c.why << " #" << i;
    }
    EXPECT_EQ(ListDir(uploads).size(), 0u) << "a refused or abandoned upload leaves nothing";
}

TEST_F(Serve, StoresUploadsByteExactUpTo64MiB) {
    int port = Start();
    ASSERT_NE(port, 0);
    const std::string small = PatternBytes(123457, 2), largest = PatternBytes(64 * kMiB, 3);
    auto a = Replies(Exchange(port, Upload("?tag=zqlog", small)));
    auto b = Replies(Exchange(port, Upload("?tag=dump", largest, "Application/Octet-Stream; x=1", "Expect: 100-continue\r\n")));
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(a[0].status, 200);
    EXPECT_EQ(b[0].status, 100);
    EXPECT_EQ(b[1].status, 200);
    auto names = ListDir(uploads);
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 2u) << "no temporary files remain";
    EXPECT_TRUE(std::regex_match(names[0], std::regex("dump-\\d{8}T\\d{6}Z-[0-9a-f]{16}\\.bin"))) << names[0];
    EXPECT_TRUE(std::regex_match(names[1], std::regex("zqlog-\\d{8}T\\d{6}Z-[0-9a-f]{16}\\.bin"))) << names[1];
    EXPECT_TRUE(ReadFile(uploads + "/" + names[0]) == largest);
    EXPECT_TRUE(ReadFile(uploads + "/" + names[1]) == small);
}

TEST_F(Serve, UploadQuotaAndRatePerClientAddress) {
    int port = Start({ "--upload-quota", "1000", "--upload-rate", "3", "--trusted-proxy", "127.0.0.1" });
    ASSERT_NE(port, 0);
    const struct { int size; const char* from; const char* realIp; int status; } kCases[] = {
        { 600, "127.0.0.1", "", 200 },
        { 600, "127.0.0.1", "", 507 },          // would pass the quota
        { 300, "127.0.0.1", "", 200 },
        { 10, "127.0.0.1", "", 429 },           // a fourth in a minute
        { 50, "127.0.0.1", "203.0.113.9", 200 },  // another client behind the trusted proxy
        { 50, "127.0.0.2", "203.0.113.9", 200 },  // not the proxy: its header is ignored, its own address counts
        { 1, "127.0.0.3", "", 507 },
    };
    for (const auto& c : kCases) {
        std::string header = c.realIp[0] ? std::string("X-Real-IP: ") + c.realIp + "\r\n" : "";
        auto r = Replies(Exchange(port, Upload("?tag=zqlog", std::string(c.size, 'u'), "application/octet-stream",
                                               header), c.from));
        ASSERT_EQ(r.size(), 1u) << c.size << " from " << c.from;
        EXPECT_EQ(r[0].status, c.status) << c.size << " from " << c.from;
    }
    EXPECT_EQ(ListDir(uploads).size(), 4u) << "refusals store nothing";
    std::string lines = ReadFile(log);
    EXPECT_TRUE(std::regex_search(lines, std::regex("Z 203\\.0\\.113\\.9@127\\.0\\.0\\.1:\\d+ POST .* 200 "))) << lines;
    EXPECT_TRUE(std::regex_search(lines, std::regex("Z 127\\.0\\.0\\.2:\\d+ POST .* 200 "))) << lines;
}

TEST_F(Serve, SlowAndSilentClientsAreCutByTheDeadlines) {
    int tlsPort = Start({ "--cert", TestPkiDir() + "/server.pem", "--key", TestPkiDir() + "/server.key",
                          "--header-timeout", "1" });
    int port = Start({ "--header-timeout", "1", "--stall-timeout", "1" });
    ASSERT_NE(tlsPort, 0);
    ASSERT_NE(port, 0);
    const struct { const char* why; int port; std::string first; char drip; } kCases[] = {
        { "no TLS ClientHello", tlsPort, "", 0 },
        { "headers a byte at a time", port, "GET /patch/manifest.tsv HTTP/1.1\r\n", 'x' },
        { "upload body a byte at a time", port, "POST /legacy/upload?tag=dump HTTP/1.1\r\nContent-Type: "
          "application/octet-stream\r\nContent-Length: 100000\r\n\r\n0123", 'x' },
        { "idle kept-alive connection", port, Get("/patch/manifest.tsv"), 0 },
    };
    for (const auto& c : kCases) {
        int fd = Connect(c.port);
        double cut = SecondsUntilCut(fd, c.first, c.drip);
        EXPECT_TRUE(cut > 0.8 && cut < 4) << c.why << ": cut after " << cut << " s";
        close(fd);
    }
    for (int i = 0; i < 100 && !ListDir(uploads).empty(); i++) usleep(10000);
    EXPECT_EQ(ListDir(uploads).size(), 0u);
    EXPECT_TRUE(std::regex_search(ReadFile(log), std::regex("POST /legacy/upload\\?tag=dump 408 0 ")));
}

TEST_F(Serve, ConnectionCapsPerAddressAndInAll) {
    int port = Start({ "--max-connections", "4", "--per-address", "2" });
    ASSERT_NE(port, 0);
    auto refused = [](int fd) { return SecondsUntilCut(fd, "", 0, 500) >= 0; };  // accepted, then closed at once
    int a = Connect(port), b = Connect(port);
    int c = Connect(port), d = Connect(port, "127.0.0.2"), e = Connect(port, "127.0.0.3");
    EXPECT_TRUE(refused(c)) << "a third from one address";
    EXPECT_FALSE(refused(d)) << "another address";
    EXPECT_FALSE(refused(e)) << "the fourth in all";
    int f = Connect(port, "127.0.0.4");
    EXPECT_TRUE(refused(f)) << "a fifth in all";
    close(a);
    close(e);
    usleep(200000);
    EXPECT_EQ(Replies(Exchange(port, Get("/patch/manifest.tsv"))).size(), 1u) << "a freed place is taken again";
    for (int fd : { b, c, d, f }) close(fd);
}

TEST_F(Serve, SpeaksTls12And13WithForwardSecrecyOnly) {
    int port = Start({ "--cert", TestPkiDir() + "/server.pem", "--key", TestPkiDir() + "/server.key" });
    ASSERT_NE(port, 0);
    const struct { int version; const char* ciphers; int served; } kCases[] = {
        { TLS1_1_VERSION, "DEFAULT:@SECLEVEL=0", 0 },
        { TLS1_2_VERSION, "DEFAULT", 1 },
        { TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA256", 1 },   // what Windows 7 offers
        { TLS1_2_VERSION, "AES128-GCM-SHA256:AES256-SHA256", 0 },  // RSA key exchange: no forward secrecy
        { TLS1_3_VERSION, "DEFAULT", 1 },
    };
    for (const auto& c : kCases) {
        long verify = -1;
        auto r = Replies(TlsExchange(port, c.version, c.ciphers, Get("/patch/manifest.tsv", "Connection: close\r\n"),
                                     &verify));
        EXPECT_EQ(r.size(), (size_t)c.served) << c.version << " " << c.ciphers;
        if (c.served && r.size()) EXPECT_EQ(r[0].body, kManifest);
        if (c.served) EXPECT_EQ(verify, X509_V_OK) << "the launcher checks the chain and the IP address";
    }
}

TEST_F(Serve, SigtermFinishesTransfersAndSighupReopensTheLog) {
    const std::string big(64, 'b'), bytes = PatternBytes(64 * kMiB, 4);
    WriteFile(root + "/release/patch/blobs/" + big, bytes);
    pid_t pid = -1;
    int port = Start({}, &pid);
    ASSERT_NE(port, 0);
    Exchange(port, Get("/patch/blobs/" + std::string(kDigest), "Range: bytes=10-19\r\nUser-Agent: tarqo-launcher/1.0\r\n"));
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    for (int i = 0; i < 200 && access(log.c_str(), F_OK) != 0; i++) usleep(10000);
    Exchange(port, "GARBAGE\r\n\r\n");
    EXPECT_TRUE(std::regex_search(ReadFile(log + ".1"), std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ "
        "127\\.0\\.0\\.1:\\d+ GET /patch/blobs/9f86\\w+ 206 10 \\d+\\.\\d{3} \"tarqo-launcher/1\\.0\"\n$")))
        << ReadFile(log + ".1");
    EXPECT_TRUE(std::regex_search(ReadFile(log), std::regex("^\\S+Z 127\\.0\\.0\\.1:\\d+ - - 400 \\d+ [\\d.]+ \"\"\n")))
        << "malformed requests are logged too, in the reopened log: " << ReadFile(log);

    int idle = Connect(port), fd = Connect(port);
    std::string request = Get("/patch/blobs/" + big);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got = ReadToEnd(fd, kMiB);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_GE(SecondsUntilCut(idle, "", 0, 2000), 0) << "an idle connection is closed at once";
    int refused = 0;
    for (int i = 0; i < 100 && !refused; i++, usleep(20000)) {
        int probe = Connect(port);
        refused = probe < 0;
        if (probe >= 0) close(probe);
    }
    EXPECT_TRUE(refused) << "still accepting after SIGTERM";
    got += ReadToEnd(fd);
    auto r = Replies(got);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].body == bytes) << "the transfer in flight was cut at " << r[0].body.size();
    int status = 0, exited = 0;
    for (int i = 0; i < 500 && !exited; i++, usleep(10000)) exited = waitpid(pid, &status, WNOHANG) == pid;
    ASSERT_TRUE(exited) << "still running after the transfer ended";
    children.clear();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(idle);
    close(fd);
}

// veq-serve as operators run it: a child process on a loopback port, spoken to with raw bytes, so that what a
// library client would smooth over (a second reply, a cut connection, a stall) shows.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
static const char kDigest[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
static const char kManifest[] = "VEQPATCH1\t0123456789abcdef0123456789abcdef\n";
static const size_t kMiB = 1024 * 1024;
static const char kPki[] = VEQ_TEST_PKI_DIR;

static std::string ReadFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

static void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

static std::vector<std::string> ListDir(const std::string& dir) {  // sorted, hidden names too
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

static std::string RandomBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (auto& c : s) c = (char)gen();
    return s;
}

static int Connect(int port, const char* from = "127.0.0.1") {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    for (ssize_t n; all.size() < limit && (n = recv(fd, buf, std::min(sizeof buf, limit - all.size()), 0)) > 0;)
        all.append(buf, (size_t)n);
    return all;
}

// Sends everything, ends our side, and returns all the server sent until it closed.
static std::string Exchange(int port, const std::string& data, const char* from = "127.0.0.1") {
    int fd = Connect(port, from);
    size_t sent = 0;
    for (ssize_t n; sent < data.size() && (n = send(fd, &data[sent], data.size() - sent, MSG_NOSIGNAL)) > 0;)
        sent += (size_t)n;
    shutdown(fd, SHUT_WR);
    std::string all = ReadToEnd(fd);
    close(fd);
    return all;
}

struct Reply {
    int status = 0;
    std::string head, body;
    std::string Header(const std::string& name) const {  // as this server spells it; "" when absent
        std::smatch m;
        return std::regex_search(head, m, std::regex("\r\n" + name + ": ([^\r]*)")) ? m[1].str() : "";
    }
};

static std::vector<Reply> Replies(const std::string& all) {
    std::vector<Reply> out;
    for (size_t at = 0, end; (end = all.find("\r\n\r\n", at)) != std::string::npos;) {
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

static std::string Statuses(const std::vector<Reply>& replies) {  // "200 200"
    std::string statuses;
    for (auto& r : replies) statuses += (statuses.empty() ? "" : " ") + std::to_string(r.status);
    return statuses;
}

static std::string Get(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

static std::string Upload(const std::string& query, const std::string& body,
                          const char* type = "application/octet-stream", const std::string& extra = "") {
    return "POST /legacy/upload" + query + " HTTP/1.1\r\nContent-Type: " + type + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

// What `openssl s_client` with these options gets for a GET of the manifest; "" when the handshake fails,
// including when the certificate does not check out for 127.0.0.1 against the test CA.
static std::string TlsManifest(int port, const std::string& options) {
    std::string cmd = "printf 'GET /patch/manifest.tsv HTTP/1.1\\r\\nConnection: close\\r\\n\\r\\n' | openssl s_client "
                      "-quiet -ign_eof -verify_return_error -verify_ip 127.0.0.1 -CAfile " + std::string(kPki) +
                      "/ca.pem -connect 127.0.0.1:" + std::to_string(port) + " " + options + " 2>/dev/null";
    std::string all;
    char buf[4096];
    FILE* out = popen(cmd.c_str(), "r");
    for (size_t n; out && (n = fread(buf, 1, sizeof buf, out)) > 0;) all.append(buf, n);
    if (out) pclose(out);
    return all;
}

// Sends `first`, then one byte of `drip` each 100 ms (none when 0), reading whatever comes; seconds until the
// server closed the connection, or -1 when it did not within `limitMs`.
static double SecondsUntilCut(int fd, const std::string& first, char drip, int limitMs = 6000) {
    auto start = std::chrono::steady_clock::now();
    char buf[65536];
    send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    for (int i = 0; i < limitMs / 100; i++) {
        struct pollfd p = { fd, POLLIN, 0 };
        if ((drip && send(fd, &drip, 1, MSG_NOSIGNAL) < 0) ||
            (poll(&p, 1, 100) == 1 && recv(fd, buf, sizeof buf, 0) <= 0))
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return -1;
}

class Serve : public ::testing::Test {
protected:
    std::string root, uploads, log, blob = RandomBytes(100000, 1);
    std::vector<pid_t> children;

    void SetUp() override {
        char dir[] = "/tmp/veq-serve-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        root = dir;
        uploads = root + "/uploads";
        log = root + "/access.log";
        for (auto dir : { "/release/patch/blobs", "/register", "/uploads" }) fs::create_directories(root + dir);
        WriteFile(root + "/release/patch/manifest.tsv", kManifest);
        WriteFile(root + "/release/patch/blobs/" + kDigest, blob);
        WriteFile(root + "/register/index.html", "<p>daftar</p>\n");
        WriteFile(root + "/secret.txt", "SECRET");  // what a traversal would reach
    }

    void TearDown() override {
        for (pid_t pid : children) kill(pid, SIGKILL);
        for (pid_t pid : children) waitpid(pid, NULL, 0);
        fs::remove_all(root);
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
            if (freopen(errFile.c_str(), "w", stderr)) execv(argv[0], argv.data());
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
    const std::string blobPath = "/patch/blobs/" + tag, range = "Range: bytes=10-19\r\n";
    const struct { std::string request; int status; const char* header; std::string value, body; } kCases[] = {
        { Get("/patch/manifest.tsv"), 200, "Cache-Control", "no-cache", kManifest },
        { Get("/patch/manifest.tsv", "If-None-Match: " + etag + "\r\n"), 304, "ETag", etag, "" },
        { Get("/patch/manifest.tsv", "If-Modified-Since: " + date + "\r\n"), 304, "Last-Modified", date, "" },
        { Get("/patch/manifest.tsv", "If-Modified-Since: Thu, 01 Jan 1998 00:00:00 GMT\r\n"), 200, "", "", kManifest },
        { Get(blobPath), 200, "Cache-Control", "public, max-age=31536000, immutable", blob },
        { Get(blobPath, "If-None-Match: \"" + tag + "\"\r\n"), 304, "ETag", "\"" + tag + "\"", "" },
        { Get(blobPath, range), 206, "Content-Range", "bytes 10-19/100000", blob.substr(10, 10) },
        { Get(blobPath, "Range: bytes=100000-\r\n"), 416, "Content-Range", "bytes */100000",
          "range not satisfiable\n" },
        { Get(blobPath, "Range: bytes=0-1,5-6\r\n"), 200, "Content-Range", "", blob },
        { Get(blobPath, range + "If-Range: \"" + tag + "\"\r\n"), 206, "", "", blob.substr(10, 10) },
        { Get(blobPath, range + "If-Range: " + date + "\r\n"), 200, "", "", blob },
        { Get("/register"), 200, "Content-Type", "text/html; charset=utf-8", "<p>daftar</p>\n" },
        { "POST /patch/manifest.tsv HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", 405, "Allow", "GET, HEAD", "" },
    };
    for (const auto& c : kCases) {
        auto r = Replies(Exchange(port, c.request));
        ASSERT_EQ(r.size(), 1u) << c.request;
        EXPECT_EQ(r[0].status, c.status) << c.request;
        if (c.header[0]) EXPECT_EQ(r[0].Header(c.header), c.value) << c.request;
        if (c.status != 405) EXPECT_TRUE(r[0].body == c.body) << c.request << ": " << r[0].body.size() << " bytes";
        EXPECT_FALSE(r[0].Header("Date").empty()) << c.request;
        if (c.status >= 400) EXPECT_EQ(r[0].Header("Cache-Control"), "no-store") << c.request;
    }
    std::string upper = blobPath;
    for (size_t i = 13; i < upper.size(); i++) upper[i] = (char)toupper((unsigned char)upper[i]);
    for (const std::string& path : std::vector<std::string>{
             "/patch%2Fmanifest.tsv", "/patch/%6danifest.tsv", "/register%2Findex.html", "/patch/blobs/../manifest.tsv",
             "/patch/blobs/..%2F..%2F..%2Fsecret.txt", "/patch/../../secret.txt", "/register/../secret.txt",
             "/register/..%2fsecret.txt", "/secret.txt", "/", "/patch/blobs/", upper, blobPath + "%00",
             "/patch/blobs%2F" + tag, blobPath + "/" }) {
        auto r = Replies(Exchange(port, Get(path)));
        ASSERT_EQ(r.size(), 1u) << path;
        EXPECT_EQ(r[0].status, 404) << path;
        EXPECT_EQ(r[0].Header("Cache-Control"), "no-store") << path;
    }
}

TEST_F(Serve, ConnectionsNeverTakeABodyForARequest) {
    int port = Start();
    ASSERT_NE(port, 0);
    const std::string smuggled = Get("/register"), head = "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nContent-Type: "
                                                          "application/octet-stream\r\nContent-Length: ";
    std::string many, fields;
    for (int i = 0; i < 150; i++) many += Get("/patch/manifest.tsv");
    for (int i = 0; i < 100; i++) fields += "X-" + std::to_string(i) + ": y\r\n";
    const struct { const char* why; std::string bytes, statuses; } kCases[] = {
        { "GET with a body", Get("/patch/manifest.tsv", "Content-Length: " + std::to_string(smuggled.size()) +
                                 "\r\n") + smuggled + Get("/patch/manifest.tsv"), "200 200" },
        { "refused upload, short body", Upload("?tag=x", smuggled) + Get("/patch/manifest.tsv"), "400 200" },
        { "refused upload, long body", head + "67108865\r\n\r\n" + smuggled, "413" },
        { "multipart", Upload("?tag=zqlog", "--b\r\n\r\nx\r\n--b--\r\n", "multipart/form-data; boundary=b") + smuggled,
          "415 200" },
        { "abandoned upload", head + "1000\r\n\r\n0123456789", "400" },
        { "header too large", Get("/", "X-Big: " + std::string(20000, 'a') + "\r\n") + smuggled, "431" },
        { "too many header lines", Get("/patch/manifest.tsv", fields), "431" },
        { "150 requests on one connection", many, Statuses(std::vector<Reply>(150, { 200 })) },
    };
    for (const auto& c : kCases) {
        auto r = Replies(Exchange(port, c.bytes));
        EXPECT_EQ(Statuses(r), c.statuses) << c.why;
        for (size_t i = 0; i + 1 < r.size(); i++) EXPECT_EQ(r[i].Header("Connection"), "") << c.why << " #" << i;
    }
    EXPECT_EQ(ListDir(uploads).size(), 0u) << "a refused or abandoned upload leaves nothing";
}

TEST_F(Serve, StoresUploadsByteExactWithinQuotaAndRatePerClient) {
    int port = Start({ "--upload-quota", std::to_string(64 * kMiB + 2000), "--upload-rate", "4", "--trusted-proxy",
                       "127.0.0.1" });
    ASSERT_NE(port, 0);
    const std::string small = RandomBytes(1000, 2), largest = RandomBytes(64 * kMiB, 3);
    EXPECT_EQ(Statuses(Replies(Exchange(port, Upload("?tag=zqlog", small)))), "200");
    EXPECT_EQ(Statuses(Replies(Exchange(port, Upload("?tag=dump", largest, "Application/Octet-Stream; x=1",
                                                     "Expect: 100-continue\r\n")))), "100 200");
    auto names = ListDir(uploads);
    ASSERT_EQ(names.size(), 2u) << "no temporary files remain";
    EXPECT_TRUE(std::regex_match(names[0], std::regex("dump-\\d{8}T\\d{6}Z-[0-9a-f]{16}\\.bin"))) << names[0];
    EXPECT_TRUE(std::regex_match(names[1], std::regex("zqlog-\\d{8}T\\d{6}Z-[0-9a-f]{16}\\.bin"))) << names[1];
    EXPECT_TRUE(ReadFile(uploads + "/" + names[0]) == largest && ReadFile(uploads + "/" + names[1]) == small);
    const struct { int size; const char* from; const char* realIp; int status; } kCases[] = {  // 1000 bytes left
        { 1200, "127.0.0.1", "", 507 },            // would pass the quota
        { 600, "127.0.0.1", "", 200 },
        { 10, "127.0.0.1", "", 429 },             // a fifth in a minute
        { 200, "127.0.0.1", "203.0.113.9", 200 },  // another client behind the trusted proxy
        { 200, "127.0.0.2", "203.0.113.9", 200 },  // not the proxy: its header is ignored, its own address counts
        { 1, "127.0.0.3", "", 507 },
    };
    for (const auto& c : kCases) {
        std::string header = c.realIp[0] ? std::string("X-Real-IP: ") + c.realIp + "\r\n" : "";
        auto r = Replies(Exchange(port, Upload("?tag=zqlog", std::string(c.size, 'u'), "application/octet-stream",
                                               header), c.from));
        EXPECT_EQ(r.size() == 1 ? r[0].status : 0, c.status) << c.size << " bytes from " << c.from;
    }
    EXPECT_EQ(ListDir(uploads).size(), 5u) << "refusals store nothing";
    std::string lines = ReadFile(log);
    EXPECT_TRUE(std::regex_search(lines, std::regex("Z 203\\.0\\.113\\.9@127\\.0\\.0\\.1:\\d+ POST .* 200 "))) << lines;
    EXPECT_TRUE(std::regex_search(lines, std::regex("Z 127\\.0\\.0\\.2:\\d+ POST .* 200 "))) << lines;
}

TEST_F(Serve, TlsWithForwardSecrecyOnlyAndDeadlinesForSlowClients) {
    int tlsPort = Start({ "--cert", std::string(kPki) + "/server.pem", "--key", std::string(kPki) + "/server.key",
                          "--header-timeout", "1" });
    int port = Start({ "--header-timeout", "1", "--stall-timeout", "1" });
    ASSERT_TRUE(tlsPort && port);
    const struct { const char* why; int port; std::string first; char drip; } kCases[] = {
        { "no TLS ClientHello", tlsPort, "", 0 },
        { "headers a byte at a time", port, "GET /patch/manifest.tsv HTTP/1.1\r\n", 'x' },
        { "upload body a byte at a time", port, Upload("?tag=dump", std::string(100000, 'u')).substr(0, 150), 'x' },
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
    const struct { const char* options; size_t served; } kTls[] = {
        { "-tls1_1 -cipher DEFAULT:@SECLEVEL=0", 0 }, { "-tls1_2", 1 }, { "-tls1_3", 1 },
        { "-tls1_2 -cipher ECDHE-RSA-AES128-SHA256", 1 },          // what Windows 7 offers
        { "-tls1_2 -cipher AES128-GCM-SHA256:AES256-SHA256", 0 },  // RSA key exchange: no forward secrecy
    };
    for (const auto& c : kTls) EXPECT_EQ(Replies(TlsManifest(tlsPort, c.options)).size(), c.served) << c.options;
}

TEST_F(Serve, ConnectionCapsPerAddressAndInAll) {
    int port = Start({ "--max-connections", "4", "--per-address", "2" });
    ASSERT_NE(port, 0);
    auto refused = [](int fd) { return SecondsUntilCut(fd, "", 0, 500) >= 0; };  // accepted, then closed at once
    int a = Connect(port), b = Connect(port), c = Connect(port), d = Connect(port, "127.0.0.2");
    int e = Connect(port, "127.0.0.3"), f = Connect(port, "127.0.0.4");
    std::string got;
    for (int fd : { c, d, e, f }) got += refused(fd) ? "refused " : "open ";
    EXPECT_EQ(got, "refused open open refused ") << "a third from one address, then a fifth in all";
    close(a);
    usleep(200000);
    EXPECT_EQ(Replies(Exchange(port, Get("/patch/manifest.tsv"))).size(), 1u) << "a freed place is taken again";
    for (int fd : { b, c, d, e, f }) close(fd);
}

TEST_F(Serve, SigtermFinishesTransfersAndSighupReopensTheLog) {
    const std::string big(64, 'b'), bytes = RandomBytes(64 * kMiB, 4);
    WriteFile(root + "/release/patch/blobs/" + big, bytes);
    pid_t pid = -1;
    int port = Start({}, &pid);
    ASSERT_NE(port, 0);
    Exchange(port, "HEAD /patch/blobs/" + std::string(kDigest) + " HTTP/1.1\r\nRange: bytes=10-19\r\n"
                   "User-Agent: tarqo-launcher/1.0\r\n\r\n");  // announces 10 bytes, sends none
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    for (int i = 0; i < 200 && !fs::exists(log); i++) usleep(10000);
    Exchange(port, "GARBAGE\r\n\r\n");
    EXPECT_TRUE(std::regex_search(ReadFile(log + ".1"), std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ "
        "127\\.0\\.0\\.1:\\d+ HEAD /patch/blobs/9f86\\w+ 206 0 \\d+\\.\\d{3} \"tarqo-launcher/1\\.0\"\n$")))
        << ReadFile(log + ".1");
    EXPECT_TRUE(std::regex_search(ReadFile(log), std::regex("^\\S+Z 127\\.0\\.0\\.1:\\d+ - - 400 \\d+ [\\d.]+ \"\"\n")))
        << "malformed requests are logged too, in the reopened log: " << ReadFile(log);

    int idle = Connect(port), fd = Connect(port);
    std::string request = Get("/patch/blobs/" + big);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got = ReadToEnd(fd, kMiB);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_GE(SecondsUntilCut(idle, "", 0, 2000), 0) << "an idle connection is closed at once";
    int probe = -1;
    for (int i = 0; i < 100 && (probe = Connect(port)) >= 0; i++) close(probe), usleep(20000);
    EXPECT_LT(probe, 0) << "still accepting after SIGTERM";
    got += ReadToEnd(fd);
    close(fd);
    auto r = Replies(got);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].body == bytes) << "the transfer in flight was cut at " << r[0].body.size();
    int status = 0, exited = 0;
    for (int i = 0; i < 500 && !exited; i++, usleep(10000)) exited = waitpid(pid, &status, WNOHANG) == pid;
    ASSERT_TRUE(exited) << "still running after the transfer ended";
    children.clear();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(idle);
}

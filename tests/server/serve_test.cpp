// The service host's rules, then veq-serve as operators run it: a child process on a loopback port, spoken to with
// raw bytes, so that what a library client would smooth over (a second reply, a cut connection, a stall) shows.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>

#include "serve_rules.h"

namespace fs = std::filesystem;
static const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
                         kTag = "\"" + kDigest + "\"", kPki = VEQ_TEST_PKI_DIR,
                         kManifest = "VEQPATCH1\t0123456789abcdef0123456789abcdef\n", kSig = "VEQSIG1 7 x\n";

TEST(ServeRules, RangesValidatorsAndDates) {
    const struct { const char* range; unsigned long long size; const char* want; } kRanges[] = {
        { "bytes=0-9", 100, "0-9" }, { "bytes=90-", 100, "90-99" }, { "bytes=90-100", 100, "90-99" },
        { "bytes=-10", 100, "90-99" }, { "bytes=-1000", 100, "0-99" }, { "Bytes=5-5", 100, "5-5" },
        { "bytes=100-", 100, "416" }, { "bytes=-0", 100, "416" }, { "bytes=0-", 0, "416" },
        { "bytes=0-1,5-6", 100, "whole" }, { "bytes=9-5", 100, "whole" }, { "items=0-9", 100, "whole" },
        { "bytes = 5-5", 100, "whole" }, { "bytes=18446744073709551616-", 100, "whole" },
    };
    for (const auto& c : kRanges) {
        unsigned long long first = 7, last = 7;
        RangeAnswer a = ParseRange(c.range, strlen(c.range), c.size, &first, &last);
        EXPECT_EQ(a == kRangeWhole ? "whole" : a == kRangeUnsatisfiable ? "416" : std::to_string(first) + "-" +
                  std::to_string(last), c.want) << c.range << " of " << c.size;
    }
    const struct { std::string value; const char* want; } kTags[] = {  // whether If-None-Match, If-Range match
        { kTag, "11" }, { " " + kTag + " ", "11" }, { "W/" + kTag, "10" }, { "*", "10" }, { "\"x\",\t" + kTag, "10" },
        { kDigest, "00" }, { "\"" + kDigest.substr(1) + "\"", "00" }, { "\"", "00" },
    };
    for (const auto& c : kTags)
        EXPECT_EQ(std::to_string(EntityTagMatches(c.value.data(), c.value.size(), kDigest.c_str())) +
                  std::to_string(IfRangeMatches(c.value.data(), c.value.size(), kDigest.c_str())), c.want) << c.value;
    const struct { const char* text; long long when; } kDates[] = {  // the fuzz target checks the round trip
        { "Sun, 06 Nov 1994 08:49:37 GMT", 784111777 }, { "Sunday, 06-Nov-94 08:49:37 GMT", -1 },
        { "Sun, 06 Nov 1994 08:49:37 UTC", -1 },        { "Sun, 32 Nov 1994 08:49:37 GMT", -1 },
    };
    for (const auto& c : kDates) {
        time_t when = 42;
        EXPECT_EQ(ParseHttpDate(c.text, strlen(c.text), &when) ? (long long)when : -1, c.when) << c.text;
    }
}

TEST(ServeRules, UploadRequestParts) {
    const struct { const char* query; const char* tag; } kQueries[] = {
        { "tag=zqlog", "zqlog" }, { "a=1&tag=dump&tag=x", "dump" }, { "xtag=dump", "-" }, { "tag", "-" },
    };
    for (const auto& c : kQueries) {
        const char* value = NULL;
        size_t n = 0;
        EXPECT_EQ(FindQueryValue(c.query, strlen(c.query), "tag", &value, &n) ? std::string(value, n) : "-", c.tag);
    }
    const struct { const char* text; int ok; unsigned long long value; } kNumbers[] = {  // Content-Length, then sizes
        { "18446744073709551615", 1, ~0ULL }, { "18446744073709551616", 0, 0 }, { "-1", 0, 0 }, { " 5", 0, 0 },
        { "4G", 1, 4ULL << 30 }, { "2T", 1, 2ULL << 40 }, { "16777216T", 0, 0 }, { "4g", 0, 0 }, { "G", 0, 0 },
    };
    for (const auto& c : kNumbers) {
        unsigned long long v = 7;
        int sized = strpbrk(c.text, "KMGTg") != NULL;
        EXPECT_EQ(sized ? ParseByteSize(c.text, &v) : ParseContentLength(c.text, strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(v, c.value) << c.text;
    }
    RateBucket b = { 0, -1 };
    const struct { long long ms; int want; } kTakes[] = {  // 3 a minute: one more every 20 s
        { 0, 1 }, { 0, 1 }, { 1, 1 }, { 2, 0 }, { 19999, 0 }, { 20002, 1 }, { 20003, 0 }, { 500000, 1 },
        { 500000, 1 }, { 500000, 1 }, { 500000, 0 }, { 400000, 0 },  // a clock going back gives nothing back
    };
    for (const auto& t : kTakes) EXPECT_EQ(TakeRateToken(&b, t.ms, 3), t.want) << "at " << t.ms << " ms";
}

TEST(ServeRules, ClientsNamesAndLogFields) {
    const struct { const char* peer; const char* proxy; const char* realIp; const char* want; } kClients[] = {
        // A proxy's client and a peer that is not the proxy are seen in the log of the uploads below.
        { "::1", "::1", "2001:db8::1", "2001:db8::1+" }, { "127.0.0.1", "", "203.0.113.9", "127.0.0.1" },
        { "127.0.0.1", "127.0.0.1", "", "127.0.0.1" },
        { "127.0.0.1", "127.0.0.1", "1.2.3.4, 5.6.7.8", "127.0.0.1" },  // a list is not one address
    };
    for (const auto& c : kClients) {  // "+" when the address came from the proxy
        char out[kAddressCap];
        int forwarded = ChooseClientAddress(c.peer, c.proxy, c.realIp, strlen(c.realIp), out, sizeof out);
        EXPECT_EQ(out + std::string(forwarded ? "+" : ""), c.want) << c.peer << " says " << c.realIp;
    }
    for (const char* host : { "127.0.0.1", "127.255.0.9" }) EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : { "10.0.0.1", "0.0.0.0", "127.0.0" }) EXPECT_FALSE(IsLoopbackHost(host)) << host;
    const struct { const char* path; const char* want; } kRegister[] = {
        { "/register", "index.html" }, { "/register/img/", "img/index.html" }, { "/register/a-b_c.png", "a-b_c.png" },
        { "/register/./index.html", "-" }, { "/register/.htpasswd", "-" }, { "/register//etc/passwd", "-" },
        { "/register/a\\b", "-" },
    };
    for (const auto& c : kRegister) {
        char name[kRegisterNameCap] = "";
        EXPECT_STREQ(MapRegisterPath(c.path, strlen(c.path), name, sizeof name) ? name : "-", c.want) << c.path;
    }
    const unsigned char random[8] = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef };
    char name[kUploadNameCap];
    EXPECT_STREQ(FormatUploadName(name, sizeof name, "zqlog", 1700000000, random) ? name : "-",
                 "zqlog-20231114T221320Z-0123456789abcdef.bin");
    EXPECT_EQ(FormatUploadName(name, sizeof name, "../x", (time_t)0, random), 0) << "only known tags name files";
    const struct { std::string in, want; } kFields[] = {
        { "line\r\nX: \"y\"\\", "line\\x0d\\x0aX: \\x22y\\x22\\x5c" }, { std::string("nul\0\xc3", 5), "nul\\x00\\xc3" },
        { std::string(36, 'a') + "\t", std::string(36, 'a') },  // an escape that does not fit is left out whole
    };
    for (const auto& c : kFields) {
        char out[40];
        EscapeLogField(c.in.data(), c.in.size(), out, sizeof out);
        EXPECT_EQ(out, c.want);
    }
}

static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
static std::string RandomBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (auto& c : s) c = (char)gen();
    return s;
}

static int Connect(int port, const char* from = "127.0.0.1") {  // -1 when refused
    sockaddr_in a = { AF_INET, 0, {} }, to = { AF_INET, htons((uint16_t)port), { htonl(INADDR_LOOPBACK) } };
    inet_pton(AF_INET, from, &a.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, (sockaddr*)&a, sizeof a) == 0 && connect(fd, (sockaddr*)&to, sizeof to) == 0) return fd;
    close(fd);
    return -1;
}

struct Reply { int status; std::string head, body; };
static std::string Header(const Reply& r, const std::string& name) {  // as this server spells it; "" when absent
    std::smatch m;
    return std::regex_search(r.head, m, std::regex("\r\n" + name + ": ([^\r]*)")) ? m[1].str() : "";
}
static std::vector<Reply> Replies(const std::string& all) {
    std::vector<Reply> out;
    for (size_t at = 0, end; (end = all.find("\r\n\r\n", at)) != std::string::npos; at += out.back().body.size()) {
        Reply r = { atoi(all.c_str() + at + 9), all.substr(at, end + 2 - at), "" };
        at = end + 4;
        r.body = all.substr(at, r.status == 304 || r.status == 100 ? 0 : stoull("0" + Header(r, "Content-Length")));
        out.push_back(r);
    }
    return out;
}

// Sends everything, ends our side, and parses all the server sent until it closed.
static std::vector<Reply> Ask(int port, const std::string& data, const char* from = "127.0.0.1") {
    int fd = Connect(port, from);
    send(fd, data.data(), data.size(), MSG_NOSIGNAL);  // blocks until all is sent, or the server closed
    shutdown(fd, SHUT_WR);
    std::string all;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) all.append(buf, (size_t)n);
    close(fd);
    return Replies(all);
}

static std::string Get(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}
static std::string Upload(const std::string& tag, const std::string& body, const std::string& headers = "",
                          const std::string& type = "application/octet-stream") {
    return "POST /legacy/upload?tag=" + tag + " HTTP/1.1\r\nContent-Type: " + type + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
}

// Sends `first`, then one byte of `drip` each 100 ms (none when 0), reading whatever comes, and closes fd; seconds
// until the server closed the connection, in the 100 ms rounds waited, or -1 when it did not within `limitMs`.
static double SecondsUntilCut(int fd, const std::string& first, char drip = 0, int limitMs = 6000) {
    char got[65536];
    int round = 0;
    send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    for (struct pollfd p = { fd, POLLIN, 0 }; round < limitMs / 100; round++)
        if ((drip && send(fd, &drip, 1, MSG_NOSIGNAL) < 0) ||
            (poll(&p, 1, 100) == 1 && recv(fd, got, sizeof got, 0) <= 0))
            break;
    close(fd);
    return round < limitMs / 100 ? round / 10.0 : -1;
}

class Serve : public ::testing::Test {
protected:
    std::string root = [] { char dir[] = "/tmp/veq-serve-test-XXXXXX"; return std::string(mkdtemp(dir)); }(),
                uploads = root + "/uploads", log = root + "/access.log", blob = RandomBytes(100000, 1);
    std::vector<std::pair<pid_t, FILE*>> children;  // veq-serve and its standard error

    void SetUp() override {
        for (auto dir : { "/release/patch/blobs", "/release/patch/chunks", "/register", "/uploads" })
            fs::create_directories(root + dir);
        std::ofstream(root + "/release/patch/manifest.tsv") << kManifest;
        std::ofstream(root + "/release/patch/blobs/" + kDigest, std::ios::binary) << blob;
        std::ofstream(root + "/release/patch/chunks/" + kDigest, std::ios::binary) << blob.substr(0, 300);
        std::ofstream(root + "/release/patch/manifest.tsv.sig") << kSig;
        std::ofstream(root + "/register/index.html") << "<p>daftar</p>\n";
        std::ofstream(root + "/secret.txt") << "SECRET";  // what a traversal would reach
    }

    void TearDown() override {
        for (auto& c : children)
            if (c.first > 0) kill(c.first, SIGKILL);
        for (auto& c : children) pclose(c.second);
        fs::remove_all(root);
    }

    // veq-serve on a free port, with `env` set; its port, or 0.
    int Start(const std::string& options = "--plain", const std::string& env = "") {
        std::string cmd = "echo $$; " + env + " exec " VEQ_SERVE_EXE " --listen 127.0.0.1:0 --release " + root +
                          "/release --log " + log + " --uploads " + uploads + " --register " + root + "/register " +
                          options + " 2>&1";
        int port = 0;
        children.push_back({ 0, popen(cmd.c_str(), "r") });
        if (fscanf(children.back().second, "%d %*s listening on 127.0.0.1:%d", &children.back().first, &port) != 2)
            ADD_FAILURE() << "not started: " << cmd;
        return port;
    }
};

TEST_F(Serve, AnswersEachRequestRightThenReopensItsLogAndStopsGently) {
    int port = Start("--plain --upload-quota 67110864 --upload-rate 5 --trusted-proxy 127.0.0.1");  // 64 MiB + 2000
    ASSERT_NE(port, 0);  // and so its pid was read: it is signalled below
    const Reply first = Ask(port, Get("/patch/manifest.tsv")).at(0),
                sig = Ask(port, Get("/patch/manifest.tsv.sig")).at(0);
    const std::string etag = Header(first, "ETag"), date = Header(first, "Last-Modified"), sigTag = Header(sig, "ETag"),
        url = "/patch/blobs/" + kDigest, range = "Range: bytes=10-19\r\n", smuggled = Get("/register"),
        upload = "POST /legacy/upload?tag=zqlog HTTP/1.1\r\nContent-Type: application/octet-stream\r\nContent-Length: ",
        small = RandomBytes(1000, 2), largest = RandomBytes(64 << 20, 3),
        proxied = "X-Real-IP: 203.0.113.9\r\n", u600(600, 'u'), v200(200, 'v'), w200(200, 'w');
    std::string many = Get("/patch/manifest.tsv"), fields, all200 = "200";
    for (int i = 1; i < 150; i++) many += Get("/patch/manifest.tsv");
    for (int i = 1; i < 150; i++) all200 += " 200";
    for (int i = 0; i < 100; i++) fields += "X-" + std::to_string(i) + ": y\r\n";
    // The statuses of all replies, then a header ("Name: " when absent) and the body of the first.
    struct Case { std::string request, statuses, header, body; const char* from = "127.0.0.1"; };
    std::vector<Case> cases = {
        { Get("/patch/manifest.tsv"), "200", "Cache-Control: no-cache", kManifest },
        { Get("/patch/manifest.tsv", "If-None-Match: " + etag + "\r\n"), "304", "ETag: " + etag, "" },
        { Get("/patch/manifest.tsv", "If-Modified-Since: " + date + "\r\n"), "304", "Last-Modified: " + date, "" },
        { Get("/patch/manifest.tsv", "If-Modified-Since: Thu, 01 Jan 1998 00:00:00 GMT\r\n"), "200", "", kManifest },
        { Get("/patch/manifest.tsv.sig"), "200", "Cache-Control: no-cache", kSig },
        { Get("/patch/manifest.tsv.sig", "If-None-Match: " + sigTag + "\r\n"), "304", "ETag: " + sigTag, "" },
        { Get(url), "200", "Cache-Control: public, max-age=31536000, immutable", blob },
        { Get("/patch/chunks/" + kDigest), "200", "Cache-Control: public, max-age=31536000, immutable",
          blob.substr(0, 300) },
        { Get(url, "If-None-Match: " + kTag + "\r\n"), "304", "ETag: " + kTag, "" },
        { Get(url, range), "206", "Content-Range: bytes 10-19/100000", blob.substr(10, 10) },
        { Get(url, "Range: bytes=100000-\r\n"), "416", "Content-Range: bytes */100000", "range not satisfiable\n" },
        { Get(url, range + "If-Range: " + kTag + "\r\n"), "206", "", blob.substr(10, 10) },
        { Get(url, range + "If-Range: " + date + "\r\n"), "200", "", blob },
        { "HEAD " + url + " HTTP/1.1\r\n" + range + "User-Agent: tarqo-launcher/1.0\r\n\r\n", "206", "", "" },
        { Get("/register"), "200", "Content-Type: text/html; charset=utf-8", "<p>daftar</p>\n" },
        { "POST /register HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "405", "Allow: GET, HEAD", "method not allowed\n" },
        // A body is never taken for a request; what follows a refusal on the connection is answered in turn.
        { Get("/patch/manifest.tsv", "Content-Length: " + std::to_string(smuggled.size()) + "\r\n") + smuggled +
          Get("/patch/manifest.tsv"), "200 200", "", kManifest },
        { Upload("x", smuggled) + smuggled, "400 200", "", "unknown upload tag\n" },
        { upload + "67108865\r\n\r\n" + smuggled, "413", "", "upload larger than 67108864 bytes\n" },
        { Upload("zqlog", "--b--", "", "application/octet-streams") + smuggled, "415 200", "",  // nginx-edge: multipart
          "uploads are application/octet-stream\n" },
        { upload + "1000\r\n\r\n0123456789", "400", "", "upload body incomplete\n" },  // the first of five a minute
        { Get("/", "X-Big: " + std::string(20000, 'a') + "\r\n") + smuggled, "431", "", "request header too large\n" },
        { Get("/patch/manifest.tsv", fields), "431", "", "request header too large\n" },
        { many, all200, "", kManifest },
        // Uploads, byte for byte, within the quota and the rate of each client.
        { Upload("zqlog", small), "200", "", "ok\n" },
        { Upload("dump", largest, "Expect: 100-continue\r\n", "Application/Octet-Stream ; x=1"), "100 200", "", "" },
        { Upload("zqlog", std::string(1200, 'u')), "507", "", "upload space full\n" },  // 1000 bytes were left
        { Upload("zqlog", u600), "200", "", "ok\n" },
        { Upload("zqlog", "u"), "429", "Retry-After: 60", "too many uploads, try again later\n" },  // a sixth
        { Upload("zqlog", v200, proxied), "200", "", "ok\n" },               // another client behind the proxy
        { Upload("zqlog", w200, proxied), "200", "", "ok\n", "127.0.0.2" },  // not the proxy: its own address counts
        { Upload("zqlog", "u"), "507", "", "upload space full\n", "127.0.0.3" },
    };
    for (const std::string& path : std::vector<std::string>{
             "/patch%2Fmanifest.tsv", "/register%2Findex.html", "/patch/../../secret.txt", "/secret.txt",
             "/patch/blobs/", url + "%00", "/patch/chunks/" + std::string(64, 'c'),
             "/patch/blobs/9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08" })
        cases.push_back({ Get(path), "404", "", "not found\n" });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 100) + " from " + c.from);
        auto r = Ask(port, c.request, c.from);
        std::string statuses, name = c.header.substr(0, c.header.find(':'));
        for (size_t i = 0; i < r.size(); i++) {
            statuses += (i ? " " : "") + std::to_string(r[i].status);
            EXPECT_TRUE(r[i].status == 100 || !Header(r[i], "Date").empty()) << "reply " << i;
            if (r[i].status >= 400) EXPECT_EQ(Header(r[i], "Cache-Control"), "no-store");
            if (i + 1 < r.size()) EXPECT_EQ(Header(r[i], "Connection"), "") << "reply " << i;
        }
        ASSERT_EQ(statuses, c.statuses);
        if (!name.empty()) EXPECT_EQ(Header(r[0], name), c.header.substr(name.size() + 2));
        EXPECT_TRUE(r[0].body == c.body) << r[0].body.size() << " bytes";
    }
    std::multiset<std::string> stored;  // "TAG: BYTES" of each file: refusals store nothing, nor leave a temporary file
    for (auto& e : fs::directory_iterator(uploads))
        stored.insert(std::regex_replace(e.path().filename().string(),
                                         std::regex("-\\d{8}T\\d{6}Z-[0-9a-f]{16}\\.bin$"), ": ") + ReadFile(e.path()));
    EXPECT_TRUE(stored == std::multiset<std::string>({ "dump: " + largest, "zqlog: " + small, "zqlog: " + u600,
                                                       "zqlog: " + v200, "zqlog: " + w200 })) << stored.size();
    const std::string lines = ReadFile(log);  // each request, the bytes of the body sent, the client behind the proxy
    for (const char* want : { " GET /patch/manifest\\.tsv 304 0 ", " GET /patch/blobs/9f86\\w+ 200 100000 ",
                              "\n\\d{4}(-\\d\\d){2}T\\d\\d(:\\d\\d){2}Z 127\\.0\\.0\\.1:\\d+ HEAD /patch/blobs/\\w+ "
                              "206 0 \\d+\\.\\d{3} \"tarqo-launcher/1\\.0\"\n", "Z 127\\.0\\.0\\.2:\\d+ POST \\S+ 200 ",
                              "Z 203\\.0\\.113\\.9@127\\.0\\.0\\.1:\\d+ POST \\S+ 200 \\d+ " })
        EXPECT_TRUE(std::regex_search(lines, std::regex(want))) << want << " not in\n" << lines;

    pid_t pid = children[0].first;  // SIGHUP: the log renamed away is opened anew
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    for (int i = 0; i < 200 && ReadFile(log).empty(); i++) {  // the file appears a moment before it is taken in use
        Ask(port, "GARBAGE\r\n\r\n");
        usleep(10000);
    }
    EXPECT_TRUE(std::regex_match(ReadFile(log), std::regex("(\\S+Z 127\\.0\\.0\\.1:\\d+ - - 400 \\d+ \\S+ \"\"\n)+")))
        << "malformed requests are logged too, in the reopened log: " << ReadFile(log);
    std::ofstream(root + "/release/patch/blobs/" + std::string(64, 'b'), std::ios::binary) << largest;  // SIGTERM
    int idle = Connect(port), fd = Connect(port);
    std::string request = Get("/patch/blobs/" + std::string(64, 'b'));  // while this transfer is under way
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got(1 << 20, '\0'), rest(64 << 20, '\0');  // the first MiB read
    got.resize(std::max<ssize_t>(recv(fd, &got[0], got.size(), MSG_WAITALL), 0));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_GE(SecondsUntilCut(idle, "", 0, 2000), 0) << "an idle connection is closed at once";
    int probe = -1;
    for (int i = 0; i < 100 && (probe = Connect(port)) >= 0; i++) close(probe), usleep(20000);
    EXPECT_LT(probe, 0) << "still accepting after SIGTERM";
    rest.resize(std::max<ssize_t>(recv(fd, &rest[0], rest.size(), MSG_WAITALL), 0));  // until the server closes
    auto r = Replies(got + rest);
    EXPECT_TRUE(r.size() == 1 && r[0].body == largest) << "the transfer in flight was cut";
    close(fd);
    int status = 0, exited = 0;
    for (int i = 0; i < 500 && !exited; i++, usleep(10000)) exited = waitpid(pid, &status, WNOHANG) == pid;
    ASSERT_TRUE(exited) << "still running after the transfer ended";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    children[0].first = 0;  // reaped already: not to be killed
}

TEST_F(Serve, TlsWithForwardSecrecyOnlyDeadlinesForSlowClientsAndConnectionCaps) {
    int tlsPort = Start("--cert " + kPki + "/server.pem --key " + kPki + "/server.key --header-timeout 1");
    int port = Start("--plain --header-timeout 1 --stall-timeout 1");
    int capped = Start("--plain --max-connections 4 --per-address 2");
    const struct { const char* options; bool served; } kTls[] = {
        { "-tls1_1 -cipher DEFAULT:@SECLEVEL=0", 0 }, { "-tls1_2", 1 }, { "-tls1_3", 1 },
        { "-tls1_2 -cipher ECDHE-RSA-AES128-SHA256", 1 },          // what Windows 7 offers
        { "-tls1_2 -cipher AES128-GCM-SHA256:AES256-SHA256", 0 },  // RSA key exchange: no forward secrecy
    };
    for (const auto& c : kTls)  // served once the handshake and the check of the certificate for 127.0.0.1 succeed,
        EXPECT_EQ(system(("printf 'GET /patch/manifest.tsv HTTP/1.1\\r\\nConnection: close\\r\\n\\r\\n' | openssl "
                          "s_client -nocommands -ign_eof -verify_return_error -verify_ip 127.0.0.1 -CAfile " + kPki +
                          "/ca.pem -connect 127.0.0.1:" + std::to_string(tlsPort) + " " + c.options +  // no ticket
                          " 2>/dev/null | awk '/^HTTP\\/1.1 200 /{ok=1} /session ticket/{t=1} END{exit !ok || t}'")
                             .c_str()) == 0, c.served) << c.options;
    const struct { const char* why; int port; std::string first; char drip; } kSlow[] = {
        { "no TLS ClientHello", tlsPort, "", 0 },
        { "headers a byte at a time", port, "GET /patch/manifest.tsv HTTP/1.1\r\n", 'x' },
        { "upload body a byte at a time", port, Upload("dump", std::string(100000, 'u')).substr(0, 150), 'x' },
        { "idle kept-alive connection", port, Get("/patch/manifest.tsv"), 0 },
    };
    for (const auto& c : kSlow) {
        double cut = SecondsUntilCut(Connect(c.port), c.first, c.drip);
        EXPECT_TRUE(cut > 0.8 && cut < 4) << c.why << ": cut after " << cut << " s";
    }
    for (int i = 0; i < 100 && !fs::is_empty(uploads); i++) usleep(10000);
    EXPECT_TRUE(fs::is_empty(uploads)) << "an upload cut off leaves nothing";
    for (const char* cut : { "GET /patch/manifest\\.tsv 408 0 ", "POST /legacy/upload\\?tag=dump 408 0 " })  // logged
        EXPECT_TRUE(std::regex_search(ReadFile(log), std::regex(cut))) << cut;

    int a = Connect(capped), b = Connect(capped);  // the server admits connections in the order they came
    EXPECT_EQ(Ask(capped, Get("/patch/manifest.tsv")).size(), 0u) << "a third from one address";
    int d = Connect(capped, "127.0.0.2"), e = Connect(capped, "127.0.0.3");
    EXPECT_EQ(Ask(capped, Get("/patch/manifest.tsv"), "127.0.0.4").size(), 0u) << "a fifth in all";
    close(a);
    usleep(200000);
    EXPECT_EQ(Ask(capped, Get("/patch/manifest.tsv")).size(), 1u) << "a freed place is taken again";
    for (int fd : { b, d, e }) close(fd);
}

// However an upload ends, no descriptor and no temporary file stays, and the quota, of bytes and of files, is right.
TEST_F(Serve, UploadsLeaveNothingBehindAndTheQuotaCountsBytesAndFiles) {
    const std::string quota = "--plain --stall-timeout 1 --upload-quota 67118864 --upload-files 3";  // 64 MiB + 10000
    auto leftovers = [&](pid_t pid) {  // temporary files, and the server's descriptors of anything in uploads/
        std::string found;
        for (auto& e : fs::directory_iterator(uploads))
            if (e.path().filename().string()[0] == '.') found += e.path().filename().string() + " ";
        std::error_code gone;  // a descriptor closed since it was listed (a connection, a rescan) is no leftover
        for (auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            if (fs::read_symlink(e.path(), gone).string().find("/uploads/") != std::string::npos) found += "fd ";
        return found;
    };
    int fd = Connect(Start(quota)), waited = 0;  // killed in the middle of an upload
    std::string cut = Upload("zqlog", std::string(5000, 'k'));
    send(fd, cut.data(), cut.size() - 4000, MSG_NOSIGNAL);
    while (leftovers(children[0].first).find(".upload-") == std::string::npos && waited++ < 200) usleep(10000);
    kill(children[0].first, SIGKILL);
    close(fd);
    usleep(1200000);  // the temporary file is older than the stall timeout now: nobody writes it any more
    int port = Start(quota, "LD_PRELOAD=" VEQ_FSYNC_FAULT " VEQ_FSYNC_FAIL=1 VEQ_FSYNC_DELAY=3");
    pid_t pid = children[1].first;
    EXPECT_EQ(leftovers(pid), "") << "left by the killed server";
    const std::string largest = RandomBytes(64 << 20, 4), k1(1000, 'k');
    const struct { std::string request, statuses; } kUploads[] = {
        { Upload("zqlog", k1), "500" },       // the disk fails its sync: nothing is kept
        { Upload("dump", largest), "200" },   // its sync takes 3 s, past the stall timeout: answered once stored
        { Upload("zqlog", k1), "200" }, { Upload("zqlog", k1), "200" },
        { Upload("zqlog", "u"), "507" },      // 8000 bytes are free, but 3 files are there
    };
    for (const auto& u : kUploads) {
        std::string statuses;
        for (const Reply& r : Ask(port, u.request)) statuses += (statuses.empty() ? "" : " ") + std::to_string(r.status);
        EXPECT_EQ(statuses, u.statuses) << u.request.substr(0, 60);
        EXPECT_EQ(leftovers(pid), "") << u.request.substr(0, 60);
    }
    std::multiset<uintmax_t> sizes;
    for (auto& e : fs::directory_iterator(uploads)) sizes.insert(e.file_size());
    EXPECT_TRUE(sizes == std::multiset<uintmax_t>({ 1000, 1000, largest.size() })) << sizes.size() << " stored";
}

#include "serve.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "serve_rules.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Clock = std::chrono::steady_clock;

static const size_t kReadBufferBytes = 64 * 1024;   // one read; bounds what a pipelining client can queue
static const uint32_t kMaxHeaderBytes = 16 * 1024;  // request line and every field; the launcher sends < 1 KiB
static const unsigned kMaxHeaderFields = 64;
static const size_t kChunkBytes = 64 * 1024;        // one read of a file being sent
static const size_t kProgressBytes = 16 * 1024;     // what a body or a reply must move in each stall period
static const unsigned long long kDiscardBytes = 64 * 1024;  // an unwanted body up to this is read and dropped;
                                                            // a longer one ends the connection instead
static const int kMaxRequestsPerConnection = 1000;
static const int kLingerSeconds = 2;                // after our last byte, the peer's leftovers are drained
static const int kQuotaRescanSeconds = 10;          // other receivers on shared storage are seen this late
static const size_t kMaxRateEntries = 100000;
static const int kBacklog = 511;
static const int kUploadNameTries = 8;
static const int kBlockingThreads = 2;              // fsync and rename, off the event loops
static const int kStopCutSeconds = 5;               // after the grace period, for cut connections to go
// Forward secrecy only. AEAD first; the ECDHE CBC suites with SHA-2 are what Windows 7's TLS 1.2 stack offers.
static const char kCipherList[] = "ECDHE+AESGCM:ECDHE+CHACHA20:ECDHE+AES+SHA256:ECDHE+AES+SHA384";
static const char kBlobCache[] = "public, max-age=31536000, immutable";  // content-addressed: never changes
static const char kTextType[] = "text/plain; charset=utf-8";

// A manifest's entity tag is a digest of its bytes, so every origin behind a CDN gives the same one; it is worked
// out again only when the file changes.
struct ManifestTag {
    dev_t dev;
    ino_t ino;
    struct timespec mtime;
    off_t size;
    char tag[33];
};

struct Conn;

struct ServeServer {
    ServeOptions opts;
    std::string release, registerDir, uploads, logPath, trustedProxy;  // opts' strings point into these
    std::mutex lock;  // guards the fields up to logLock
    std::condition_variable drained;
    int connections = 0;
    std::unordered_map<std::string, int> perAddress;
    std::unordered_map<Conn*, std::weak_ptr<Conn>> live;
    std::unordered_map<std::string, RateBucket> rates;
    unsigned long long uploadUsed = 0, uploadReserved = 0;
    Clock::time_point quotaScanned;
    int quotaKnown = 0;
    ManifestTag manifest = {};
    std::mutex logLock;
    FILE* log = stderr;
    std::atomic<bool> stopping{ false };
    int port = -1;
    // One event loop per thread, as nginx has one per worker: a connection stays on the loop it was dealt to,
    // so nothing of it is ever locked. The first loop also accepts.
    std::vector<std::unique_ptr<net::io_context>> loops;
    std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
    size_t nextLoop = 0;
    std::unique_ptr<net::ssl::context> tls;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<net::steady_timer> acceptRetry;
    net::thread_pool blocking{ kBlockingThreads };
    std::vector<std::thread> threads;
};

// What a request said that matters here; the parser keeps nothing else, so a long header costs nothing to hold.
struct RequestHead {
    std::string method, target, userAgent, contentType, range, ifRange, ifNoneMatch, ifModifiedSince, realIp;
    int version = 11;
    int hasIfNoneMatch = 0;
    int expectContinue = 0;
    unsigned fields = 0;
};

class RequestParser;

struct Conn {
    ServeServer* server;
    tcp::socket socket;
    std::unique_ptr<net::ssl::stream<tcp::socket&>> tls;
    std::weak_ptr<Conn> self;
    // One timer per connection, waiting for the deadline of the phase at hand. Progress pushes the deadline back
    // without touching the timer, which only looks again when it fires: a transfer costs no timer calls.
    net::steady_timer timer;
    Clock::time_point deadline;
    int timedOut = 0;
    beast::flat_buffer buffer{ kReadBufferBytes };
    std::unique_ptr<RequestParser> parser;
    std::string peer;
    unsigned short peerPort;
    int requests = 0;
    int idle = 1;        // no byte of a request yet: a stop may close it
    int handshaken = 0;
    // The request in progress.
    Clock::time_point start;
    int started = 0;
    char client[kAddressCap] = "";
    int forwarded = 0;
    size_t progress = 0;  // bytes moved since the deadline was last pushed back
    // Its reply.
    int status = 0;
    std::string headers;  // extra header lines, each ending in CRLF
    const char* type = kTextType;
    std::string text;     // a short body, or the file's body below
    int fileFd = -1;
    unsigned long long fileOffset = 0, fileLeft = 0, contentLength = 0;
    int headOnly = 0;
    int closeAfter = 0;
    std::string out;      // the head, and a short body or the first piece of a file
    std::unique_ptr<char[]> chunk;  // later pieces of a file
    const char* outData = NULL;     // what is being written: out's or chunk's bytes
    size_t outLen = 0, outPos = 0, headLeft = 0;
    unsigned long long bodySent = 0;
    // Its upload.
    int uploadFd = -1;
    std::string uploadTemp;
    unsigned long long reserved = 0, bodyBytes = 0;
    int bodyErrno = 0;
    char scratch[512];    // lingering reads land here

    Conn(ServeServer* s, tcp::socket connected, const std::string& address, unsigned short port)
        : server(s), socket(std::move(connected)), timer(socket.get_executor()), peer(address), peerPort(port) {}
    ~Conn();
};

class RequestParser : public http::basic_parser<true> {
public:
    explicit RequestParser(Conn* c) : conn(c) {}
    RequestHead head;

private:
    Conn* conn;
    void on_request_impl(http::verb, beast::string_view method, beast::string_view target, int version,
                         ErrorCode&) override {
        head.method.assign(method.data(), method.size());
        head.target.assign(target.data(), target.size());
        head.version = version;
    }
    void on_response_impl(int, beast::string_view, int, ErrorCode&) override {}
    void on_field_impl(http::field name, beast::string_view nameText, beast::string_view value,
                       ErrorCode& ec) override;
    void on_header_impl(ErrorCode&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, ErrorCode&) override {}
    size_t on_body_impl(beast::string_view body, ErrorCode& ec) override;
    void on_chunk_header_impl(std::uint64_t, beast::string_view, ErrorCode&) override {}
    size_t on_chunk_body_impl(std::uint64_t, beast::string_view body, ErrorCode& ec) override {
        return on_body_impl(body, ec);
    }
    void on_finish_impl(ErrorCode&) override {}
};

void RequestParser::on_field_impl(http::field name, beast::string_view nameText, beast::string_view value,
                                  ErrorCode& ec) {
    std::string v(value.data(), value.size());
    if (++head.fields > kMaxHeaderFields) {
        ec = http::error::header_limit;
        return;
    }
    switch (name) {
    case http::field::user_agent: head.userAgent = v; break;
    case http::field::content_type: head.contentType = v; break;
    case http::field::range: head.range = v; break;
    case http::field::if_range: head.ifRange = v; break;
    case http::field::if_modified_since: head.ifModifiedSince = v; break;
    case http::field::expect: head.expectContinue = beast::iequals(value, "100-continue"); break;
    case http::field::if_none_match:
        head.ifNoneMatch += (head.hasIfNoneMatch ? ", " : "") + v;
        head.hasIfNoneMatch = 1;
        break;
    default:
        if (beast::iequals(nameText, "X-Real-IP")) head.realIp = v;
        break;
    }
}

static void ReportServeError(const char* fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "veq-serve: %s\n", msg);
}

static int WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        length -= (size_t)n;
    }
    return 1;
}

// Body bytes go to the upload's file, or are counted and dropped.
size_t RequestParser::on_body_impl(beast::string_view body, ErrorCode& ec) {
    conn->bodyBytes += body.size();
    if (conn->uploadFd >= 0) {
        if (!WriteAll(conn->uploadFd, body.data(), body.size())) {
            conn->bodyErrno = errno ? errno : EIO;
            ec = beast::errc::make_error_code(beast::errc::io_error);
        }
    } else if (conn->bodyBytes > kDiscardBytes) {
        ec = http::error::body_limit;
    }
    return body.size();
}

// ---- Shared state: connection counts, upload rates and quota, the access log -------------------------------

static int AdmitConnection(ServeServer* s, const std::string& peer) {
    std::lock_guard<std::mutex> hold(s->lock);
    int capped = peer != s->trustedProxy;  // the proxy carries many clients; they are capped at the edge
    if (s->connections >= s->opts.maxConnections) return 0;
    if (capped && s->perAddress[peer] >= s->opts.perAddress) return 0;
    s->connections++;
    if (capped) s->perAddress[peer]++;
    return 1;
}

Conn::~Conn() {
    if (fileFd >= 0) close(fileFd);
    if (uploadFd >= 0) close(uploadFd);
    if (!uploadTemp.empty()) unlink(uploadTemp.c_str());
    std::lock_guard<std::mutex> hold(server->lock);
    server->uploadReserved -= reserved;
    server->live.erase(this);
    if (peer != server->trustedProxy) {
        auto it = server->perAddress.find(peer);
        if (it != server->perAddress.end() && --it->second <= 0) server->perAddress.erase(it);
    }
    server->connections--;
    server->drained.notify_all();
}

static long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

static int TakeUploadSlot(ServeServer* s, const char* client) {
    if (s->opts.uploadsPerMinute == 0) return 1;
    long long now = NowMs();
    unsigned rate = s->opts.uploadsPerMinute;
    std::lock_guard<std::mutex> hold(s->lock);
    if (s->rates.size() >= kMaxRateEntries) {  // forget the buckets that have refilled: they start full anyway
        for (auto it = s->rates.begin(); it != s->rates.end();) {
            double refilled = it->second.tokens + (double)(now - it->second.lastMs) * rate / 60000.0;
            it = refilled >= rate ? s->rates.erase(it) : std::next(it);
        }
        if (s->rates.size() >= kMaxRateEntries) s->rates.clear();
    }
    auto it = s->rates.emplace(client, RateBucket{ 0, -1 }).first;
    return TakeRateToken(&it->second, now, rate);
}

// Stored uploads in the directory; hidden names are uploads in flight, which their receivers have reserved.
static unsigned long long MeasureUploads(const char* dir) {
    unsigned long long total = 0;
    struct stat st;
    DIR* d = opendir(dir);
    if (!d) return 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.' && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            total += (unsigned long long)st.st_size;
    closedir(d);
    return total;
}

static int ReserveUpload(ServeServer* s, unsigned long long bytes) {
    if (s->opts.uploadQuota == 0) return 1;
    std::lock_guard<std::mutex> hold(s->lock);
    Clock::time_point now = Clock::now();
    if (!s->quotaKnown || now - s->quotaScanned >= std::chrono::seconds(kQuotaRescanSeconds)) {
        s->uploadUsed = MeasureUploads(s->uploads.c_str());
        s->quotaScanned = now;
        s->quotaKnown = 1;
    }
    if (s->uploadUsed + s->uploadReserved + bytes > s->opts.uploadQuota) return 0;
    s->uploadReserved += bytes;
    return 1;
}

static void SettleUpload(Conn* c, unsigned long long stored) {
    std::lock_guard<std::mutex> hold(c->server->lock);
    c->server->uploadReserved -= c->reserved;
    c->server->uploadUsed += stored;
    c->reserved = 0;
}

static void LogRequest(Conn* c) {
    ServeServer* s = c->server;
    const RequestHead* h = c->parser ? &c->parser->head : NULL;
    char when[32], method[64], target[2048], agent[512];
    struct tm t;
    time_t now = time(NULL);
    double seconds = c->started ? std::chrono::duration<double>(Clock::now() - c->start).count() : 0.0;
    gmtime_r(&now, &t);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
    method[0] = target[0] = agent[0] = '\0';
    if (h) {
        EscapeLogField(h->method.data(), h->method.size(), method, sizeof method);
        EscapeLogField(h->target.data(), h->target.size(), target, sizeof target);
        EscapeLogField(h->userAgent.data(), h->userAgent.size(), agent, sizeof agent);
    }
    std::lock_guard<std::mutex> hold(s->logLock);
    fprintf(s->log, "%s %s%s%s:%u %s %s %d %llu %.3f \"%s\"\n", when, c->forwarded ? c->client : "",
            c->forwarded ? "@" : "", c->peer.c_str(), c->peerPort, method[0] ? method : "-",
            target[0] ? target : "-", c->status, c->bodySent, seconds, agent);
    fflush(s->log);
}

// ---- Replies -----------------------------------------------------------------------------------------------------

static void ReplyText(Conn* c, int status, const char* text) {
    if (c->fileFd >= 0) close(c->fileFd);
    c->fileFd = -1;
    c->fileLeft = 0;
    c->status = status;
    c->headers.clear();
    c->type = kTextType;
    c->text = text;
    c->contentLength = c->text.size();
}

// 1 with the file open for a 200; otherwise the reply is the error that says why. Only a missing file is a 404:
// running out of descriptors must not tell a cache that a blob does not exist.
static int ReplyFile(Conn* c, const char* path, const char* type, struct stat* st) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0 && (fstat(fd, st) != 0 || !S_ISREG(st->st_mode))) {
        err = S_ISDIR(st->st_mode) ? ENOENT : EIO;
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG)
            ReplyText(c, 404, "not found\n");
        else if (err == EMFILE || err == ENFILE || err == ENOMEM)
            ReplyText(c, 503, "busy, try again\n");
        else
            ReplyText(c, 500, "cannot read\n");
        return 0;
    }
    ReplyText(c, 200, "");
    c->fileFd = fd;
    c->type = type;
    c->fileOffset = 0;
    c->fileLeft = c->contentLength = (unsigned long long)st->st_size;
    return 1;
}

static void ReplyNotModified(Conn* c) {
    std::string headers = c->headers;
    ReplyText(c, 304, "");
    c->headers = headers;
}

static int HashManifest(int fd, char tag[33]) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE], buf[kChunkBytes];
    unsigned digestLen = 0;
    off_t at = 0;
    ssize_t got = 0;
    int ok = 0;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (!md || EVP_DigestInit_ex(md, EVP_sha256(), NULL) != 1) goto done;
    while ((got = pread(fd, buf, sizeof buf, at)) > 0) {
        EVP_DigestUpdate(md, buf, (size_t)got);
        at += got;
    }
    if (got < 0 || EVP_DigestFinal_ex(md, digest, &digestLen) != 1) goto done;
    for (int i = 0; i < 16; i++) {
        tag[2 * i] = kHex[digest[i] >> 4];
        tag[2 * i + 1] = kHex[digest[i] & 15];
    }
    tag[32] = '\0';
    ok = 1;
done:
    EVP_MD_CTX_free(md);
    return ok;
}

static int SameFile(const ManifestTag& m, const struct stat& st) {
    return m.tag[0] && m.dev == st.st_dev && m.ino == st.st_ino && m.size == st.st_size &&
           m.mtime.tv_sec == st.st_mtim.tv_sec && m.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

static int ManifestEntityTag(ServeServer* s, int fd, const struct stat& st, char tag[33]) {
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (SameFile(s->manifest, st)) {
            memcpy(tag, s->manifest.tag, 33);
            return 1;
        }
    }
    if (!HashManifest(fd, tag)) return 0;
    std::lock_guard<std::mutex> hold(s->lock);
    s->manifest = ManifestTag{ st.st_dev, st.st_ino, st.st_mtim, st.st_size, {} };
    memcpy(s->manifest.tag, tag, 33);
    return 1;
}

static void ReplyManifest(Conn* c) {
    const RequestHead& h = c->parser->head;
    char path[4096], tag[33], date[kHttpDateCap];
    struct stat st;
    time_t since = 0;
    if (c->server->release.empty()) return ReplyText(c, 404, "not found\n");
    snprintf(path, sizeof path, "%s/patch/manifest.tsv", c->server->release.c_str());
    if (!ReplyFile(c, path, "text/tab-separated-values; charset=utf-8", &st)) return;
    if (!ManifestEntityTag(c->server, c->fileFd, st, tag)) return ReplyText(c, 500, "cannot read\n");
    FormatHttpDate(st.st_mtime, date, sizeof date);
    // no-cache: a cache may keep it but must ask each time, so a new release is seen at once
    c->headers = std::string("ETag: \"") + tag + "\"\r\nLast-Modified: " + date + "\r\nCache-Control: no-cache\r\n";
    int fresh = h.hasIfNoneMatch ? EntityTagMatches(h.ifNoneMatch.data(), h.ifNoneMatch.size(), tag)
                                 : ParseHttpDate(h.ifModifiedSince.data(), h.ifModifiedSince.size(), &since) &&
                                       st.st_mtime <= since;
    if (fresh) ReplyNotModified(c);
}

static void ReplyBlob(Conn* c, const char* digest) {
    const RequestHead& h = c->parser->head;
    char path[4096], range[128];
    struct stat st;
    unsigned long long first = 0, last = 0;
    snprintf(path, sizeof path, "%s/patch/blobs/%s", c->server->release.c_str(), digest);
    if (c->server->release.empty()) return ReplyText(c, 404, "not found\n");
    if (!ReplyFile(c, path, "application/octet-stream", &st)) return;
    c->headers = std::string("ETag: \"") + digest + "\"\r\nCache-Control: " + kBlobCache + "\r\nAccept-Ranges: bytes\r\n";
    if (h.hasIfNoneMatch && EntityTagMatches(h.ifNoneMatch.data(), h.ifNoneMatch.size(), digest))
        return ReplyNotModified(c);
    if (h.range.empty() || (!h.ifRange.empty() && !IfRangeMatches(h.ifRange.data(), h.ifRange.size(), digest)))
        return;
    switch (ParseRange(h.range.data(), h.range.size(), c->contentLength, &first, &last)) {
    case kRangePart:
        c->status = 206;
        c->fileOffset = first;
        c->fileLeft = c->contentLength = last - first + 1;
        snprintf(range, sizeof range, "Content-Range: bytes %llu-%llu/%llu\r\n", first, last,
                 (unsigned long long)st.st_size);
        c->headers += range;
        break;
    case kRangeUnsatisfiable:
        ReplyText(c, 416, "range not satisfiable\n");
        snprintf(range, sizeof range, "Content-Range: bytes */%llu\r\n", (unsigned long long)st.st_size);
        c->headers = range;
        break;
    case kRangeWhole:
        break;
    }
}

static void ReplyRegister(Conn* c, const char* path, size_t pathLen) {
    char name[kRegisterNameCap], file[4096];
    struct stat st;
    if (c->server->registerDir.empty() || !MapRegisterPath(path, pathLen, name, sizeof name))
        return ReplyText(c, 404, "not found\n");
    snprintf(file, sizeof file, "%s/%s", c->server->registerDir.c_str(), name);
    if (ReplyFile(c, file, ContentTypeForName(name), &st)) c->headers = "Cache-Control: no-cache\r\n";
}

// ---- Uploads -----------------------------------------------------------------------------------------------------

// Gives the finished temporary file its final name. The name cannot be taken twice: the rename refuses to replace,
// and a clash (or a file system without that kind of rename, where a hard link does the same) draws another name.
static int PublishUpload(const char* temp, const char* dir, const char* tag, std::string* stored) {
    for (int attempt = 0; attempt < kUploadNameTries; attempt++) {
        unsigned char random[8];
        char name[kUploadNameCap];
        if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) return 0;
        if (!FormatUploadName(name, sizeof name, tag, time(NULL), random)) return 0;
        *stored = std::string(dir) + "/" + name;
        if (renameat2(AT_FDCWD, temp, AT_FDCWD, stored->c_str(), RENAME_NOREPLACE) == 0) return 1;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return 0;
        if (link(temp, stored->c_str()) == 0) {
            unlink(temp);
            return 1;
        }
        if (errno != EEXIST) return 0;
    }
    errno = EEXIST;
    return 0;
}

static int SyncDirectory(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

static int StatusForWriteError(int err) { return err == ENOSPC || err == EDQUOT ? 507 : 500; }

// Runs on the blocking pool. Syncs the body and only then names it: a 200 means the upload is on disk. Returns the
// status to answer; on failure nothing is left behind.
static int StoreUpload(Conn* c, const char* tag) {
    const char* dir = c->server->uploads.c_str();
    std::string stored;
    int fd = c->uploadFd;
    c->uploadFd = -1;
    if (fsync(fd) != 0 || close(fd) != 0) {
        int err = errno;
        ReportServeError("upload: cannot sync %s: %s", c->uploadTemp.c_str(), strerror(err));
        return StatusForWriteError(err);
    }
    if (!PublishUpload(c->uploadTemp.c_str(), dir, tag, &stored)) {
        ReportServeError("upload: cannot name %s in %s: %s", c->uploadTemp.c_str(), dir, strerror(errno));
        return 500;
    }
    c->uploadTemp.clear();  // it has its final name now
    if (!SyncDirectory(dir)) {  // the name is not durable: take it back rather than claim success
        ReportServeError("upload: cannot sync directory %s: %s", dir, strerror(errno));
        unlink(stored.c_str());
        return 500;
    }
    return 200;
}

static void EndUpload(Conn* c) {
    if (c->uploadFd >= 0) close(c->uploadFd);
    c->uploadFd = -1;
    if (!c->uploadTemp.empty()) unlink(c->uploadTemp.c_str());
    c->uploadTemp.clear();
    SettleUpload(c, 0);
}

static int OpenUploadTemp(Conn* c) {
    std::string pattern = c->server->uploads + "/.upload-XXXXXX";
    int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        ReportServeError("upload: cannot create a file in %s: %s", c->server->uploads.c_str(), strerror(errno));
        return 0;
    }
    fchmod(fd, 0640);
    c->uploadFd = fd;
    c->uploadTemp = pattern;
    return 1;
}

// ---- The connection ----------------------------------------------------------------------------------------------

using Step = void (*)(std::shared_ptr<Conn>);

template <class F>
static void WithStream(Conn* c, F&& f) {
    if (c->tls)
        f(*c->tls);
    else
        f(c->socket);
}

static void ReadRequest(std::shared_ptr<Conn> c);
static void HandleRequest(std::shared_ptr<Conn> c);
static void SendReply(std::shared_ptr<Conn> c);

static void CloseNow(Conn* c) {
    ErrorCode ignored;
    c->socket.close(ignored);  // what is pending ends with an error
    c->timer.cancel();
}

static void WaitForDeadline(std::shared_ptr<Conn> c) {
    c->timer.expires_at(c->deadline);
    c->timer.async_wait([c](ErrorCode ec) {
        if (ec || !c->socket.is_open()) return;                     // waiting for a sooner one, or closed
        if (Clock::now() < c->deadline) return WaitForDeadline(c);  // pushed back meanwhile
        c->timedOut = 1;
        CloseNow(c.get());
    });
}

static void Deadline(Conn* c, int seconds) {
    Clock::time_point next = Clock::now() + std::chrono::seconds(seconds);
    int sooner = next < c->timer.expiry();
    c->deadline = next;
    c->progress = 0;
    if (sooner)
        if (auto self = c->self.lock()) WaitForDeadline(self);  // the wait for the later time is cancelled
}

// A body or a reply that keeps moving keeps its connection; one that stalls is cut when the deadline passes.
static void Progress(Conn* c, size_t bytes) {
    c->progress += bytes;
    if (c->progress >= kProgressBytes) Deadline(c, c->server->opts.stallSeconds);
}

static void DrainInput(std::shared_ptr<Conn> c) {
    c->socket.async_read_some(net::buffer(c->scratch), [c](ErrorCode ec, size_t) {
        if (ec) return CloseNow(c.get());
        DrainInput(c);
    });
}

// Closes after our last byte. What the peer still sends (an unread body) is read and dropped for a moment, since
// closing on unread bytes sends a reset that can destroy the reply before the peer reads it.
static void Close(std::shared_ptr<Conn> c) {
    if (!c->socket.is_open()) return;
    Deadline(c.get(), kLingerSeconds);
    if (c->tls && c->handshaken) {
        SSL_set_shutdown(c->tls->native_handle(), SSL_RECEIVED_SHUTDOWN);  // send close_notify, wait for none
        c->tls->async_shutdown([c](ErrorCode) {
            ErrorCode ignored;
            c->socket.shutdown(tcp::socket::shutdown_send, ignored);
            DrainInput(c);
        });
        return;
    }
    ErrorCode ignored;
    c->socket.shutdown(tcp::socket::shutdown_send, ignored);
    DrainInput(c);
}

static void ResetRequest(Conn* c) {
    if (c->fileFd >= 0) close(c->fileFd);
    c->fileFd = -1;
    c->fileLeft = 0;
    c->started = c->forwarded = c->headOnly = 0;
    c->status = 0;
    c->text.clear();
    c->headers.clear();
    c->bodySent = c->bodyBytes = 0;
    c->bodyErrno = 0;
    snprintf(c->client, sizeof c->client, "%s", c->peer.c_str());
}

// Points the writer at out, whole.
static void WriteString(Conn* c) {
    c->outData = c->out.data();
    c->outLen = c->out.size();
    c->outPos = 0;
}

static void WriteOut(std::shared_ptr<Conn> c, Step next) {
    if (c->outPos == c->outLen) return next(c);
    auto written = [c, next](ErrorCode ec, size_t n) {
        if (ec) {  // gone, or too slow to read what we send
            LogRequest(c.get());
            return CloseNow(c.get());
        }
        size_t head = n < c->headLeft ? n : c->headLeft;
        c->headLeft -= head;
        c->bodySent += n - head;
        c->outPos += n;
        Progress(c.get(), n);
        WriteOut(c, next);
    };
    WithStream(c.get(), [&](auto& stream) {
        stream.async_write_some(net::buffer(c->outData + c->outPos, c->outLen - c->outPos), written);
    });
}

// Reads the next piece of the reply's file into buf. Its length, or 0 when the file gives less than it promised.
static size_t ReadFileChunk(Conn* c, char* buf) {
    size_t want = c->fileLeft < kChunkBytes ? (size_t)c->fileLeft : kChunkBytes;
    ssize_t got = pread(c->fileFd, buf, want, (off_t)c->fileOffset);
    if (got <= 0) return 0;
    c->fileOffset += (unsigned long long)got;
    c->fileLeft -= (unsigned long long)got;
    return (size_t)got;
}

static void FinishRequest(std::shared_ptr<Conn> c) {
    LogRequest(c.get());
    ResetRequest(c.get());
    if (c->closeAfter) return Close(c);
    ReadRequest(c);
}

static void SendFileRest(std::shared_ptr<Conn> c) {
    if (c->fileLeft == 0) return FinishRequest(c);
    if (!c->chunk) c->chunk.reset(new char[kChunkBytes]);
    c->outData = c->chunk.get();
    c->outLen = ReadFileChunk(c.get(), c->chunk.get());
    c->outPos = c->headLeft = 0;
    if (c->outLen == 0) {  // the file shrank under us: end the connection rather than send short
        LogRequest(c.get());
        return CloseNow(c.get());
    }
    WriteOut(c, SendFileRest);
}

static void SendReply(std::shared_ptr<Conn> c) {
    ServeServer* s = c->server;
    char line[256], date[kHttpDateCap];
    int keep = !c->closeAfter && c->parser->keep_alive() && !s->stopping && c->requests < kMaxRequestsPerConnection;
    c->closeAfter = !keep;
    FormatHttpDate(time(NULL), date, sizeof date);
    snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\nDate: %s\r\n", c->status, StatusReason(c->status), date);
    c->out = line;
    if (c->status >= 400) c->out += "Cache-Control: no-store\r\n";  // never remember a failure
    c->out += c->headers;
    if (c->status != 304) {
        snprintf(line, sizeof line, "Content-Type: %s\r\nContent-Length: %llu\r\n", c->type, c->contentLength);
        c->out += line;
    }
    if (!keep)
        c->out += "Connection: close\r\n";
    else if (c->parser->head.version == 10)
        c->out += "Connection: keep-alive\r\n";
    c->out += "\r\n";
    c->headLeft = c->out.size();
    if (c->headOnly) c->fileLeft = 0;
    if (!c->headOnly) c->out += c->text;
    if (c->fileLeft > 0) {  // a small file goes out with the head, in one write
        size_t at = c->out.size();
        c->out.resize(at + (c->fileLeft < kChunkBytes ? (size_t)c->fileLeft : kChunkBytes));
        size_t got = ReadFileChunk(c.get(), &c->out[at]);
        c->out.resize(at + got);
        if (got == 0) {
            LogRequest(c.get());
            return CloseNow(c.get());
        }
    }
    WriteString(c.get());
    Deadline(c.get(), s->opts.stallSeconds);
    WriteOut(c, SendFileRest);
}

static void BodyDone(std::shared_ptr<Conn> c);

static void ReadBodySome(std::shared_ptr<Conn> c) {
    if (c->parser->is_done()) return BodyDone(c);
    auto read = [c](ErrorCode ec, size_t n) {
        if (!ec) {
            Progress(c.get(), n);
            return ReadBodySome(c);
        }
        int open = c->socket.is_open();
        c->closeAfter = 1;
        if (c->uploadFd < 0) {  // a body we did not want: answer as decided, if the peer is still there
            if (open) return SendReply(c);
            c->status = c->timedOut ? 408 : 400;
            LogRequest(c.get());
            return;
        }
        EndUpload(c.get());
        if (c->bodyErrno) {
            ReportServeError("upload: cannot write in %s: %s", c->server->uploads.c_str(), strerror(c->bodyErrno));
            ReplyText(c.get(), StatusForWriteError(c->bodyErrno), "upload not stored\n");
        } else if (ec == http::error::body_limit) {
            ReplyText(c.get(), 413, "upload larger than 67108864 bytes\n");
        } else {
            ReplyText(c.get(), c->timedOut ? 408 : 400, "upload body incomplete\n");
        }
        if (open) return SendReply(c);
        LogRequest(c.get());
    };
    WithStream(c.get(), [&](auto& stream) { http::async_read_some(stream, c->buffer, *c->parser, read); });
}

static void ReadBody(std::shared_ptr<Conn> c) {
    c->parser->eager(true);
    Deadline(c.get(), c->server->opts.stallSeconds);
    ReadBodySome(c);
}

static void BodyDone(std::shared_ptr<Conn> c) {
    if (c->uploadFd < 0) return SendReply(c);
    if (c->bodyBytes == 0) {  // a chunked body can turn out empty
        EndUpload(c.get());
        ReplyText(c.get(), 400, "empty upload\n");
        return SendReply(c);
    }
    const RequestHead& h = c->parser->head;
    const char* value = NULL;
    size_t valueLen = 0;
    size_t q = h.target.find('?');
    FindQueryValue(h.target.data() + q + 1, h.target.size() - q - 1, "tag", &value, &valueLen);
    std::string tag(value, valueLen);  // checked by BeginUpload
    net::post(c->server->blocking, [c, tag] {
        int status = StoreUpload(c.get(), tag.c_str());
        unsigned long long stored = status == 200 ? c->bodyBytes : 0;
        net::post(c->socket.get_executor(), [c, status, stored] {
            EndUpload(c.get());
            SettleUpload(c.get(), stored);
            ReplyText(c.get(), status, status == 200 ? "ok\n" : "upload not stored\n");
            SendReply(c);
        });
    });
}

// An unwanted body: a short one is read and dropped before the reply, so the connection can go on; a longer one
// (or one whose sender waits for a 100 Continue) is never read, and the reply ends the connection.
static void ReplyWithoutBody(std::shared_ptr<Conn> c) {
    RequestParser& p = *c->parser;
    auto length = p.content_length();
    if (p.is_done()) return SendReply(c);
    if (!c->parser->head.expectContinue && length && *length <= kDiscardBytes) return ReadBody(c);
    c->closeAfter = 1;
    SendReply(c);
}

static void BeginUpload(std::shared_ptr<Conn> c, const char* query, size_t queryLen) {
    ServeServer* s = c->server;
    RequestParser& p = *c->parser;
    const RequestHead& h = p.head;
    auto length = p.content_length();
    const char* tag = NULL;
    size_t tagLen = 0;
    if (!p.chunked() && !length) {
        ReplyText(c.get(), 411, "Content-Length required\n");
    } else if (length && *length == 0) {
        ReplyText(c.get(), 400, "empty upload\n");
    } else if (!FindQueryValue(query, queryLen, "tag", &tag, &tagLen) || !IsUploadTag(tag, tagLen)) {
        ReplyText(c.get(), 400, "unknown upload tag\n");
    } else if (!IsOctetStream(h.contentType.data(), h.contentType.size())) {
        ReplyText(c.get(), 415, "uploads are application/octet-stream\n");
    } else if (!TakeUploadSlot(s, c->client)) {
        ReplyText(c.get(), 429, "too many uploads, try again later\n");
        c->headers = "Retry-After: 60\r\n";
    } else if (!ReserveUpload(s, length ? *length : kMaxUploadBytes)) {
        ReplyText(c.get(), 507, "upload space full\n");
    } else {
        c->reserved = length ? *length : kMaxUploadBytes;
        if (!OpenUploadTemp(c.get())) {
            EndUpload(c.get());
            ReplyText(c.get(), 500, "upload not stored\n");
            return ReplyWithoutBody(c);
        }
        if (!h.expectContinue) return ReadBody(c);
        c->out = "HTTP/1.1 100 Continue\r\n\r\n";
        WriteString(c.get());
        c->headLeft = c->out.size();
        Deadline(c.get(), s->opts.stallSeconds);
        return WriteOut(c, ReadBody);
    }
    ReplyWithoutBody(c);
}

static void HandleRequest(std::shared_ptr<Conn> c) {
    ServeServer* s = c->server;
    const RequestHead& h = c->parser->head;
    const char* target = h.target.data();
    size_t q = h.target.find('?');
    size_t pathLen = q == std::string::npos ? h.target.size() : q;
    const char* query = q == std::string::npos ? "" : target + q + 1;
    size_t queryLen = q == std::string::npos ? 0 : h.target.size() - q - 1;
    c->requests++;
    c->forwarded = ChooseClientAddress(c->peer.c_str(), s->trustedProxy.c_str(), h.realIp.data(), h.realIp.size(),
                                       c->client, sizeof c->client);
    c->headOnly = h.method == "HEAD";
    switch (ClassifyRoute(h.method.data(), h.method.size(), target, pathLen)) {
    case kRouteManifest: ReplyManifest(c.get()); break;
    case kRouteBlob: ReplyBlob(c.get(), std::string(target + 13, pathLen - 13).c_str()); break;  // "/patch/blobs/"
    case kRouteRegister: ReplyRegister(c.get(), target, pathLen); break;
    case kRouteUpload: return BeginUpload(c, query, queryLen);
    case kRouteBadMethod:
        ReplyText(c.get(), 405, "method not allowed\n");
        c->headers = pathLen == 14 && memcmp(target, "/legacy/upload", 14) == 0 ? "Allow: POST\r\n"
                                                                                 : "Allow: GET, HEAD\r\n";
        break;
    case kRouteNotFound: ReplyText(c.get(), 404, "not found\n"); break;
    }
    ReplyWithoutBody(c);
}

// A request head that could not be read: answered when the peer can still hear it, and logged either way.
static void HeadFailed(std::shared_ptr<Conn> c, ErrorCode ec) {
    int open = c->socket.is_open();
    if (!c->started || ec == http::error::end_of_stream) return Close(c);  // an idle connection ends
    if (ec == http::error::header_limit)
        ReplyText(c.get(), 431, "request header too large\n");
    else if (ec == http::error::body_limit)
        ReplyText(c.get(), 413, "upload larger than 67108864 bytes\n");
    else
        ReplyText(c.get(), c->timedOut ? 408 : 400, "bad request\n");
    c->closeAfter = 1;
    if (open && ec.category() == http::make_error_code(http::error::header_limit).category()) return SendReply(c);
    LogRequest(c.get());
    Close(c);
}

static void ReadHead(std::shared_ptr<Conn> c) {
    auto read = [c](ErrorCode ec, size_t) {
        if (!c->started && (c->parser->got_some() || c->buffer.size() > 0)) {
            c->started = 1;
            c->idle = 0;
            c->start = Clock::now();
        }
        if (ec) return HeadFailed(c, ec);
        if (!c->parser->is_header_done()) return ReadHead(c);
        HandleRequest(c);
    };
    WithStream(c.get(), [&](auto& stream) { http::async_read_some(stream, c->buffer, *c->parser, read); });
}

static void ReadRequest(std::shared_ptr<Conn> c) {
    ResetRequest(c.get());
    c->parser.reset(new RequestParser(c.get()));
    c->parser->header_limit(kMaxHeaderBytes);
    c->parser->body_limit(kMaxUploadBytes);
    c->idle = c->buffer.size() == 0;
    if (!c->idle) {  // pipelined: it began when the last one did
        c->started = 1;
        c->start = Clock::now();
    }
    if (c->idle && c->server->stopping) return Close(c);
    Deadline(c.get(), c->server->opts.headerSeconds);
    ReadHead(c);
}

static void BeginConnection(std::shared_ptr<Conn> c) {
    ServeServer* s = c->server;
    ResetRequest(c.get());
    c->deadline = Clock::now() + std::chrono::seconds(s->opts.headerSeconds);  // the handshake's, or the head's
    WaitForDeadline(c);
    if (!s->tls) return ReadRequest(c);
    c->tls.reset(new net::ssl::stream<tcp::socket&>(c->socket, *s->tls));
    c->tls->async_handshake(net::ssl::stream_base::server, [c](ErrorCode ec) {
        if (ec) return CloseNow(c.get());
        c->handshaken = 1;
        ReadRequest(c);
    });
}

static void StartConnection(ServeServer* s, tcp::socket socket) {
    ErrorCode ec;
    tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec) return;
    std::string peer = remote.address().to_string();
    if (!AdmitConnection(s, peer)) return;  // the socket closes as it goes
    socket.set_option(tcp::no_delay(true), ec);  // a reply is written whole; Nagle would only delay its tail
    auto c = std::make_shared<Conn>(s, std::move(socket), peer, remote.port());
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->live[c.get()] = c;
    }
    c->self = c;
    net::dispatch(c->socket.get_executor(), [c] { BeginConnection(c); });
}

static void Accept(ServeServer* s) {
    net::io_context& loop = *s->loops[s->nextLoop++ % s->loops.size()];
    s->acceptor->async_accept(loop, [s](ErrorCode ec, tcp::socket socket) {
        if (!s->acceptor->is_open()) return;
        if (ec) {  // out of descriptors, most likely: connections that end will free some
            ReportServeError("accept: %s", ec.message().c_str());
            s->acceptRetry->expires_after(std::chrono::milliseconds(100));
            s->acceptRetry->async_wait([s](ErrorCode waitEc) {
                if (!waitEc) Accept(s);
            });
            return;
        }
        StartConnection(s, std::move(socket));
        Accept(s);
    });
}

static int SetupTls(ServeServer* s, char* err, size_t errCap) {
    int ok = 0;
    const char* step = "";
    s->tls.reset(new net::ssl::context(net::ssl::context::tls_server));
    SSL_CTX* ctx = s->tls->native_handle();
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    step = "cipher list";
    if (SSL_CTX_set_cipher_list(ctx, kCipherList) != 1) goto done;
    step = "protocol versions";
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1)
        goto done;
    step = s->opts.certFile;
    if (SSL_CTX_use_certificate_chain_file(ctx, s->opts.certFile) != 1) goto done;
    step = s->opts.keyFile;
    if (SSL_CTX_use_PrivateKey_file(ctx, s->opts.keyFile, SSL_FILETYPE_PEM) != 1) goto done;
    step = "key and certificate";
    if (SSL_CTX_check_private_key(ctx) != 1) goto done;
    ok = 1;
done:
    if (!ok) {
        char reason[256];
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        snprintf(err, errCap, "TLS setup failed at %s: %s", step, reason);
        ERR_clear_error();
    }
    return ok;
}

static std::string Text(const char* s) { return s ? s : ""; }

ServeServer* StartServe(const ServeOptions* options, char* err, size_t errCap) {
    ServeServer* s = new ServeServer();
    ErrorCode ec;
    net::ip::address address;
    int ok = 0;
    s->opts = *options;
    s->release = Text(options->release);
    s->registerDir = Text(options->registerDir);
    s->uploads = Text(options->uploads);
    s->logPath = Text(options->logPath);
    s->trustedProxy = Text(options->trustedProxy);
    snprintf(err, errCap, "%s", "");
    if (!s->opts.plain && !SetupTls(s, err, errCap)) goto done;
    if (!s->logPath.empty() && !(s->log = fopen(s->logPath.c_str(), "a"))) {
        snprintf(err, errCap, "cannot open log %s: %s", s->logPath.c_str(), strerror(errno));
        s->log = stderr;
        goto done;
    }
    address = net::ip::make_address(s->opts.host, ec);
    for (int i = 0; i < s->opts.threads; i++) {
        s->loops.emplace_back(new net::io_context(1));
        s->work.push_back(net::make_work_guard(*s->loops.back()));
    }
    s->acceptor.reset(new tcp::acceptor(*s->loops[0]));
    s->acceptRetry.reset(new net::steady_timer(*s->loops[0]));
    if (!ec) s->acceptor->open(address.is_v6() ? tcp::v6() : tcp::v4(), ec);
    if (!ec) s->acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) s->acceptor->bind(tcp::endpoint(address, (unsigned short)s->opts.port), ec);
    if (!ec) s->acceptor->listen(kBacklog, ec);
    if (!ec) s->port = s->acceptor->local_endpoint(ec).port();
    if (ec) {
        snprintf(err, errCap, "cannot listen on %s:%d: %s", s->opts.host, s->opts.port, ec.message().c_str());
        goto done;
    }
    Accept(s);
    for (auto& loop : s->loops) s->threads.emplace_back([&loop] { loop->run(); });
    ok = 1;
done:
    if (!ok) {
        if (s->log != stderr) fclose(s->log);
        delete s;
        return NULL;
    }
    return s;
}

int ServePort(const ServeServer* server) { return server->port; }

int ReopenServeLog(ServeServer* s) {
    if (s->logPath.empty()) return 1;
    FILE* next = fopen(s->logPath.c_str(), "a");
    if (!next) return 0;
    std::lock_guard<std::mutex> hold(s->logLock);
    fclose(s->log);
    s->log = next;
    return 1;
}

// Closes every connection, or only those waiting for a request, each on its own strand.
static void CloseConnections(ServeServer* s, int idleOnly) {
    std::vector<std::shared_ptr<Conn>> all;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        for (auto& entry : s->live)
            if (auto c = entry.second.lock()) all.push_back(c);
    }
    for (auto& c : all)
        net::post(c->socket.get_executor(), [c, idleOnly] {
            if (!idleOnly || c->idle) CloseNow(c.get());
        });
}

static int WaitDrained(ServeServer* s, int seconds) {
    std::unique_lock<std::mutex> hold(s->lock);
    return s->drained.wait_for(hold, std::chrono::seconds(seconds), [s] { return s->connections == 0; });
}

void StopServe(ServeServer* s) {
    if (!s) return;
    s->stopping = true;
    net::post(s->acceptor->get_executor(), [s] {
        ErrorCode ignored;
        s->acceptor->close(ignored);
        s->acceptRetry->cancel();
    });
    CloseConnections(s, 1);
    if (!WaitDrained(s, s->opts.graceSeconds)) {
        CloseConnections(s, 0);
        WaitDrained(s, kStopCutSeconds);
    }
    s->blocking.join();
    s->work.clear();
    for (auto& loop : s->loops) loop->stop();
    for (auto& t : s->threads) t.join();
    s->threads.clear();
    s->acceptRetry.reset();  // before their loop
    s->acceptor.reset();
    if (s->log != stderr) fclose(s->log);
    s->log = stderr;
    delete s;
}

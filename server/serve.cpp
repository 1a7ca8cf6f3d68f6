#include "serve.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "serve_rules.h"

static const size_t kFileChunkBytes = 64 * 1024;
static const int kReadTimeoutSeconds = 30;   // a launcher on a slow line still sends 64 MiB in pieces
static const int kWriteTimeoutSeconds = 30;
static const int kStartWaitMs = 5000;
static const int kUploadNameTries = 8;
static const char kAnyPath[] = "[\\s\\S]*";  // also paths that decode to control bytes
static const char kBlobHeaders[] = "public, max-age=31536000, immutable";  // content-addressed: never changes

struct ServeServer {
    ServeOptions opts;
    httplib::SSLServer* http;
    std::thread listener;
    std::mutex log_lock;
    int port;
};

// Set when a handler of ours logged the request; the library's logger then only clears it. Requests that never
// reach a handler (malformed, refused on "Expect: 100-continue") are logged by the library's logger instead.
static thread_local int t_logged;

static void ReportServeError(const char* fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "veq-serve: %s\n", msg);
}

static int CopyPath(char* dst, const char* src) {
    if (strlen(src) >= kServeDirCap) return 0;
    snprintf(dst, kServePathCap, "%s", src);
    return 1;
}

int SetServeDirs(ServeDirs* dirs, const char* release, const char* register_dir, const char* uploads) {
    std::lock_guard<std::mutex> hold(dirs->lock);
    ServeDirPaths next = dirs->paths;
    if (release && !CopyPath(next.release, release)) return 0;
    if (register_dir && !CopyPath(next.register_dir, register_dir)) return 0;
    if (uploads && !CopyPath(next.uploads, uploads)) return 0;
    dirs->paths = next;
    return 1;
}

void CopyServeDirs(ServeDirs* dirs, ServeDirPaths* out) {
    std::lock_guard<std::mutex> hold(dirs->lock);
    *out = dirs->paths;
}

static void ReleaseReplyFile(ServeExchange* ex) {
    if (ex->body_fd >= 0) close(ex->body_fd);
    ex->body_fd = -1;
    ex->body_size = 0;
    ex->body_type[0] = '\0';
}

void SetReplyText(ServeExchange* ex, int status, const char* text) {
    ReleaseReplyFile(ex);
    ex->res->status = status;
    ex->res->set_content(text, "text/plain; charset=utf-8");
    ex->reply_bytes = strlen(text);
}

int SetReplyFile(ServeExchange* ex, int status, const char* path, const char* content_type) {
    struct stat st;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    ReleaseReplyFile(ex);
    ex->res->status = status;
    ex->res->body.clear();
    ex->body_fd = fd;
    ex->body_size = (unsigned long long)st.st_size;
    snprintf(ex->body_type, sizeof ex->body_type, "%s", content_type);
    ex->reply_bytes = ex->body_size;
    return 1;
}

static bool StreamFileChunk(int fd, size_t offset, size_t length, httplib::DataSink& sink) {
    char buf[kFileChunkBytes];
    size_t want = length < sizeof buf ? length : sizeof buf;
    ssize_t got = pread(fd, buf, want, (off_t)offset);
    if (got <= 0) return false;  // the file shrank under us: end the connection rather than send short
    return sink.write(buf, (size_t)got);
}

// Hands the held file to the library as a stream, so a 256 MiB blob never sits in memory.
static void AttachReplyFile(ServeExchange* ex) {
    httplib::Response& res = *ex->res;
    int fd = ex->body_fd;
    res.headers.erase("Content-Type");
    if (ex->body_size == 0) {  // the library cannot stream an empty body; send it as one
        res.set_content("", ex->body_type);
        ReleaseReplyFile(ex);
        return;
    }
    res.set_content_provider(
        (size_t)ex->body_size, ex->body_type,
        [fd](size_t offset, size_t length, httplib::DataSink& sink) {
            return StreamFileChunk(fd, offset, length, sink);
        },
        [fd](bool) { close(fd); });
    ex->body_fd = -1;  // the provider owns it now
}

// The library keeps a connection open after any reply; when the request body was not read, its bytes would be
// taken for the next request. A provider that fails once the text is out makes the library close instead.
static void EndConnectionAfterReply(ServeExchange* ex) {
    httplib::Response& res = *ex->res;
    std::string text = res.body;
    std::string type = res.get_header_value("Content-Type");
    if (text.empty()) text = "closing\n";
    res.body.clear();
    res.headers.erase("Content-Type");
    res.set_header("Connection", "close");
    res.set_content_provider(text.size(), type, [text](size_t offset, size_t length, httplib::DataSink& sink) {
        sink.write(text.data() + offset, length);
        return false;
    });
}

int DiscardRequestBody(ServeExchange* ex, const httplib::ContentReader* reader) {
    if (ex->body_read || !reader) return 1;
    unsigned long long received = 0;
    bool ok = (*reader)([&received](const char*, size_t length) {
        received += length;
        return received <= kMaxUploadBytes;  // a refused request gets no more reading than an accepted one
    });
    ex->body_read = 1;
    ex->request_bytes = received;
    if (!ok) ex->close_after = 1;
    return ok ? 1 : 0;
}

static int HasBody(const httplib::Request& req) {
    if (req.has_header("Transfer-Encoding")) return 1;
    std::string length = req.get_header_value("Content-Length");
    return !length.empty() && length != "0";
}

static int IsChunked(const httplib::Request& req) {
    std::string te = req.get_header_value("Transfer-Encoding");
    for (char& c : te) c = (char)tolower((unsigned char)c);
    return te.find("chunked") != std::string::npos;
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

// Gives the finished temporary file its final name. The name cannot be taken twice: the rename refuses to replace,
// and a clash (or a file system without that kind of rename, where a hard link does the same) draws another name.
static int PublishUpload(const char* temp, const char* dir, const char* tag, char* stored, size_t cap) {
    for (int attempt = 0; attempt < kUploadNameTries; attempt++) {
        unsigned char random[8];
        char name[kUploadNameCap];
        if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) return 0;
        if (!FormatUploadName(name, sizeof name, tag, time(NULL), random)) return 0;
        if ((size_t)snprintf(stored, cap, "%s/%s", dir, name) >= cap) return 0;
        if (renameat2(AT_FDCWD, temp, AT_FDCWD, stored, RENAME_NOREPLACE) == 0) return 1;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return 0;
        if (link(temp, stored) == 0) {
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

// Streams the body into a temporary file beside its final place, syncs it and only then names it: a 200 means the
// upload is on disk, and a failed upload leaves nothing behind.
static void StoreUpload(ServeExchange* ex, const httplib::ContentReader* reader, const char* tag) {
    char temp[kServePathCap] = "";
    char stored[kServePathCap] = "";
    int fd = -1;
    int too_large = 0, write_failed = 0, write_errno = 0;
    unsigned long long received = 0;
    bool read_ok = false;
    const char* dir = ex->dirs.uploads;

    snprintf(temp, sizeof temp, "%s/.upload-XXXXXX", dir);
    fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        ReportServeError("upload: cannot create a file in %s: %s", dir, strerror(errno));
        temp[0] = '\0';
        DiscardRequestBody(ex, reader);
        SetReplyText(ex, 500, "upload not stored\n");
        goto done;
    }
    fchmod(fd, 0640);
    read_ok = (*reader)([&](const char* data, size_t length) {
        if (received + length > kMaxUploadBytes) { too_large = 1; return false; }
        if (!WriteAll(fd, data, length)) { write_failed = 1; write_errno = errno; return false; }
        received += length;
        return true;
    });
    ex->body_read = 1;
    ex->request_bytes = received;
    if (too_large) {
        ex->close_after = 1;
        SetReplyText(ex, 413, "upload larger than 67108864 bytes\n");
        goto done;
    }
    if (write_failed) {
        ReportServeError("upload: cannot write %s: %s", temp, strerror(write_errno));
        ex->close_after = 1;
        SetReplyText(ex, 500, "upload not stored\n");
        goto done;
    }
    if (!read_ok) {  // the sender went away or stalled before the announced end
        ex->close_after = 1;
        SetReplyText(ex, 400, "upload body incomplete\n");
        goto done;
    }
    if (received == 0) {
        SetReplyText(ex, 400, "empty upload\n");
        goto done;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        fd = -1;
        ReportServeError("upload: cannot sync %s: %s", temp, strerror(errno));
        SetReplyText(ex, 500, "upload not stored\n");
        goto done;
    }
    fd = -1;
    if (!PublishUpload(temp, dir, tag, stored, sizeof stored)) {
        ReportServeError("upload: cannot name %s in %s: %s", temp, dir, strerror(errno));
        SetReplyText(ex, 500, "upload not stored\n");
        goto done;
    }
    temp[0] = '\0';  // it has its final name now
    if (!SyncDirectory(dir)) {  // the name is not durable: take it back rather than claim success
        ReportServeError("upload: cannot sync directory %s: %s", dir, strerror(errno));
        unlink(stored);
        SetReplyText(ex, 500, "upload not stored\n");
        goto done;
    }
    snprintf(ex->stored, sizeof ex->stored, "%s", stored);
    SetReplyText(ex, 200, "ok\n");
done:
    if (fd >= 0) close(fd);
    if (temp[0]) unlink(temp);
}

static void HandleUpload(ServeExchange* ex, const httplib::ContentReader* reader) {
    const httplib::Request& req = *ex->req;
    std::string tag = req.get_param_value("tag");
    unsigned long long announced = 0;
    if (!reader) {
        SetReplyText(ex, 500, "upload without a body reader\n");
        return;
    }
    if (!IsChunked(req)) {
        std::string length = req.get_header_value("Content-Length");
        if (!req.has_header("Content-Length")) {
            SetReplyText(ex, 411, "Content-Length required\n");
            return;
        }
        if (!ParseContentLength(length.data(), length.size(), &announced)) {
            ex->close_after = 1;  // without a length we cannot tell where the next request begins
            SetReplyText(ex, 400, "bad Content-Length\n");
            return;
        }
        if (announced > kMaxUploadBytes) {  // refused unread
            ex->close_after = 1;
            SetReplyText(ex, 413, "upload larger than 67108864 bytes\n");
            return;
        }
        if (announced == 0) {
            SetReplyText(ex, 400, "empty upload\n");
            return;
        }
    }
    if (!IsUploadTag(tag.data(), tag.size())) {
        DiscardRequestBody(ex, reader);
        SetReplyText(ex, 400, "unknown upload tag\n");
        return;
    }
    StoreUpload(ex, reader, tag.c_str());
}

static void HandleBlob(ServeExchange* ex) {
    const std::string& path = ex->req->path;
    const char* digest = path.c_str() + strlen("/patch/blobs/");
    char file[kServePathCap];
    struct stat st;
    snprintf(file, sizeof file, "%s/patch/blobs/%s", ex->dirs.release, digest);
    if (stat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetReplyText(ex, 404, "not found\n");
        return;
    }
    std::string etag = std::string("\"") + digest + "\"";
    std::string inm = ex->req->get_header_value("If-None-Match");
    if (!inm.empty() && EntityTagMatches(inm.data(), inm.size(), digest)) {
        ReleaseReplyFile(ex);
        ex->res->status = 304;
        ex->res->set_header("Content-Length", std::to_string(st.st_size));  // the size a 200 would have
        ex->reply_bytes = 0;
    } else if (!SetReplyFile(ex, 200, file, "application/octet-stream")) {
        SetReplyText(ex, 404, "not found\n");
        return;
    }
    ex->res->set_header("ETag", etag);
    ex->res->set_header("Cache-Control", kBlobHeaders);
}

void RouteRequest(ServeExchange* ex, const httplib::ContentReader* reader) {
    const httplib::Request& req = *ex->req;
    char file[kServePathCap];
    char name[kRegisterNameCap];
    switch (ClassifyRoute(req.method.data(), req.method.size(), req.path.data(), req.path.size())) {
    case kRouteManifest:
        snprintf(file, sizeof file, "%s/patch/manifest.tsv", ex->dirs.release);
        if (!SetReplyFile(ex, 200, file, "text/tab-separated-values; charset=utf-8")) {
            SetReplyText(ex, 404, "not found\n");
            break;
        }
        ex->res->set_header("Cache-Control", "no-cache");  // a new release must be seen at once
        break;
    case kRouteBlob:
        HandleBlob(ex);
        break;
    case kRouteRegister:
        if (!ex->dirs.register_dir[0] || !MapRegisterPath(req.path.data(), req.path.size(), name, sizeof name) ||
            (size_t)snprintf(file, sizeof file, "%s/%s", ex->dirs.register_dir, name) >= sizeof file ||
            !SetReplyFile(ex, 200, file, ContentTypeForName(name))) {
            SetReplyText(ex, 404, "not found\n");
            break;
        }
        ex->res->set_header("Cache-Control", "no-cache");
        break;
    case kRouteUpload:
        HandleUpload(ex, reader);
        break;
    case kRouteBadMethod:
        SetReplyText(ex, 405, "method not allowed\n");
        ex->res->set_header("Allow", req.path == "/legacy/upload" ? "POST" : "GET, HEAD");
        break;
    case kRouteNotFound:
        SetReplyText(ex, 404, "not found\n");
        break;
    }
}

static void WriteAccessLog(ServeServer* s, const httplib::Request& req, int status, unsigned long long bytes) {
    char when[32], method[64], target[2048], agent[512];
    struct tm t;
    time_t now = time(NULL);
    if (!s->opts.log) return;
    gmtime_r(&now, &t);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &t);
    EscapeLogField(req.method.data(), req.method.size(), method, sizeof method);
    EscapeLogField(req.target.data(), req.target.size(), target, sizeof target);
    std::string ua = req.get_header_value("User-Agent");
    EscapeLogField(ua.data(), ua.size(), agent, sizeof agent);
    std::lock_guard<std::mutex> hold(s->log_lock);
    fprintf(s->opts.log, "%s %s:%d %s %s %d %llu \"%s\"\n", when, req.remote_addr.c_str(), req.remote_port,
            method[0] ? method : "-", target[0] ? target : "-", status, bytes, agent);
    fflush(s->opts.log);
}

static void OnRequest(ServeServer* s, const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader* reader) {
    ServeExchange* ex = new ServeExchange();  // several KiB: kept off the worker's stack
    ex->req = &req;
    ex->res = &res;
    ex->body_fd = -1;
    CopyServeDirs(s->opts.dirs, &ex->dirs);
    if (s->opts.hooks.handle)
        s->opts.hooks.handle(s->opts.hooks.ctx, ex, reader);
    else
        RouteRequest(ex, reader);
    if (reader && !ex->body_read && HasBody(req)) ex->close_after = 1;
    if (ex->body_fd >= 0) AttachReplyFile(ex);
    if (ex->close_after && !res.content_provider_) EndConnectionAfterReply(ex);
    if (res.status < 0) res.status = 200;
    WriteAccessLog(s, req, res.status, ex->reply_bytes);
    t_logged = 1;
    delete ex;
}

static int SetupTls(SSL_CTX* ctx, const ServeTls* tls, char* err, size_t err_cap) {
    int ok = 0;
    const char* step = "";
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (tls->security_level >= 0) SSL_CTX_set_security_level(ctx, tls->security_level);
    step = "cipher list";
    if (tls->cipher_list && SSL_CTX_set_cipher_list(ctx, tls->cipher_list) != 1) goto done;
    step = "protocol versions";
    if (SSL_CTX_set_min_proto_version(ctx, tls->min_version) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, tls->max_version) != 1)
        goto done;
    step = tls->cert_file;
    if (SSL_CTX_use_certificate_chain_file(ctx, tls->cert_file) != 1) goto done;
    step = tls->key_file;
    if (SSL_CTX_use_PrivateKey_file(ctx, tls->key_file, SSL_FILETYPE_PEM) != 1) goto done;
    step = "key and certificate";
    if (SSL_CTX_check_private_key(ctx) != 1) goto done;
    ok = 1;
done:
    if (!ok) {
        char reason[256];
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        snprintf(err, err_cap, "TLS setup failed at %s: %s", step, reason);
        ERR_clear_error();
    }
    return ok;
}

ServeServer* StartServe(const ServeOptions* options, char* err, size_t err_cap) {
    ServeServer* s = new ServeServer();
    int ok = 0, waited = 0;
    httplib::SSLServer* http = NULL;
    s->opts = *options;
    s->port = -1;
    snprintf(err, err_cap, "%s", "");

    http = new httplib::SSLServer(
        [s, err, err_cap](SSL_CTX& ctx) { return SetupTls(&ctx, &s->opts.tls, err, err_cap) != 0; });
    if (!http->is_valid()) goto done;  // SetupTls said why
    {
        size_t threads = (size_t)(s->opts.threads > 0 ? s->opts.threads : 8);
        http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    }
    http->set_keep_alive_timeout(s->opts.keep_alive_seconds > 0 ? s->opts.keep_alive_seconds : 5);
    http->set_read_timeout(kReadTimeoutSeconds);
    http->set_write_timeout(kWriteTimeoutSeconds);
    http->set_payload_max_length((size_t)kMaxUploadBytes);
    http->Get(kAnyPath, [s](const httplib::Request& req, httplib::Response& res) { OnRequest(s, req, res, NULL); });
    http->Options(kAnyPath, [s](const httplib::Request& req, httplib::Response& res) { OnRequest(s, req, res, NULL); });
    {
        auto streamed = [s](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
            OnRequest(s, req, res, &reader);
        };
        http->Post(kAnyPath, streamed);
        http->Put(kAnyPath, streamed);
        http->Patch(kAnyPath, streamed);
        http->Delete(kAnyPath, streamed);
    }
    // curl and others ask before sending a large body: refuse an oversized upload before it is sent.
    http->set_expect_100_continue_handler([](const httplib::Request& req, httplib::Response& res) {
        unsigned long long announced = 0;
        std::string length = req.get_header_value("Content-Length");
        if (req.path == "/legacy/upload" && ParseContentLength(length.data(), length.size(), &announced) &&
            announced > kMaxUploadBytes) {
            res.status = 413;  // the library answers with res as it stands, not with what we return
            res.set_content("upload larger than 67108864 bytes\n", "text/plain; charset=utf-8");
            return 413;
        }
        return 100;
    });
    http->set_logger([s](const httplib::Request& req, const httplib::Response& res) {
        if (!t_logged)
            WriteAccessLog(s, req, res.status, res.content_provider_ ? res.content_length_ : res.body.size());
        t_logged = 0;
    });

    if (s->opts.port == 0) {
        s->port = http->bind_to_any_port(s->opts.host);
    } else if (http->bind_to_port(s->opts.host, s->opts.port)) {
        s->port = s->opts.port;
    }
    if (s->port <= 0) {
        snprintf(err, err_cap, "cannot listen on %s:%d: %s", s->opts.host, s->opts.port, strerror(errno));
        goto done;
    }
    s->http = http;
    s->listener = std::thread([http] { http->listen_after_bind(); });
    while (!http->is_running() && waited < kStartWaitMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        waited++;
    }
    if (!http->is_running()) {
        snprintf(err, err_cap, "listener on %s:%d did not start", s->opts.host, s->port);
        http->stop();
        s->listener.join();
        goto done;
    }
    ok = 1;
done:
    if (!ok) {
        delete http;
        delete s;
        return NULL;
    }
    return s;
}

int ServePort(const ServeServer* server) { return server->port; }

void StopServe(ServeServer* server) {
    if (!server) return;
    server->http->stop();
    server->listener.join();
    delete server->http;
    delete server;
}

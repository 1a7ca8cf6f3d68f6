// Connections and HTTP: admitting a connection, its deadlines, reading request heads and bodies, writing replies
// (a short text or a file in pieces), the access log, and the routing of each request to its part.
#include <errno.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "serve_internal.h"

const char kTextType[] = "text/plain; charset=utf-8";

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

void ReportServeError(const char* fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "veq-serve: %s\n", msg);
}

int WriteAll(int fd, const char* data, size_t length) {
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
    SettleUploadLocked(this, 0);
    server->live.erase(this);
    if (peer != server->trustedProxy) {
        auto it = server->perAddress.find(peer);
        if (it != server->perAddress.end() && --it->second <= 0) server->perAddress.erase(it);
    }
    server->connections--;
    server->drained.notify_all();
}

void LogRequest(Conn* c) {
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

void ReplyText(Conn* c, int status, const char* text) {
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
int ReplyFile(Conn* c, const char* path, const char* type, struct stat* st) {
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

void ReplyNotModified(Conn* c) {
    std::string headers = c->headers;
    ReplyText(c, 304, "");
    c->headers = headers;
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

void CloseNow(Conn* c) {
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

void Deadline(Conn* c, int seconds) {
    Clock::time_point next = Clock::now() + std::chrono::seconds(seconds);
    int sooner = next < c->timer.expiry();
    c->deadline = next;
    c->progress = 0;
    if (sooner)
        if (auto self = c->self.lock()) WaitForDeadline(self);  // the wait for the later time is cancelled
}

// No deadline until the next is set: for work of ours, not the peer's.
void HoldDeadline(Conn* c) { c->deadline = Clock::time_point::max(); }

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
void WriteString(Conn* c) {
    c->outData = c->out.data();
    c->outLen = c->out.size();
    c->outPos = 0;
}

void WriteOut(std::shared_ptr<Conn> c, Step next) {
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

void SendReply(std::shared_ptr<Conn> c) {
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
        UploadBodyFailed(c, ec, open);
    };
    WithStream(c.get(), [&](auto& stream) { http::async_read_some(stream, c->buffer, *c->parser, read); });
}

void ReadBody(std::shared_ptr<Conn> c) {
    c->parser->eager(true);
    Deadline(c.get(), c->server->opts.stallSeconds);
    ReadBodySome(c);
}

static void BodyDone(std::shared_ptr<Conn> c) {
    if (c->uploadFd < 0) return SendReply(c);
    FinishUpload(c);
}

// An unwanted body: a short one is read and dropped before the reply, so the connection can go on; a longer one
// (or one whose sender waits for a 100 Continue) is never read, and the reply ends the connection.
void ReplyWithoutBody(std::shared_ptr<Conn> c) {
    RequestParser& p = *c->parser;
    auto length = p.content_length();
    if (p.is_done()) return SendReply(c);
    if (!c->parser->head.expectContinue && length && *length <= kDiscardBytes) return ReadBody(c);
    c->closeAfter = 1;
    SendReply(c);
}

static void HandleRequest(std::shared_ptr<Conn> c) {
    ServeServer* s = c->server;
    const RequestHead& h = c->parser->head;
    const char* target = h.target.data();
    size_t q = h.target.find('?');
    size_t pathLen = q == std::string::npos ? h.target.size() : q;
    const char* query = q == std::string::npos ? "" : target + q + 1;
    size_t queryLen = q == std::string::npos ? 0 : h.target.size() - q - 1;
    std::string digest(target + pathLen - std::min(pathLen, kDigestChars), std::min(pathLen, kDigestChars));
    c->requests++;
    c->forwarded = ChooseClientAddress(c->peer.c_str(), s->trustedProxy.c_str(), h.realIp.data(), h.realIp.size(),
                                       c->client, sizeof c->client);
    c->headOnly = h.method == "HEAD";
    switch (ClassifyRoute(h.method.data(), h.method.size(), target, pathLen)) {
    case kRouteManifest: ReplyManifest(c.get(), 0); break;
    case kRouteManifestSig: ReplyManifest(c.get(), 1); break;
    case kRouteBlob: ReplyBlob(c.get(), "blobs", digest.c_str()); break;
    case kRouteChunks: ReplyBlob(c.get(), "chunks", digest.c_str()); break;
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

void StartConnection(ServeServer* s, tcp::socket socket) {
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

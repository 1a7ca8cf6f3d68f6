// Start-up and stop: TLS settings, the listening socket and its accept loop, the event-loop threads, the log.
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <string.h>

#include "serve_internal.h"

// Forward secrecy only. AEAD first; the ECDHE CBC suites with SHA-2 are what Windows 7's TLS 1.2 stack offers.
static const char kCipherList[] = "ECDHE+AESGCM:ECDHE+CHACHA20:ECDHE+AES+SHA256:ECDHE+AES+SHA384";

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
    // No session tickets: their key would live as long as the process and could open every session it sealed.
    // Resumption stays possible through the session cache, whose entries expire.
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                 SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx, 0);
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
    MeasureUploadsAtStart(s);
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

unsigned ServeStaleUploadsRemoved(const ServeServer* server) { return server->staleRemoved; }

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

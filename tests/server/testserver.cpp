// veq-testserver: the service host of the Windows tests. It runs the same server code as veq-serve, plus faults,
// a request log and TLS variants that the tests switch through a plain-HTTP control port:
//   POST /ctl/reset                          faults and log cleared, TLS default, start-up directories
//   POST /ctl/release?dir=/abs/dir           serve DIR/patch/...
//   POST /ctl/uploads?dir=/abs/dir           store uploads in DIR
//   POST /ctl/fault?path=P&status=N&body=N&chunked=0|1&stall_ms=N&stall_after=N&cut_after=N
//   POST /ctl/tls?mode=default|tls13|tls11|untrusted|off   (off: no HTTPS listener at all)
//   GET  /ctl/log                            one line per HTTPS request since the last reset
// A fault answers every HTTPS request under its path: with its status (200 unless given), and with the real
// content unless body= asks for filler. A request with a body (an upload) is read and dropped, never stored.
// Every call answers only once its change is in effect: 200 "ok" (or the log), 400 with the reason otherwise.
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fault_rules.h"
#include "serve.h"
#include "serve_rules.h"

static const size_t kFaultChunkBytes = 64 * 1024;
static const int kHttpsThreads = 16;
static const int kControlThreads = 4;
static const int kKeepAliveSeconds = 1;  // an idle client connection delays a TLS restart by at most this
static const int kStartWaitMs = 5000;

struct TlsMode {
    const char* name;
    const char* cert;  // in the PKI directory
    const char* key;
    int min_version;
    int max_version;
    const char* cipher_list;
    int security_level;
};

static const TlsMode kTlsModes[] = {
    { "default", "server.pem", "server.key", TLS1_2_VERSION, TLS1_3_VERSION, NULL, -1 },
    { "tls13", "server.pem", "server.key", TLS1_3_VERSION, TLS1_3_VERSION, NULL, -1 },
    // OpenSSL 3 offers TLS 1.1 only at security level 0.
    { "tls11", "server.pem", "server.key", TLS1_1_VERSION, TLS1_1_VERSION, "DEFAULT:@SECLEVEL=0", 0 },
    { "untrusted", "untrusted.pem", "untrusted.key", TLS1_2_VERSION, TLS1_3_VERSION, NULL, -1 },
    { "off", NULL, NULL, 0, 0, NULL, -1 },  // nothing listens: connections are refused
};

struct TestServer {
    char https_host[64];
    int https_port;
    char control_host[64];
    int control_port;
    char pki[kServeDirCap];
    ServeDirPaths start_dirs;
    int access_log;
    ServeDirs dirs;

    std::mutex control;  // one control call at a time; guards https and mode
    ServeServer* https;
    const TlsMode* mode;

    std::mutex state;    // guards everything below
    std::condition_variable wake;
    unsigned long long generation;  // bumped by reset and TLS restarts: stalled replies give up
    int fault_set;
    Fault fault;
    std::string log;
};

// The body of one faulty reply, shared by the library's calls for its pieces.
struct FaultBody {
    TestServer* t;
    Fault fault;
    unsigned long long generation;
    int filler;
    int fd;
    std::string text;
    unsigned long long total;
    int stalled;
    ~FaultBody() {
        if (fd >= 0) close(fd);
    }
};

// Sleeps the fault's stall; 0 when a reset or TLS restart cut it short (the reply is then dropped).
static int StallFault(FaultBody* b) {
    std::unique_lock<std::mutex> hold(b->t->state);
    b->stalled = 1;
    return !b->t->wake.wait_for(hold, std::chrono::milliseconds(b->fault.stall_ms),
                                [b] { return b->t->generation != b->generation; });
}

static int ReadFaultBytes(FaultBody* b, unsigned long long offset, char* buf, size_t n) {
    if (b->filler) {
        FillFiller(buf, offset, n);
        return 1;
    }
    if (b->fd >= 0) return pread(b->fd, buf, n, (off_t)offset) == (ssize_t)n;
    memcpy(buf, b->text.data() + offset, n);
    return 1;
}

static bool SendFaultPiece(FaultBody* b, size_t offset, httplib::DataSink& sink, int chunked) {
    char buf[kFaultChunkBytes];
    FaultStep step = PlanFaultStep(&b->fault, b->total, offset, b->stalled, sizeof buf);
    if (step.stall_first && !StallFault(b)) return false;
    if (step.send) {
        if (!ReadFaultBytes(b, offset, buf, (size_t)step.send)) return false;
        if (!sink.write(buf, (size_t)step.send)) return false;
    }
    if (step.stall_then && !StallFault(b)) return false;
    if (step.close_then) return false;  // the library drops the connection mid-body
    if (step.finished && chunked) sink.done();
    return true;
}

// Answers with the fault: its status (200 unless given) and the reply the route produced, reshaped: filler
// instead of the content, chunked, stalled, or cut.
static void ApplyFault(TestServer* t, const Fault* f, unsigned long long generation, ServeExchange* ex) {
    httplib::Response& res = *ex->res;
    res.status = f->has_status ? f->status : 200;
    if (!FaultShapesBody(f)) return;
    auto b = std::make_shared<FaultBody>();
    b->t = t;
    b->fault = *f;
    b->generation = generation;
    b->fd = -1;
    std::string type = ex->body_fd >= 0 ? std::string(ex->body_type) : res.get_header_value("Content-Type");
    if (f->has_body) {
        b->filler = 1;
        b->total = f->body;
        if (ex->body_fd >= 0) close(ex->body_fd);
    } else if (ex->body_fd >= 0) {
        b->fd = ex->body_fd;
        b->total = ex->body_size;
    } else {
        b->text = res.body;
        b->total = b->text.size();
    }
    ex->body_fd = -1;
    ex->reply_bytes = b->total;
    res.body.clear();
    res.headers.erase("Content-Type");
    res.headers.erase("Content-Length");  // a 304 names the blob's length; the fault's body has its own
    if (type.empty()) type = "application/octet-stream";
    if (f->chunked) {
        // The library gzips chunked text for clients that accept it; as octet-stream the bytes stay as asked.
        res.set_chunked_content_provider("application/octet-stream", [b](size_t offset, httplib::DataSink& sink) {
            return SendFaultPiece(b.get(), offset, sink, 1);
        });
    } else if (b->total == 0) {
        // Nothing to stream: a stall at 0 happens before the headers instead of after them.
        res.set_content("", type);
        if (f->has_stall && f->stall_after == 0) StallFault(b.get());
    } else {
        res.set_content_provider((size_t)b->total, type,
                                 [b](size_t offset, size_t, httplib::DataSink& sink) {
                                     return SendFaultPiece(b.get(), offset, sink, 0);
                                 });
    }
}

static void AppendTestLog(TestServer* t, const ServeExchange* ex) {
    char line[8192];
    const httplib::Request& req = *ex->req;
    FormatTestLogLine(line, sizeof line, req.method.c_str(), req.target.c_str(),
                      req.get_header_value("User-Agent").c_str(), req.get_header_value("Content-Type").c_str(),
                      ex->request_bytes, ex->res->status, ex->stored);
    std::lock_guard<std::mutex> hold(t->state);
    t->log += line;
}

// Every HTTPS request passes here. The log line is written before the reply goes out, so a client that has its
// answer finds its line in /ctl/log.
static void HandleWithFaults(void* ctx, ServeExchange* ex, const httplib::ContentReader* reader) {
    TestServer* t = (TestServer*)ctx;
    Fault fault;
    int hit = 0;
    unsigned long long generation = 0;
    {
        std::lock_guard<std::mutex> hold(t->state);
        hit = t->fault_set && FaultHitsPath(&t->fault, ex->req->path.data(), ex->req->path.size());
        if (hit) fault = t->fault;
        generation = t->generation;
    }
    if (hit && reader) {
        DiscardRequestBody(ex, reader);  // an upload under a fault is read, answered and never stored
        SetReplyText(ex, 200, "fault\n");
    } else {
        RouteRequest(ex, reader);
    }
    if (hit) ApplyFault(t, &fault, generation, ex);
    if (ex->res->status < 0) ex->res->status = 200;
    AppendTestLog(t, ex);
}

static ServeServer* StartHttps(TestServer* t, const TlsMode* mode, char* err, size_t err_cap) {
    char cert[kServePathCap], key[kServePathCap];
    ServeOptions opts = {};
    snprintf(cert, sizeof cert, "%s/%s", t->pki, mode->cert);
    snprintf(key, sizeof key, "%s/%s", t->pki, mode->key);
    snprintf(opts.host, sizeof opts.host, "%s", t->https_host);
    opts.port = t->https_port;
    opts.threads = kHttpsThreads;
    opts.keep_alive_seconds = kKeepAliveSeconds;
    opts.tls = { cert, key, mode->min_version, mode->max_version, mode->cipher_list, mode->security_level };
    opts.dirs = &t->dirs;
    opts.log = t->access_log ? stderr : NULL;
    opts.hooks = { t, HandleWithFaults };
    ServeServer* s = StartServe(&opts, err, err_cap);
    if (s) {
        t->https_port = ServePort(s);  // a restart binds the same port again
        t->mode = mode;
    }
    return s;
}

static void InterruptStalls(TestServer* t) {
    {
        std::lock_guard<std::mutex> hold(t->state);
        t->generation++;
    }
    t->wake.notify_all();
}

// Replaces the HTTPS listener; returns once the new one accepts. Caller holds t->control.
static int RestartHttps(TestServer* t, const TlsMode* mode, char* err, size_t err_cap) {
    InterruptStalls(t);
    StopServe(t->https);
    t->https = NULL;
    if (!mode->cert) {
        t->mode = mode;
        return 1;
    }
    t->https = StartHttps(t, mode, err, err_cap);
    if (t->https) return 1;
    char again[256];
    t->https = StartHttps(t, &kTlsModes[0], again, sizeof again);  // keep serving something the tests know
    if (!t->https) fprintf(stderr, "veq-testserver: HTTPS listener lost: %s\n", again);
    return 0;
}

static void Answer(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain; charset=utf-8");
}

static int IsAbsoluteDirectory(const std::string& dir) {
    struct stat st;
    return !dir.empty() && dir[0] == '/' && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static void OnReset(TestServer* t, httplib::Response& res) {
    char err[512];
    std::lock_guard<std::mutex> hold(t->control);
    InterruptStalls(t);
    {
        std::lock_guard<std::mutex> state(t->state);
        t->fault_set = 0;
        t->log.clear();
    }
    SetServeDirs(&t->dirs, t->start_dirs.release, t->start_dirs.register_dir, t->start_dirs.uploads);
    if (t->mode != &kTlsModes[0] && !RestartHttps(t, &kTlsModes[0], err, sizeof err)) {
        Answer(res, 500, std::string("TLS restart failed: ") + err + "\n");
        return;
    }
    Answer(res, 200, "ok");
}

static void OnDirectory(TestServer* t, const httplib::Request& req, httplib::Response& res, int uploads) {
    std::string dir = req.get_param_value("dir");
    std::lock_guard<std::mutex> hold(t->control);
    if (req.params.size() != 1 || !IsAbsoluteDirectory(dir)) {
        Answer(res, 400, "want dir=/absolute/existing/directory and nothing else\n");
        return;
    }
    if (!SetServeDirs(&t->dirs, uploads ? NULL : dir.c_str(), NULL, uploads ? dir.c_str() : NULL)) {
        Answer(res, 400, "directory path too long\n");
        return;
    }
    Answer(res, 200, "ok");
}

static void OnFault(TestServer* t, const httplib::Request& req, httplib::Response& res) {
    std::vector<FaultParam> params;
    Fault fault;
    char err[256];
    for (const auto& p : req.params) params.push_back({ p.first.c_str(), p.second.c_str() });
    std::lock_guard<std::mutex> hold(t->control);
    if (!ParseFault(params.data(), params.size(), &fault, err, sizeof err)) {
        Answer(res, 400, std::string(err) + "\n");
        return;
    }
    {
        std::lock_guard<std::mutex> state(t->state);
        t->fault = fault;
        t->fault_set = 1;
    }
    Answer(res, 200, "ok");
}

static void OnTls(TestServer* t, const httplib::Request& req, httplib::Response& res) {
    std::string name = req.get_param_value("mode");
    const TlsMode* mode = NULL;
    char err[512];
    for (const auto& m : kTlsModes)
        if (name == m.name) mode = &m;
    if (!mode || req.params.size() != 1) {
        Answer(res, 400, "want mode=default|tls13|tls11|untrusted|off\n");
        return;
    }
    std::lock_guard<std::mutex> hold(t->control);
    if (!RestartHttps(t, mode, err, sizeof err)) {
        Answer(res, 500, std::string("TLS restart failed: ") + err + "\n");
        return;
    }
    Answer(res, 200, "ok");
}

static void OnLog(TestServer* t, httplib::Response& res) {
    std::string copy;
    {
        std::lock_guard<std::mutex> hold(t->state);
        copy = t->log;
    }
    Answer(res, 200, copy);
}

static const char kUsage[] =
    "usage: veq-testserver --pki DIR --release DIR --uploads DIR [options]\n"
    "  --https HOST:PORT    HTTPS listener (default 127.0.0.1:443)\n"
    "  --control HOST:PORT  plain-HTTP control listener (default 127.0.0.1:8081)\n"
    "  --pki DIR            server.pem/.key and untrusted.pem/.key, as tests/harness/make-pki makes them\n"
    "  --release DIR        release served at start and after /ctl/reset\n"
    "  --uploads DIR        upload directory at start and after /ctl/reset\n"
    "  --register DIR       registration pages (default: none)\n"
    "  --access-log         also writes veq-serve's request lines to standard error\n"
    "Prints \"ready\" once both listeners accept; exits 0 on SIGTERM or SIGINT.\n";

static int ParseArgs(int argc, char** argv, TestServer* t) {
    const char* https = "127.0.0.1:443";
    const char* control = "127.0.0.1:8081";
    const char* pki = NULL;
    const char* release = NULL;
    const char* uploads = NULL;
    const char* register_dir = "";
    const struct { const char* name; const char** value; } kOptions[] = {
        { "--https", &https },     { "--control", &control }, { "--pki", &pki },
        { "--release", &release }, { "--uploads", &uploads }, { "--register", &register_dir },
    };
    for (int i = 1; i < argc; i++) {
        int known = 0;
        if (strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--access-log") == 0) {
            t->access_log = 1;
            continue;
        }
        for (const auto& o : kOptions) {
            if (strcmp(argv[i], o.name) != 0) continue;
            if (i + 1 >= argc) {
                fprintf(stderr, "veq-testserver: %s needs a value\n", o.name);
                return -1;
            }
            *o.value = argv[++i];
            known = 1;
        }
        if (!known) {
            fprintf(stderr, "veq-testserver: unknown argument '%s'\n%s", argv[i], kUsage);
            return -1;
        }
    }
    if (!ParseListenAddress(https, t->https_host, sizeof t->https_host, &t->https_port) ||
        !ParseListenAddress(control, t->control_host, sizeof t->control_host, &t->control_port)) {
        fprintf(stderr, "veq-testserver: --https and --control want IPV4:PORT\n");
        return -1;
    }
    if (!pki || !release || !uploads || !IsAbsoluteDirectory(pki) || !IsAbsoluteDirectory(release) ||
        !IsAbsoluteDirectory(uploads) || (register_dir[0] && !IsAbsoluteDirectory(register_dir))) {
        fprintf(stderr, "veq-testserver: --pki, --release and --uploads (and --register) must name existing "
                        "absolute directories\n%s", kUsage);
        return -1;
    }
    if (strlen(pki) >= sizeof t->pki || !SetServeDirs(&t->dirs, release, register_dir, uploads)) {
        fprintf(stderr, "veq-testserver: a directory path is too long\n");
        return -1;
    }
    snprintf(t->pki, sizeof t->pki, "%s", pki);
    CopyServeDirs(&t->dirs, &t->start_dirs);
    return 1;
}

int main(int argc, char** argv) {
    static TestServer t;
    httplib::Server control;
    std::thread control_thread;
    sigset_t stop_signals;
    char err[512];
    int signal_number = 0, waited = 0, status = 1;

    int parsed = ParseArgs(argc, argv, &t);
    if (parsed <= 0) return parsed == 0 ? 0 : 2;

    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);  // taken by sigwait below, before any thread exists
    signal(SIGPIPE, SIG_IGN);                         // cut connections are part of the job

    t.https = StartHttps(&t, &kTlsModes[0], err, sizeof err);
    if (!t.https) {
        fprintf(stderr, "veq-testserver: %s\n", err);
        goto done;
    }
    control.new_task_queue = [] { return new httplib::ThreadPool(kControlThreads); };
    control.set_keep_alive_timeout(kKeepAliveSeconds);
    // Handlers that take a body reader: the library would refuse a bodiless POST without Content-Length (curl -X
    // POST) before they run. None of the calls has a body.
    using Reader = const httplib::ContentReader&;
    control.Post("/ctl/reset", [](const httplib::Request&, httplib::Response& res, Reader) { OnReset(&t, res); });
    control.Post("/ctl/release", [](const httplib::Request& req, httplib::Response& res, Reader) {
        OnDirectory(&t, req, res, 0);
    });
    control.Post("/ctl/uploads", [](const httplib::Request& req, httplib::Response& res, Reader) {
        OnDirectory(&t, req, res, 1);
    });
    control.Post("/ctl/fault", [](const httplib::Request& req, httplib::Response& res, Reader) {
        OnFault(&t, req, res);
    });
    control.Post("/ctl/tls", [](const httplib::Request& req, httplib::Response& res, Reader) { OnTls(&t, req, res); });
    control.Get("/ctl/log", [](const httplib::Request&, httplib::Response& res) { OnLog(&t, res); });
    if (t.control_port == 0) {
        t.control_port = control.bind_to_any_port(t.control_host);
    } else if (!control.bind_to_port(t.control_host, t.control_port)) {
        t.control_port = -1;
    }
    if (t.control_port <= 0) {
        fprintf(stderr, "veq-testserver: cannot listen on %s for control: %s\n", t.control_host, strerror(errno));
        goto done;
    }
    control_thread = std::thread([&control] { control.listen_after_bind(); });
    while (!control.is_running() && waited++ < kStartWaitMs) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    fprintf(stderr, "veq-testserver: https %s:%d, control %s:%d\n", t.https_host, t.https_port, t.control_host,
            t.control_port);
    printf("ready\n");
    fflush(stdout);
    sigwait(&stop_signals, &signal_number);
    status = 0;
done:
    if (control_thread.joinable()) {
        control.stop();
        control_thread.join();
    }
    {
        std::lock_guard<std::mutex> hold(t.control);
        InterruptStalls(&t);
        StopServe(t.https);
        t.https = NULL;
    }
    return status;
}

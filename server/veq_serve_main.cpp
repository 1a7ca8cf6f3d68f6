// veq-serve: the service host for operators. Serves the patch release, the registration pages and the upload
// endpoint over HTTPS until SIGTERM or SIGINT.
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "serve.h"
#include "serve_rules.h"

static const char kUsage[] =
    "usage: veq-serve --cert FILE --key FILE --release DIR --uploads DIR [options]\n"
    "  --listen HOST:PORT  address to serve on (default 127.0.0.1:443; port 0 takes any free port)\n"
    "  --cert FILE         server certificate chain, PEM, leaf first\n"
    "  --key FILE          private key of the certificate, PEM\n"
    "  --release DIR       serves DIR/patch/manifest.tsv and DIR/patch/blobs/<digest>\n"
    "  --register DIR      serves /register from DIR (DIR/index.html); without it /register is not found\n"
    "  --uploads DIR       stores POST /legacy/upload bodies in DIR\n"
    "  --threads N         connections served at once, 1 to 1024 (default 16); others wait their turn\n"
    "  --log FILE          appends one line per request to FILE (default: standard error)\n"
    "  --help              shows this text\n";

struct ServeArgs {
    const char* listen;
    const char* cert;
    const char* key;
    const char* release;
    const char* register_dir;
    const char* uploads;
    const char* threads;
    const char* log;
};

static int IsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// 1 to run, 0 to exit with success (help shown), -1 for a usage error (already reported).
static int ParseArgs(int argc, char** argv, ServeArgs* a) {
    const struct { const char* name; const char** value; } kOptions[] = {
        { "--listen", &a->listen },   { "--cert", &a->cert },       { "--key", &a->key },
        { "--release", &a->release }, { "--register", &a->register_dir }, { "--uploads", &a->uploads },
        { "--threads", &a->threads }, { "--log", &a->log },
    };
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        int known = 0;
        for (const auto& o : kOptions) {
            if (strcmp(argv[i], o.name) != 0) continue;
            if (i + 1 >= argc) {
                fprintf(stderr, "veq-serve: %s needs a value\n%s", o.name, kUsage);
                return -1;
            }
            *o.value = argv[++i];
            known = 1;
        }
        if (!known) {
            fprintf(stderr, "veq-serve: unknown argument '%s'\n%s", argv[i], kUsage);
            return -1;
        }
    }
    if (!a->cert || !a->key || !a->release || !a->uploads) {
        fprintf(stderr, "veq-serve: --cert, --key, --release and --uploads are required\n%s", kUsage);
        return -1;
    }
    return 1;
}

int main(int argc, char** argv) {
    ServeArgs args = { "127.0.0.1:443", NULL, NULL, NULL, NULL, NULL, "16", NULL };
    static ServeDirs dirs;
    ServeOptions opts = {};
    ServeServer* server = NULL;
    FILE* log = stderr;
    sigset_t stop_signals;
    char err[512];
    int signal_number = 0, threads = 0, status = 2;

    int parsed = ParseArgs(argc, argv, &args);
    if (parsed <= 0) return parsed == 0 ? 0 : 2;
    threads = atoi(args.threads);
    if (!ParseListenAddress(args.listen, opts.host, sizeof opts.host, &opts.port)) {
        fprintf(stderr, "veq-serve: --listen wants IPV4:PORT, got '%s'\n", args.listen);
        goto done;
    }
    if (threads < 1 || threads > 1024) {
        fprintf(stderr, "veq-serve: --threads wants 1 to 1024, got '%s'\n", args.threads);
        goto done;
    }
    if (!IsDirectory(args.release) || !IsDirectory(args.uploads) ||
        (args.register_dir && !IsDirectory(args.register_dir))) {
        fprintf(stderr, "veq-serve: --release, --uploads and --register must name existing directories\n");
        goto done;
    }
    if (!SetServeDirs(&dirs, args.release, args.register_dir ? args.register_dir : "", args.uploads)) {
        fprintf(stderr, "veq-serve: a directory path is longer than %zu bytes\n", kServeDirCap - 1);
        goto done;
    }
    if (args.log && !(log = fopen(args.log, "a"))) {
        fprintf(stderr, "veq-serve: cannot open log %s\n", args.log);
        log = stderr;
        goto done;
    }

    // Signals are taken by sigwait below, never by a handler on a worker thread; block them before any thread.
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-write is an error return, not our end

    opts.threads = threads;
    opts.keep_alive_seconds = 5;
    opts.tls = { args.cert, args.key, TLS1_2_VERSION, TLS1_3_VERSION, NULL, -1 };
    opts.dirs = &dirs;
    opts.log = log;
    status = 1;
    server = StartServe(&opts, err, sizeof err);
    if (!server) {
        fprintf(stderr, "veq-serve: %s\n", err);
        goto done;
    }
    fprintf(stderr, "veq-serve: listening on %s:%d\n", opts.host, ServePort(server));
    sigwait(&stop_signals, &signal_number);
    fprintf(stderr, "veq-serve: signal %d, stopping\n", signal_number);
    status = 0;
done:
    if (server) StopServe(server);
    if (log != stderr) fclose(log);
    return status;
}

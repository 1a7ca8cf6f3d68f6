// veq-serve: the service host for operators. Serves the patch release, the registration pages and the upload
// endpoint over HTTPS (or plain HTTP on loopback behind the edge proxy) until SIGTERM or SIGINT; SIGHUP reopens
// the access log.
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serve.h"
#include "serve_rules.h"

static const char kUsage[] =
    "usage: veq-serve --cert FILE --key FILE --uploads DIR [--release DIR] [options]\n"
    "       veq-serve --plain --listen 127.0.0.1:PORT --uploads DIR [options]   (behind the edge proxy)\n"
    "  --listen HOST:PORT       address to serve on (default 127.0.0.1:443; port 0 takes any free port)\n"
    "  --cert FILE              server certificate chain, PEM, leaf first\n"
    "  --key FILE               private key of the certificate, PEM\n"
    "  --plain                  plain HTTP instead of TLS; only on a loopback address\n"
    "  --release DIR            serves DIR/patch/manifest.tsv and DIR/patch/blobs/<digest>\n"
    "  --register DIR           serves /register from DIR (DIR/index.html); without it /register is not found\n"
    "  --uploads DIR            stores POST /legacy/upload bodies in DIR\n"
    "  --upload-quota SIZE      bytes of uploads DIR may hold, K/M/G/T suffixes (default 4G; 0: no limit)\n"
    "  --upload-files N         files DIR may hold (default 100000; 0: no limit)\n"
    "  --upload-rate N          uploads one client address may start a minute (default 20; 0: no limit)\n"
    "  --trusted-proxy ADDR     the proxy whose X-Real-IP header names the client\n"
    "  --max-connections N      connections open at once (default 4096)\n"
    "  --per-address N          connections open at once from one address (default 64)\n"
    "  --header-timeout SECONDS TLS handshake, each request head, and an idle connection (default 10)\n"
    "  --stall-timeout SECONDS  a body or reply moving less than 16 KiB in this time is cut (default 20)\n"
    "  --grace SECONDS          on SIGTERM, how long transfers in flight may go on (default 30)\n"
    "  --threads N              event-loop threads, 1 to 1024 (default: one per CPU)\n"
    "  --log FILE               appends one line per request to FILE (default: standard error)\n"
    "  --help                   shows this text\n";

struct ServeArgs {
    const char* listen = "127.0.0.1:443";
    const char* cert = NULL;
    const char* key = NULL;
    const char* release = NULL;
    const char* registerDir = NULL;
    const char* uploads = NULL;
    const char* log = NULL;
    const char* trustedProxy = NULL;
    const char* quota = "4G";
    const char* files = "100000";
    const char* rate = "20";
    const char* maxConnections = "4096";
    const char* perAddress = "64";
    const char* headerTimeout = "10";
    const char* stallTimeout = "20";
    const char* grace = "30";
    const char* threads = NULL;
    int plain = 0;
};

static int IsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// 1 to run, 0 to exit with success (help shown), -1 for a usage error (already reported).
static int ParseArgs(int argc, char** argv, ServeArgs* a) {
    const struct { const char* name; const char** value; } kOptions[] = {
        { "--listen", &a->listen },       { "--cert", &a->cert },
        { "--key", &a->key },             { "--release", &a->release },
        { "--register", &a->registerDir }, { "--uploads", &a->uploads },
        { "--log", &a->log },             { "--trusted-proxy", &a->trustedProxy },
        { "--upload-quota", &a->quota },  { "--upload-rate", &a->rate },
        { "--upload-files", &a->files },
        { "--max-connections", &a->maxConnections }, { "--per-address", &a->perAddress },
        { "--header-timeout", &a->headerTimeout }, { "--stall-timeout", &a->stallTimeout },
        { "--grace", &a->grace },         { "--threads", &a->threads },
    };
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        int known = strcmp(argv[i], "--plain") == 0;
        a->plain |= known;
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
    if ((!a->plain && (!a->cert || !a->key)) || !a->uploads) {
        fprintf(stderr, "veq-serve: --uploads, and --cert and --key (or --plain), are required\n%s", kUsage);
        return -1;
    }
    return 1;
}

// A whole number from min to max, or -1.
static long ParseCount(const char* name, const char* text, long min, long max) {
    unsigned long long v = 0;
    if (ParseContentLength(text, strlen(text), &v) && v >= (unsigned long long)min && v <= (unsigned long long)max)
        return (long)v;
    fprintf(stderr, "veq-serve: %s wants %ld to %ld, got '%s'\n", name, min, max, text);
    return -1;
}

// Each connection may hold a socket and a file; the soft descriptor limit is raised as far as it goes, and the
// connection cap lowered to fit what it allows.
static int FitConnectionsToDescriptors(int wanted) {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return wanted;
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
    long fit = ((long)lim.rlim_cur - 64) / 2;
    if (fit >= wanted) return wanted;
    fprintf(stderr, "veq-serve: %llu descriptors allow %ld connections, not %d\n",
            (unsigned long long)lim.rlim_cur, fit, wanted);
    return fit > 1 ? (int)fit : 1;
}

int main(int argc, char** argv) {
    ServeArgs args;
    ServeOptions opts = {};
    ServeServer* server = NULL;
    sigset_t signals;
    char err[512];
    int signalNumber = 0, status = 2;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    char cpuText[16];

    int parsed = ParseArgs(argc, argv, &args);
    if (parsed <= 0) return parsed == 0 ? 0 : 2;
    snprintf(cpuText, sizeof cpuText, "%ld", cpus < 1 ? 1 : cpus > 64 ? 64 : cpus);
    if (!ParseListenAddress(args.listen, opts.host, sizeof opts.host, &opts.port)) {
        fprintf(stderr, "veq-serve: --listen wants IPV4:PORT, got '%s'\n", args.listen);
        goto done;
    }
    if (args.plain && !IsLoopbackHost(opts.host)) {  // no TLS is only safe where nobody else can listen in
        fprintf(stderr, "veq-serve: --plain serves on a loopback address only, not %s\n", opts.host);
        goto done;
    }
    if ((opts.threads = (int)ParseCount("--threads", args.threads ? args.threads : cpuText, 1, 1024)) < 0 ||
        (opts.maxConnections = (int)ParseCount("--max-connections", args.maxConnections, 1, 1000000)) < 0 ||
        (opts.perAddress = (int)ParseCount("--per-address", args.perAddress, 1, 1000000)) < 0 ||
        (opts.headerSeconds = (int)ParseCount("--header-timeout", args.headerTimeout, 1, 3600)) < 0 ||
        (opts.stallSeconds = (int)ParseCount("--stall-timeout", args.stallTimeout, 1, 3600)) < 0 ||
        (opts.graceSeconds = (int)ParseCount("--grace", args.grace, 0, 86400)) < 0)
        goto done;
    {
        long rate = ParseCount("--upload-rate", args.rate, 0, 1000000);
        if (rate < 0) goto done;
        opts.uploadsPerMinute = (unsigned)rate;
        long files = ParseCount("--upload-files", args.files, 0, 1000000000);
        if (files < 0) goto done;
        opts.uploadFiles = (unsigned long long)files;
    }
    if (!ParseByteSize(args.quota, &opts.uploadQuota)) {
        fprintf(stderr, "veq-serve: --upload-quota wants bytes, e.g. 4G, got '%s'\n", args.quota);
        goto done;
    }
    if ((args.release && !IsDirectory(args.release)) || !IsDirectory(args.uploads) ||
        (args.registerDir && !IsDirectory(args.registerDir))) {
        fprintf(stderr, "veq-serve: --release, --uploads and --register must name existing directories\n");
        goto done;
    }
    opts.maxConnections = FitConnectionsToDescriptors(opts.maxConnections);
    opts.plain = args.plain;
    opts.certFile = args.cert;
    opts.keyFile = args.key;
    opts.release = args.release;
    opts.registerDir = args.registerDir;
    opts.uploads = args.uploads;
    opts.logPath = args.log;
    opts.trustedProxy = args.trustedProxy;

    // Signals are taken by sigwait below, never by a handler on a serving thread; block them before any thread.
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-write is an error return, not our end

    status = 1;
    server = StartServe(&opts, err, sizeof err);
    if (!server) {
        fprintf(stderr, "veq-serve: %s\n", err);
        goto done;
    }
    fprintf(stderr, "veq-serve: listening on %s:%d\n", opts.host, ServePort(server));
    if (ServeStaleUploadsRemoved(server))
        fprintf(stderr, "veq-serve: removed %u temporary upload files left by an earlier run\n",
                ServeStaleUploadsRemoved(server));
    for (;;) {
        if (sigwait(&signals, &signalNumber) != 0) continue;
        if (signalNumber != SIGHUP) break;
        if (!ReopenServeLog(server)) fprintf(stderr, "veq-serve: cannot reopen log %s\n", args.log);
    }
    fprintf(stderr, "veq-serve: signal %d, stopping\n", signalNumber);
    StopServe(server);
    server = NULL;
    status = 0;
done:
    return status;
}

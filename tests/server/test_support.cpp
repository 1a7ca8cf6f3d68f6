#include "test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

// A server that hangs up on purpose must fail a write, not end the test binary.
static const int kSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), 1);

static double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int SpawnChild(const std::vector<std::string>& argv, const std::string& stderr_file, Child* child) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return 0;
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return 0;
    }
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(NULL);
        int err = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        dup2(out[1], 1);
        if (err >= 0) dup2(err, 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    child->pid = pid;
    child->out_fd = out[0];
    return 1;
}

int WaitForLine(Child* child, const char* line, int timeout_ms) {
    std::string seen;
    double deadline = NowMs() + timeout_ms;
    while (NowMs() < deadline) {
        struct pollfd p = { child->out_fd, POLLIN, 0 };
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[256];
        ssize_t n = read(child->out_fd, buf, sizeof buf);
        if (n <= 0) return 0;
        seen.append(buf, (size_t)n);
        if (seen.find(std::string(line) + "\n") != std::string::npos) return 1;
    }
    return 0;
}

int WaitChild(Child* child, int timeout_ms, int* status) {
    double deadline = NowMs() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(child->pid, status, WNOHANG);
        if (r == child->pid) {
            child->pid = -1;
            return 1;
        }
        if (NowMs() > deadline) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void EndChild(Child* child) {
    if (child->pid > 0) {
        int status;
        kill(child->pid, SIGKILL);
        waitpid(child->pid, &status, 0);
        child->pid = -1;
    }
    if (child->out_fd >= 0) close(child->out_fd);
    child->out_fd = -1;
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    socklen_t len = sizeof a;
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = -1;
    if (fd >= 0 && bind(fd, (struct sockaddr*)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr*)&a, &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

static int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int WaitForPort(int port, int timeout_ms) {
    double deadline = NowMs() + timeout_ms;
    while (NowMs() < deadline) {
        int fd = ConnectLoopback(port);
        if (fd >= 0) {
            close(fd);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

long ReadStatusKb(pid_t pid, const char* field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    std::ifstream in(path);
    std::string line;
    std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return atol(line.c_str() + key.size());
    return -1;
}

std::string TestPkiDir() {
    static std::once_flag once;
    static std::string dir = VEQ_TEST_PKI_DIR;
    std::call_once(once, [] {
        std::string cmd = std::string("'") + VEQ_MAKE_PKI + "' '" + dir + "' >/dev/null";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "make-pki failed for %s\n", dir.c_str());
    });
    return dir;
}

std::unique_ptr<httplib::SSLClient> TrustingClient(int port) {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    client->set_ca_cert_path(TestPkiDir() + "/ca.pem");
    client->enable_server_certificate_verification(true);
    client->set_read_timeout(20);
    client->set_write_timeout(20);
    return client;
}

std::string MakeTempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/veq-server-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return std::string(buf.data());
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveTree(const std::string& dir) {
    if (!dir.empty()) nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), (std::streamsize)data.size());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    return names;
}

std::string PatternBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13; x ^= x >> 17; x ^= x << 5;  // xorshift: every offset differs, so a shifted copy shows
        s[i] = (char)(x & 0xff);
    }
    return s;
}

struct TlsSession {
    int fd = -1;
    SSL_CTX* ctx = NULL;
    SSL* ssl = NULL;
    ~TlsSession() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) close(fd);
    }
};

static int OpenTls(int port, const TlsClientOptions& opts, TlsSession* s, TlsProbe* probe) {
    s->fd = ConnectLoopback(port);
    if (s->fd < 0) return 0;
    probe->connected = 1;
    s->ctx = SSL_CTX_new(TLS_client_method());
    if (!s->ctx) return 0;
    if (opts.security_level >= 0) {
        SSL_CTX_set_security_level(s->ctx, opts.security_level);
        SSL_CTX_set_cipher_list(s->ctx, "DEFAULT:@SECLEVEL=0");
    }
    SSL_CTX_set_min_proto_version(s->ctx, opts.min_version);
    SSL_CTX_set_max_proto_version(s->ctx, opts.max_version);
    if (!opts.ca_file.empty()) SSL_CTX_load_verify_locations(s->ctx, opts.ca_file.c_str(), NULL);
    SSL_CTX_set_verify(s->ctx, SSL_VERIFY_NONE, NULL);  // the result is read after the handshake instead
    s->ssl = SSL_new(s->ctx);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl), "127.0.0.1");
    SSL_set_fd(s->ssl, s->fd);
    if (SSL_connect(s->ssl) != 1) {
        ERR_clear_error();
        return 0;
    }
    probe->handshake = 1;
    probe->version = SSL_version(s->ssl);
    probe->verify = opts.ca_file.empty() ? -1 : SSL_get_verify_result(s->ssl);
    return 1;
}

TlsProbe ProbeTls(int port, const TlsClientOptions& opts) {
    TlsSession s;
    TlsProbe probe;
    OpenTls(port, opts, &s, &probe);
    return probe;
}

std::string RawReply::Header(const char* name) const {
    std::string key = std::string("\r\n") + name + ":";
    std::string lower_head = head, lower_key = key;
    for (auto& c : lower_head) c = (char)tolower((unsigned char)c);
    for (auto& c : lower_key) c = (char)tolower((unsigned char)c);
    size_t at = lower_head.find(lower_key);
    if (at == std::string::npos) return "";
    size_t start = at + key.size();
    size_t end = head.find("\r\n", start);
    std::string value = head.substr(start, end - start);
    while (!value.empty() && value[0] == ' ') value.erase(0, 1);
    return value;
}

static int WriteTls(SSL* ssl, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        int n = SSL_write(ssl, data.data() + done, (int)(data.size() - done));
        if (n <= 0) return 0;
        done += (size_t)n;
    }
    return 1;
}

int RawHttps(int port, const std::string& request, int timeout_ms, RawReply* reply) {
    TlsSession s;
    TlsProbe probe;
    TlsClientOptions opts;
    if (!OpenTls(port, opts, &s, &probe)) return 0;
    double start = NowMs();
    if (!WriteTls(s.ssl, request)) return 0;
    std::string all;
    size_t head_end = std::string::npos;
    for (;;) {
        if (SSL_pending(s.ssl) == 0) {
            struct pollfd p = { s.fd, POLLIN, 0 };
            if (poll(&p, 1, timeout_ms) <= 0) break;  // quiet for too long: the caller decides what that means
        }
        char buf[16384];
        int n = SSL_read(s.ssl, buf, sizeof buf);
        if (n <= 0) {
            int e = SSL_get_error(s.ssl, n);
            ERR_clear_error();
            if (e == SSL_ERROR_WANT_READ) continue;
            reply->closed = 1;
            break;
        }
        all.append(buf, (size_t)n);
        if (head_end == std::string::npos) head_end = all.find("\r\n\r\n");
        if (head_end != std::string::npos) reply->trace.push_back({ NowMs() - start, all.size() - head_end - 4 });
    }
    if (head_end == std::string::npos) {
        reply->head = all;
        return all.empty() ? 0 : 1;
    }
    reply->head = all.substr(0, head_end + 2);
    reply->body = all.substr(head_end + 4);
    if (reply->head.compare(0, 9, "HTTP/1.1 ") == 0) reply->status = atoi(reply->head.c_str() + 9);
    return 1;
}

std::string RawHttp(int port, const std::string& request, int timeout_ms) {
    std::string all;
    int fd = ConnectLoopback(port);
    if (fd < 0) return all;
    if (write(fd, request.data(), request.size()) == (ssize_t)request.size()) {
        for (;;) {
            struct pollfd p = { fd, POLLIN, 0 };
            char buf[4096];
            if (poll(&p, 1, timeout_ms) <= 0) break;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            all.append(buf, (size_t)n);
        }
    }
    close(fd);
    return all;
}

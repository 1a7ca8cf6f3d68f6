#pragma once
// Helpers of the server tests: child processes, temporary trees, and a bare TLS client that sees what
// a library client would smooth over (a cut body, a stall, a failed handshake).
#include <httplib.h>
#include <openssl/ssl.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

struct Child {
    pid_t pid = -1;
    int out_fd = -1;  // its standard output
};

// Starts argv[0] with stdout on a pipe and stderr appended to stderr_file. Returns 0 when fork/exec failed.
int SpawnChild(const std::vector<std::string>& argv, const std::string& stderr_file, Child* child);
// Waits for the line on the child's stdout; 0 on timeout or end of output.
int WaitForLine(Child* child, const char* line, int timeout_ms);
// 1 when the child exited within the time; *status as waitpid gives it.
int WaitChild(Child* child, int timeout_ms, int* status);
// Kills (SIGKILL) and reaps a child still running.
void EndChild(Child* child);

int FreePort();
int WaitForPort(int port, int timeout_ms);
long ReadStatusKb(pid_t pid, const char* field);  // VmRSS, VmHWM, ... from /proc

std::string TestPkiDir();  // made once by tests/harness/make-pki, shared by all tests
// A client of the HTTPS listener that checks the certificate against the test CA, as the launcher does.
std::unique_ptr<httplib::SSLClient> TrustingClient(int port);
std::string MakeTempDir();
void RemoveTree(const std::string& dir);
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);  // every entry but . and .., hidden ones too
std::string PatternBytes(size_t n, unsigned seed);      // deterministic non-repeating-looking content

struct TlsClientOptions {
    int min_version = TLS1_2_VERSION;
    int max_version = TLS1_3_VERSION;
    int security_level = -1;  // 0 lets OpenSSL 3 offer TLS 1.1
    std::string ca_file;      // the verify result is checked against this CA ("" skips)
};

struct TlsProbe {
    int connected = 0;   // TCP connect worked
    int handshake = 0;   // TLS handshake completed
    int version = 0;     // negotiated protocol
    long verify = -1;    // X509_V_OK when the chain and the name 127.0.0.1 check out
};
TlsProbe ProbeTls(int port, const TlsClientOptions& opts);

// One request on a fresh TLS connection, read until the server closes it or timeout_ms pass without data.
struct RawReply {
    int status = 0;
    std::string head;                   // status line and headers
    std::string body;                   // bytes after the headers, as sent (not de-chunked)
    int closed = 0;                     // the server ended the connection
    std::vector<std::pair<double, size_t>> trace;  // (ms since the request, body bytes so far) per read
    std::string Header(const char* name) const;   // "" when absent
};
int RawHttps(int port, const std::string& request, int timeout_ms, RawReply* reply);
// The same over plain TCP (the control port); returns everything read.
std::string RawHttp(int port, const std::string& request, int timeout_ms);

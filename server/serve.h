#pragma once
// The service host over HTTPS: patch manifest and blobs from a release directory, the registration pages, and the
// diagnostics upload endpoint. veq-serve runs it for operators; the test harness runs the same code.
#include <httplib.h>
#include <stdio.h>

#include <mutex>

const size_t kServePathCap = 1024;
const size_t kServeDirCap = kServePathCap - 128;  // room for "/patch/blobs/<digest>" and upload names

struct ServeDirPaths {
    char release[kServePathCap];       // files at <release>/patch/manifest.tsv and <release>/patch/blobs/<digest>
    char register_dir[kServePathCap];  // "" serves no registration pages
    char uploads[kServePathCap];
};

// The directories can be swapped while requests run; each request works on a copy taken when it arrives.
struct ServeDirs {
    std::mutex lock;
    ServeDirPaths paths;
};

// Sets the directories that are not NULL. Returns 0, changing nothing, when one is longer than kServeDirCap - 1.
int SetServeDirs(ServeDirs* dirs, const char* release, const char* register_dir, const char* uploads);
void CopyServeDirs(ServeDirs* dirs, ServeDirPaths* out);

struct ServeTls {
    const char* cert_file;    // PEM chain, leaf first
    const char* key_file;
    int min_version;          // TLS1_2_VERSION and so on
    int max_version;
    const char* cipher_list;  // NULL keeps OpenSSL's default
    int security_level;       // -1 keeps OpenSSL's default
};

// What one request did: filled by RouteRequest, read by the log and by hooks.
struct ServeExchange {
    const httplib::Request* req;
    httplib::Response* res;
    ServeDirPaths dirs;                // as they were when the request arrived
    unsigned long long request_bytes;  // request body bytes read
    int body_read;                     // the request body has been consumed (it can be read once)
    int close_after;                   // the request body was left unread: this reply ends the connection
    unsigned long long reply_bytes;    // body bytes the reply announces
    char stored[kServePathCap];        // where an upload was stored, or ""
    // A file reply is held open here until the hook has run; a hook may take the descriptor (set it to -1)
    // to send the bytes its own way.
    int body_fd;
    unsigned long long body_size;
    char body_type[96];
};

struct ServeHooks {
    void* ctx;
    // Called for every request in place of RouteRequest; it decides whether and how to call RouteRequest. The
    // reader is NULL for requests without a body to stream (GET, HEAD).
    void (*handle)(void* ctx, ServeExchange* ex, const httplib::ContentReader* reader);
};

struct ServeOptions {
    char host[64];
    int port;                // 0 takes any free port; see ServePort
    int threads;             // connections served at once; more wait for a free thread
    int keep_alive_seconds;  // idle time a connection is kept, and so the longest wait of StopServe for one
    ServeTls tls;
    ServeDirs* dirs;
    FILE* log;               // one line per request; NULL logs nothing
    ServeHooks hooks;
};

struct ServeServer;

// Binds and starts serving on a thread of its own; returns once connections are accepted, or NULL with the
// reason in err.
ServeServer* StartServe(const ServeOptions* options, char* err, size_t err_cap);
int ServePort(const ServeServer* server);
// Stops accepting, finishes the requests in progress and frees the server.
void StopServe(ServeServer* server);

// The normal handling of one request.
void RouteRequest(ServeExchange* ex, const httplib::ContentReader* reader);

// Reply helpers shared with hooks. SetReplyFile holds a regular file open for the reply; it returns 0, setting
// nothing, when the file cannot be opened or is not a regular file.
void SetReplyText(ServeExchange* ex, int status, const char* text);
int SetReplyFile(ServeExchange* ex, int status, const char* path, const char* content_type);

// Reads and drops a request body that is not wanted. Returns 0, and marks the connection to be closed, when the
// body cannot be read to its end or is longer than an upload may be.
int DiscardRequestBody(ServeExchange* ex, const httplib::ContentReader* reader);

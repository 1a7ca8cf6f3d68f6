#pragma once
// The service host: patch manifest and blobs from a release directory, the registration pages and the diagnostics
// upload endpoint, over HTTPS, or over plain HTTP on loopback behind the edge proxy. A few event-loop threads serve
// every connection, and every phase of a connection has a deadline, so a slow or silent client costs a little
// memory, never a thread.
#include <stddef.h>

struct ServeOptions {
    char host[64];
    int port;                        // 0 takes any free port; see ServePort
    int plain;                       // HTTP without TLS, for a loopback address behind the edge proxy
    const char* certFile;            // PEM chain, leaf first (not for plain)
    const char* keyFile;
    const char* release;             // serves <release>/patch/...; NULL or "" serves no release
    const char* registerDir;         // NULL or "": /register is not found
    const char* uploads;             // where POST /legacy/upload bodies are stored
    const char* logPath;             // access log, appended to; NULL: standard error
    const char* trustedProxy;        // the peer whose X-Real-IP names the client; NULL: nobody's
    int threads;                     // event-loop threads
    int maxConnections;              // connections open at once, all addresses together
    int perAddress;                  // connections open at once from one address (the trusted proxy has no cap)
    int headerSeconds;               // for the TLS handshake, for each request head, and for an idle connection
    int stallSeconds;                // a request body or a reply that moves less than 16 KiB in this time is cut
    int graceSeconds;                // how long StopServe lets transfers in flight go on
    unsigned long long uploadQuota;  // bytes of uploads the upload directory may hold; 0: no limit
    unsigned long long uploadFiles;  // files it may hold; 0: no limit
    unsigned uploadsPerMinute;       // uploads one client address may start a minute; 0: no limit
};

struct ServeServer;

// Binds, listens and starts serving on threads of its own; NULL with the reason in err.
ServeServer* StartServe(const ServeOptions* options, char* err, size_t errCap);
int ServePort(const ServeServer* server);
// Temporary upload files of an earlier run that StartServe removed.
unsigned ServeStaleUploadsRemoved(const ServeServer* server);
// Opens the access log again under its name (after a rotation). 0, keeping the old one, when it cannot.
int ReopenServeLog(ServeServer* server);
// Stops accepting and closes idle connections; requests in flight finish within the grace period, then whatever
// is left is cut. Frees the server.
void StopServe(ServeServer* server);

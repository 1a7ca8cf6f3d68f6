#pragma once
#include <stddef.h>
#include <time.h>

// Decisions of the service host that need no network: which route a request takes, which names an upload and a
// registration file may have, when a cached blob is still current, how a log field is written.

const size_t kDigestChars = 64;
const unsigned long long kMaxUploadBytes = 67108864;  // 64 MiB, inclusive: the launcher's own file limit
const size_t kUploadNameCap = 64;                     // "dump-20250101T000000Z-0123456789abcdef.bin" and more
const size_t kRegisterNameCap = 256;

enum ServeRoute {
    kRouteNotFound,
    kRouteBadMethod,  // a known path asked with a method it does not take
    kRouteManifest,
    kRouteBlob,
    kRouteRegister,
    kRouteUpload,
};

// Route for a method and a decoded path (no query). GET and HEAD read, POST uploads; nothing else is taken.
ServeRoute ClassifyRoute(const char* method, size_t method_len, const char* path, size_t path_len);

// 1 for exactly 64 lower-case hexadecimal digits: blobs are stored under that one spelling only.
int IsBlobDigest(const char* s, size_t n);

// 1 for the upload tags the launcher sends: "zqlog" and "dump", exact case.
int IsUploadTag(const char* s, size_t n);

// Reads a Content-Length value: decimal digits only, no sign or blank, at most 20 digits. 0 when malformed.
int ParseContentLength(const char* s, size_t n, unsigned long long* value);

// 1 when an If-None-Match value names the blob's entity tag "<digest>" (weak or strong form) or is "*".
int EntityTagMatches(const char* if_none_match, size_t n, const char* digest);

// Maps a decoded path under "/register" to a file name relative to the registration directory: "" and "/" become
// "index.html", a trailing "/" names that folder's index.html. Every name between slashes must be made of
// letters, digits, '_', '-' and '.', and must not begin with '.', so nothing can climb out or reach hidden files.
// Returns 0 when the path is refused or the name does not fit in cap.
int MapRegisterPath(const char* path, size_t n, char* name, size_t cap);

// "<tag>-<UTC yyyymmddThhmmssZ>-<16 hex of random>.bin". Returns 0 when the tag is not an upload tag or the
// name does not fit.
int FormatUploadName(char* buf, size_t cap, const char* tag, time_t when, const unsigned char random[8]);

// "HOST:PORT" with a dotted IPv4 host and a port of 0 to 65535 (0: any free port). Returns 0 when malformed.
int ParseListenAddress(const char* text, char* host, size_t host_cap, int* port);

// Copies s[0..n) into out[cap] with control bytes, bytes above 126, '"' and '\' written as \xNN, so a log line
// stays one line and its separators stay separators. The result is always terminated; a cut never splits an
// escape.
void EscapeLogField(const char* s, size_t n, char* out, size_t cap);

// Content-Type for a served file name, by its extension, ignoring ASCII case.
const char* ContentTypeForName(const char* name);

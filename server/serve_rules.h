#pragma once
#include <stddef.h>
#include <time.h>

// Decisions of the service host that need no network: which route a request takes, which names an upload and a
// registration file may have, which part of a blob a Range asks for, when a cached copy is still current, how
// fast one address may upload, how a log field is written.

const size_t kDigestChars = 64;
const unsigned long long kMaxUploadBytes = 67108864;  // 64 MiB, inclusive: the launcher's own file limit
const size_t kUploadNameCap = 64;                     // "dump-20250101T000000Z-0123456789abcdef.bin" and more
const size_t kRegisterNameCap = 256;
const size_t kHttpDateCap = 30;                       // "Sun, 06 Nov 1994 08:49:37 GMT" and its terminator
const size_t kAddressCap = 64;                        // an IPv4 or IPv6 address as text

enum ServeRoute {
    kRouteNotFound,
    kRouteBadMethod,  // a known path asked with a method it does not take
    kRouteManifest,
    kRouteManifestSig,  // the manifest's signature: cached like the manifest
    kRouteBlob,
    kRouteChunks,       // a blob's chunk index, named by the blob's digest: cached like a blob
    kRouteRegister,
    kRouteUpload,
};

// Route for a method and a path exactly as sent (no query). Nothing is percent-decoded: no served name needs
// encoding, so an encoded path ("/patch%2Fmanifest.tsv") never names a served file. GET and HEAD read, POST
// uploads; nothing else is taken.
ServeRoute ClassifyRoute(const char* method, size_t methodLen, const char* path, size_t pathLen);

// 1 for exactly 64 lower-case hexadecimal digits: blobs are stored under that one spelling only.
int IsBlobDigest(const char* s, size_t n);

// 1 for the upload tags the launcher sends: "zqlog" and "dump", exact case.
int IsUploadTag(const char* s, size_t n);

// 1 for "application/octet-stream" (any letter case, parameters after ';' allowed): the only upload body taken.
int IsOctetStream(const char* s, size_t n);

// Finds name=value in a raw query ("a=1&tag=zqlog"); the value is not decoded. 0 when the name is absent.
int FindQueryValue(const char* query, size_t n, const char* name, const char** value, size_t* valueLen);

// Reads a Content-Length value: decimal digits only, no sign or blank, at most 20 digits. 0 when malformed.
int ParseContentLength(const char* s, size_t n, unsigned long long* value);

// 1 when an If-None-Match value names the entity tag "<tag>" (weak or strong form) or is "*".
int EntityTagMatches(const char* ifNoneMatch, size_t n, const char* tag);

// 1 when an If-Range value is exactly the strong tag "<tag>". Dates never match: a range is only resumed against
// the very bytes it started from, and blobs carry no Last-Modified.
int IfRangeMatches(const char* ifRange, size_t n, const char* tag);

enum RangeAnswer {
    kRangeWhole,          // no usable Range (absent, malformed, another unit, several ranges): send everything
    kRangePart,           // one satisfiable range: [first, last], inclusive
    kRangeUnsatisfiable,  // one well-formed range that starts at or past the end
};

// Reads a Range value for a representation of `size` bytes: "bytes=N-", "bytes=N-M" or "bytes=-S".
RangeAnswer ParseRange(const char* s, size_t n, unsigned long long size, unsigned long long* first,
                       unsigned long long* last);

// IMF-fixdate, the one form sent ("Sun, 06 Nov 1994 08:49:37 GMT"). ParseHttpDate takes only that form; a date
// it refuses is ignored by the caller, which then answers in full.
void FormatHttpDate(time_t when, char* buf, size_t cap);
int ParseHttpDate(const char* s, size_t n, time_t* when);

// Maps a path under "/register" to a file name relative to the registration directory: "" and "/" become
// "index.html", a trailing "/" names that folder's index.html. Every name between slashes must be made of
// letters, digits, '_', '-' and '.', and must not begin with '.', so nothing can climb out or reach hidden files.
// Returns 0 when the path is refused or the name does not fit in cap.
int MapRegisterPath(const char* path, size_t n, char* name, size_t cap);

// "<tag>-<UTC yyyymmddThhmmssZ>-<16 hex of random>.bin". Returns 0 when the tag is not an upload tag or the
// name does not fit.
int FormatUploadName(char* buf, size_t cap, const char* tag, time_t when, const unsigned char random[8]);

// "HOST:PORT" with a dotted IPv4 host and a port of 0 to 65535 (0: any free port). Returns 0 when malformed.
int ParseListenAddress(const char* text, char* host, size_t hostCap, int* port);

// 1 for a dotted IPv4 address in 127.0.0.0/8.
int IsLoopbackHost(const char* host);

// A byte count with an optional binary suffix: "100000", "512K", "64M", "4G", "1T". 0 when malformed or too big.
int ParseByteSize(const char* text, unsigned long long* value);

// Uploads one client address may start: a bucket of perMinute uploads, refilled evenly over a minute.
struct RateBucket {
    double tokens;
    long long lastMs;  // below 0: never used, so full
};
// 1, taking one upload, when the bucket has one at nowMs; 0 leaves the bucket as it was.
int TakeRateToken(RateBucket* bucket, long long nowMs, unsigned perMinute);

// The address a request comes from: what the trusted proxy says in X-Real-IP when the peer is that proxy and the
// value is an IP address, else the peer itself. Returns 1 when the proxy's word was taken.
int ChooseClientAddress(const char* peer, const char* trustedProxy, const char* realIp, size_t realIpLen, char* out,
                        size_t cap);

// Copies s[0..n) into out[cap] with control bytes, bytes above 126, '"' and '\' written as \xNN, so a log line
// stays one line and its separators stay separators. The result is always terminated; a cut never splits an
// escape.
void EscapeLogField(const char* s, size_t n, char* out, size_t cap);

// Content-Type for a served file name, by its extension, ignoring ASCII case.
const char* ContentTypeForName(const char* name);

// The reason phrase of a status this server sends ("" for others).
const char* StatusReason(int status);

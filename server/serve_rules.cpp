#include "serve_rules.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

static const char kBlobPrefix[] = "/patch/blobs/";
static const char kChunksPrefix[] = "/patch/chunks/";
static const char kManifestPath[] = "/patch/manifest.tsv";
static const char kSignaturePath[] = "/patch/manifest.tsv.sig";
static const char kRegisterPath[] = "/register";
static const char kUploadPath[] = "/legacy/upload";

static int Equals(const char* s, size_t n, const char* literal) {
    return strlen(literal) == n && memcmp(s, literal, n) == 0;
}

static int StartsWith(const char* s, size_t n, const char* literal) {
    size_t len = strlen(literal);
    return n >= len && memcmp(s, literal, len) == 0;
}

ServeRoute ClassifyRoute(const char* method, size_t methodLen, const char* path, size_t pathLen) {
    ServeRoute route = kRouteNotFound;
    int reads = 0;  // the route is one that GET and HEAD fetch
    if (Equals(path, pathLen, kManifestPath)) {
        route = kRouteManifest; reads = 1;
    } else if (Equals(path, pathLen, kSignaturePath)) {
        route = kRouteManifestSig; reads = 1;
    } else if (StartsWith(path, pathLen, kBlobPrefix) &&
               IsBlobDigest(path + strlen(kBlobPrefix), pathLen - strlen(kBlobPrefix))) {
        route = kRouteBlob; reads = 1;
    } else if (StartsWith(path, pathLen, kChunksPrefix) &&
               IsBlobDigest(path + strlen(kChunksPrefix), pathLen - strlen(kChunksPrefix))) {
        route = kRouteChunks; reads = 1;
    } else if (Equals(path, pathLen, kRegisterPath) ||
               (StartsWith(path, pathLen, kRegisterPath) && path[strlen(kRegisterPath)] == '/')) {
        route = kRouteRegister; reads = 1;
    } else if (Equals(path, pathLen, kUploadPath)) {
        route = kRouteUpload;
    }
    if (route == kRouteNotFound) return route;
    int get = Equals(method, methodLen, "GET") || Equals(method, methodLen, "HEAD");
    int post = Equals(method, methodLen, "POST");
    if (reads ? !get : !post) return kRouteBadMethod;
    return route;
}

int IsBlobDigest(const char* s, size_t n) {
    if (n != kDigestChars) return 0;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    return 1;
}

int IsUploadTag(const char* s, size_t n) {
    return Equals(s, n, "zqlog") || Equals(s, n, "dump");
}

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

static int LowerAscii(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

static int EqualsNoCase(const char* s, size_t n, const char* literal) {
    if (strlen(literal) != n) return 0;
    for (size_t i = 0; i < n; i++)
        if (LowerAscii((unsigned char)s[i]) != literal[i]) return 0;
    return 1;
}

static void TrimBlanks(const char** s, size_t* n) {
    while (*n > 0 && IsBlank(**s)) { (*s)++; (*n)--; }
    while (*n > 0 && IsBlank((*s)[*n - 1])) (*n)--;
}

// 1 when text[0..n) is "<tag>" in quotes.
static int IsQuotedTag(const char* text, size_t n, const char* tag) {
    return n >= 2 && text[0] == '"' && text[n - 1] == '"' && n - 2 == strlen(tag) && memcmp(text + 1, tag, n - 2) == 0;
}

int EntityTagMatches(const char* s, size_t n, const char* tag) {
    size_t i = 0;
    while (i < n) {
        size_t start = i;
        while (i < n && s[i] != ',') i++;
        const char* item = s + start;
        size_t len = i - start;
        i++;
        TrimBlanks(&item, &len);
        if (len == 1 && item[0] == '*') return 1;
        if (len >= 2 && item[0] == 'W' && item[1] == '/') { item += 2; len -= 2; }  // If-None-Match compares weakly
        if (IsQuotedTag(item, len, tag)) return 1;
    }
    return 0;
}

int IfRangeMatches(const char* s, size_t n, const char* tag) {
    TrimBlanks(&s, &n);
    return IsQuotedTag(s, n, tag);
}

// Decimal digits [s, s + n) into *value; 0 when empty, not digits, or past 2^64 - 1.
static int ParseUnsigned(const char* s, size_t n, unsigned long long* value) {
    unsigned long long v = 0;
    if (n == 0) return 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return 0;
        unsigned digit = (unsigned)(s[i] - '0');
        if (v > (~0ULL - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    *value = v;
    return 1;
}

int ParseContentLength(const char* s, size_t n, unsigned long long* value) {
    return n <= 20 && ParseUnsigned(s, n, value);
}

int IsOctetStream(const char* s, size_t n) {
    const char* semi = (const char*)memchr(s, ';', n);
    size_t len = semi ? (size_t)(semi - s) : n;
    TrimBlanks(&s, &len);
    return EqualsNoCase(s, len, "application/octet-stream");
}

int FindQueryValue(const char* query, size_t n, const char* name, const char** value, size_t* valueLen) {
    size_t nameLen = strlen(name);
    size_t i = 0;
    while (i < n) {
        size_t start = i;
        while (i < n && query[i] != '&') i++;
        if (i - start > nameLen && memcmp(query + start, name, nameLen) == 0 && query[start + nameLen] == '=') {
            *value = query + start + nameLen + 1;
            *valueLen = i - start - nameLen - 1;
            return 1;
        }
        i++;
    }
    return 0;
}

RangeAnswer ParseRange(const char* s, size_t n, unsigned long long size, unsigned long long* first,
                       unsigned long long* last) {
    static const char kUnit[] = "bytes=";
    unsigned long long a = 0, b = 0;
    TrimBlanks(&s, &n);
    if (n < sizeof kUnit - 1 || !EqualsNoCase(s, sizeof kUnit - 1, kUnit)) return kRangeWhole;
    s += sizeof kUnit - 1;
    n -= sizeof kUnit - 1;
    TrimBlanks(&s, &n);
    const char* dash = (const char*)memchr(s, '-', n);
    if (!dash || memchr(s, ',', n)) return kRangeWhole;  // several ranges are answered whole
    size_t left = (size_t)(dash - s), right = n - left - 1;
    if (left == 0) {  // "-S": the last S bytes
        if (!ParseUnsigned(dash + 1, right, &b)) return kRangeWhole;
        if (b == 0 || size == 0) return kRangeUnsatisfiable;
        *first = b >= size ? 0 : size - b;
        *last = size - 1;
        return kRangePart;
    }
    if (!ParseUnsigned(s, left, &a)) return kRangeWhole;
    if (right == 0) {
        b = size == 0 ? 0 : size - 1;
    } else if (!ParseUnsigned(dash + 1, right, &b) || b < a) {
        return kRangeWhole;  // "N-M" with M < N is not a range at all
    }
    if (a >= size) return kRangeUnsatisfiable;
    *first = a;
    *last = b >= size ? size - 1 : b;
    return kRangePart;
}

static const char* const kDays[] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
static const char* const kMonths[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };

void FormatHttpDate(time_t when, char* buf, size_t cap) {
    struct tm t;
    if (cap == 0) return;
    buf[0] = '\0';
    if (!gmtime_r(&when, &t)) return;
    snprintf(buf, cap, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday], t.tm_mday, kMonths[t.tm_mon],
             t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

// Exactly `digits` decimal digits at s.
static int FixedNumber(const char* s, int digits, int* value) {
    unsigned long long v = 0;
    if (!ParseUnsigned(s, (size_t)digits, &v)) return 0;
    *value = (int)v;
    return 1;
}

int ParseHttpDate(const char* s, size_t n, time_t* when) {
    // "Sun, 06 Nov 1994 08:49:37 GMT": every field at a fixed place
    static const char kShape[] = "Www, DD Mmm YYYY HH:MM:SS GMT";
    struct tm t;
    int month = -1;
    TrimBlanks(&s, &n);
    if (n != sizeof kShape - 1) return 0;
    for (size_t i = 0; i < n; i++)
        if (strchr(",: ", kShape[i]) && s[i] != kShape[i]) return 0;
    if (memcmp(s + 26, "GMT", 3) != 0) return 0;
    for (int m = 0; m < 12; m++)
        if (memcmp(s + 8, kMonths[m], 3) == 0) month = m;
    memset(&t, 0, sizeof t);
    if (month < 0 || !FixedNumber(s + 5, 2, &t.tm_mday) || !FixedNumber(s + 12, 4, &t.tm_year) ||
        !FixedNumber(s + 17, 2, &t.tm_hour) || !FixedNumber(s + 20, 2, &t.tm_min) ||
        !FixedNumber(s + 23, 2, &t.tm_sec))
        return 0;
    if (t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 60) return 0;
    t.tm_mon = month;
    t.tm_year -= 1900;
    *when = timegm(&t);
    return 1;
}

static int IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

int MapRegisterPath(const char* path, size_t n, char* name, size_t cap) {
    static const char kIndex[] = "index.html";
    size_t base = strlen(kRegisterPath);
    if (cap == 0) return 0;
    name[0] = '\0';
    if (!StartsWith(path, n, kRegisterPath)) return 0;
    if (n > base && path[base] != '/') return 0;  // "/registerX" is another path
    size_t out = 0;
    size_t i = base + 1;                           // first byte after "/register/"
    while (i < n) {
        size_t start = i;
        while (i < n && path[i] != '/') i++;
        if (i == start || path[start] == '.') return 0;  // "//", ".", "..", ".hidden"
        for (size_t k = start; k < i; k++)
            if (!IsNameByte(path[k])) return 0;
        size_t len = i - start;
        if (out + len + 2 > cap) return 0;
        memcpy(name + out, path + start, len);
        out += len;
        if (i < n) { name[out++] = '/'; i++; }     // keep the slash; a trailing one leaves a folder name
    }
    if (out == 0 || name[out - 1] == '/') {
        if (out + sizeof kIndex > cap) return 0;
        memcpy(name + out, kIndex, sizeof kIndex);
        return 1;
    }
    name[out] = '\0';
    return 1;
}

int FormatUploadName(char* buf, size_t cap, const char* tag, time_t when, const unsigned char random[8]) {
    struct tm t;
    if (cap == 0) return 0;
    buf[0] = '\0';
    if (!IsUploadTag(tag, strlen(tag)) || !gmtime_r(&when, &t)) return 0;
    int len = snprintf(buf, cap, "%s-%04d%02d%02dT%02d%02d%02dZ-%02x%02x%02x%02x%02x%02x%02x%02x.bin", tag,
                       t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, random[0],
                       random[1], random[2], random[3], random[4], random[5], random[6], random[7]);
    if (len < 0 || (size_t)len >= cap) { buf[0] = '\0'; return 0; }
    return 1;
}

static int ParseDecimal(const char* s, size_t n, unsigned long max, unsigned long* value) {
    unsigned long v = 0;
    if (n == 0 || n > 5) return 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return 0;
        v = v * 10 + (unsigned long)(s[i] - '0');
    }
    if (v > max) return 0;
    *value = v;
    return 1;
}

int ParseListenAddress(const char* text, char* host, size_t hostCap, int* port) {
    const char* colon = strrchr(text, ':');
    if (!colon || hostCap == 0) return 0;
    size_t hostLen = (size_t)(colon - text);
    unsigned long part = 0, portValue = 0;
    int parts = 0;
    const char* p = text;
    while (p < colon) {  // four dotted decimal parts of 0..255, no empty ones
        const char* dot = (const char*)memchr(p, '.', (size_t)(colon - p));
        const char* end = dot ? dot : colon;
        if (!ParseDecimal(p, (size_t)(end - p), 255, &part) || end - p > 3) return 0;
        parts++;
        p = dot ? dot + 1 : colon;
        if (dot && p == colon) return 0;
    }
    if (parts != 4 || hostLen + 1 > hostCap) return 0;
    if (!ParseDecimal(colon + 1, strlen(colon + 1), 65535, &portValue)) return 0;
    memcpy(host, text, hostLen);
    host[hostLen] = '\0';
    *port = (int)portValue;
    return 1;
}

void EscapeLogField(const char* s, size_t n, char* out, size_t cap) {
    static const char kHex[] = "0123456789abcdef";
    size_t o = 0;
    if (cap == 0) return;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            if (o + 4 >= cap) break;
            out[o++] = '\\'; out[o++] = 'x'; out[o++] = kHex[c >> 4]; out[o++] = kHex[c & 15];
        } else {
            if (o + 1 >= cap) break;
            out[o++] = (char)c;
        }
    }
    out[o] = '\0';
}

static int EndsWithNoCase(const char* s, const char* suffix) {
    size_t n = strlen(s), m = strlen(suffix);
    if (m > n) return 0;
    for (size_t i = 0; i < m; i++) {
        if (LowerAscii((unsigned char)s[n - m + i]) != suffix[i]) return 0;  // ASCII only, whatever the locale says
    }
    return 1;
}

const char* ContentTypeForName(const char* name) {
    static const struct { const char* ext; const char* type; } kTypes[] = {
        { ".html", "text/html; charset=utf-8" }, { ".htm", "text/html; charset=utf-8" },
        { ".css", "text/css" },                  { ".js", "text/javascript" },
        { ".json", "application/json" },         { ".txt", "text/plain; charset=utf-8" },
        { ".png", "image/png" },                 { ".jpg", "image/jpeg" },
        { ".jpeg", "image/jpeg" },               { ".gif", "image/gif" },
        { ".svg", "image/svg+xml" },             { ".ico", "image/x-icon" },
        { ".woff2", "font/woff2" },              { ".tsv", "text/tab-separated-values; charset=utf-8" },
    };
    for (const auto& t : kTypes)
        if (EndsWithNoCase(name, t.ext)) return t.type;
    return "application/octet-stream";
}

int IsLoopbackHost(const char* host) {
    char copy[kAddressCap];
    int port = 0;
    if (snprintf(copy, sizeof copy, "%s:0", host) >= (int)sizeof copy) return 0;
    char parsed[kAddressCap];
    return ParseListenAddress(copy, parsed, sizeof parsed, &port) && strncmp(host, "127.", 4) == 0;
}

int ParseByteSize(const char* text, unsigned long long* value) {
    static const char kSuffixes[] = "KMGT";
    size_t n = strlen(text);
    unsigned shift = 0;
    unsigned long long v = 0;
    const char* suffix = n > 0 ? strchr(kSuffixes, text[n - 1]) : NULL;
    if (suffix && *suffix) {
        shift = 10 * (unsigned)(suffix - kSuffixes + 1);
        n--;
    }
    if (!ParseUnsigned(text, n, &v) || v > (~0ULL >> shift)) return 0;
    *value = v << shift;
    return 1;
}

int TakeRateToken(RateBucket* bucket, long long nowMs, unsigned perMinute) {
    double tokens = bucket->tokens;
    if (bucket->lastMs < 0) {
        tokens = perMinute;
    } else if (nowMs > bucket->lastMs) {
        tokens += (double)(nowMs - bucket->lastMs) * perMinute / 60000.0;
        if (tokens > perMinute) tokens = perMinute;
    }
    if (tokens < 1.0) return 0;
    bucket->tokens = tokens - 1.0;
    bucket->lastMs = nowMs > bucket->lastMs ? nowMs : bucket->lastMs;
    return 1;
}

int ChooseClientAddress(const char* peer, const char* trustedProxy, const char* realIp, size_t realIpLen, char* out,
                        size_t cap) {
    unsigned char parsed[16];
    char value[kAddressCap];
    int forwarded = trustedProxy && trustedProxy[0] && strcmp(peer, trustedProxy) == 0 && realIpLen > 0 &&
                    realIpLen < sizeof value;
    if (forwarded) {
        memcpy(value, realIp, realIpLen);
        value[realIpLen] = '\0';
        forwarded = inet_pton(AF_INET, value, parsed) == 1 || inet_pton(AF_INET6, value, parsed) == 1;
    }
    snprintf(out, cap, "%s", forwarded ? value : peer);
    return forwarded;
}

const char* StatusReason(int status) {
    static const struct { int status; const char* reason; } kReasons[] = {
        { 100, "Continue" },         { 200, "OK" },
        { 206, "Partial Content" },  { 304, "Not Modified" },
        { 400, "Bad Request" },      { 404, "Not Found" },
        { 405, "Method Not Allowed" }, { 408, "Request Timeout" },
        { 411, "Length Required" },  { 413, "Content Too Large" },
        { 415, "Unsupported Media Type" }, { 416, "Range Not Satisfiable" },
        { 429, "Too Many Requests" }, { 431, "Request Header Fields Too Large" },
        { 500, "Internal Server Error" }, { 503, "Service Unavailable" },
        { 507, "Insufficient Storage" },
    };
    for (const auto& r : kReasons)
        if (r.status == status) return r.reason;
    return "";
}

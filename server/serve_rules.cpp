#include "serve_rules.h"

#include <stdio.h>
#include <string.h>

static const char kBlobPrefix[] = "/patch/blobs/";
static const char kManifestPath[] = "/patch/manifest.tsv";
static const char kRegisterPath[] = "/register";
static const char kUploadPath[] = "/legacy/upload";

static int Equals(const char* s, size_t n, const char* literal) {
    return strlen(literal) == n && memcmp(s, literal, n) == 0;
}

static int StartsWith(const char* s, size_t n, const char* literal) {
    size_t len = strlen(literal);
    return n >= len && memcmp(s, literal, len) == 0;
}

ServeRoute ClassifyRoute(const char* method, size_t method_len, const char* path, size_t path_len) {
    ServeRoute route = kRouteNotFound;
    int reads = 0;  // the route is one that GET and HEAD fetch
    if (Equals(path, path_len, kManifestPath)) {
        route = kRouteManifest; reads = 1;
    } else if (StartsWith(path, path_len, kBlobPrefix) &&
               IsBlobDigest(path + strlen(kBlobPrefix), path_len - strlen(kBlobPrefix))) {
        route = kRouteBlob; reads = 1;
    } else if (Equals(path, path_len, kRegisterPath) ||
               (StartsWith(path, path_len, kRegisterPath) && path[strlen(kRegisterPath)] == '/')) {
        route = kRouteRegister; reads = 1;
    } else if (Equals(path, path_len, kUploadPath)) {
        route = kRouteUpload;
    }
    if (route == kRouteNotFound) return route;
    int get = Equals(method, method_len, "GET") || Equals(method, method_len, "HEAD");
    int post = Equals(method, method_len, "POST");
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

int ParseContentLength(const char* s, size_t n, unsigned long long* value) {
    if (n == 0 || n > 20) return 0;
    unsigned long long v = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return 0;
        unsigned digit = (unsigned)(s[i] - '0');
        if (v > (~0ULL - digit) / 10) return 0;  // 20 digits can pass 2^64
        v = v * 10 + digit;
    }
    *value = v;
    return 1;
}

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

int EntityTagMatches(const char* s, size_t n, const char* digest) {
    size_t i = 0;
    while (i < n) {
        while (i < n && (IsBlank(s[i]) || s[i] == ',')) i++;
        size_t start = i;
        while (i < n && s[i] != ',') i++;
        size_t end = i;
        while (end > start && IsBlank(s[end - 1])) end--;
        const char* tag = s + start;
        size_t len = end - start;
        if (len == 1 && tag[0] == '*') return 1;
        if (len >= 2 && tag[0] == 'W' && tag[1] == '/') { tag += 2; len -= 2; }  // If-None-Match compares weakly
        if (len >= 2 && tag[0] == '"' && tag[len - 1] == '"' &&
            len - 2 == strlen(digest) && memcmp(tag + 1, digest, len - 2) == 0)
            return 1;
    }
    return 0;
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

int ParseListenAddress(const char* text, char* host, size_t host_cap, int* port) {
    const char* colon = strrchr(text, ':');
    if (!colon || host_cap == 0) return 0;
    size_t host_len = (size_t)(colon - text);
    unsigned long part = 0, port_value = 0;
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
    if (parts != 4 || host_len + 1 > host_cap) return 0;
    if (!ParseDecimal(colon + 1, strlen(colon + 1), 65535, &port_value)) return 0;
    memcpy(host, text, host_len);
    host[host_len] = '\0';
    *port = (int)port_value;
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
        char a = s[n - m + i], b = suffix[i];
        if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');  // ASCII only, whatever the locale says
        if (a != b) return 0;
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

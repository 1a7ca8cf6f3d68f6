// Raw bytes as autoupdate.ini: the launcher's rewrite against a plain line-by-line reading of the same rules.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/ini_rules.h"

static const char* const kLines[] = {"BishopIP=10.9.8.7\r\n", "BishopPort=7451\r\n", "initialVer=0.9.9.14\r\n"};
static const char* const kKeys[] = {"bishopip", "bishopport", "initialver"};

static void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

static void Append(void* ctx, const char* bytes, size_t n) {
    Require(n > 0, "never an empty write");
    static_cast<std::string*>(ctx)->append(bytes, n);
}

// A physical line, judged on its first 1023 bytes (what one read of the line holds): its replacement, or -1.
static int ExpectedKey(const char* line, size_t len) {
    if (len > 1023) len = 1023;
    size_t i = 0;
    while (i < len && (line[i] == ' ' || line[i] == '\t')) i++;
    for (int k = 0; k < 3; k++) {
        size_t n = strlen(kKeys[k]), j = 0;
        while (j < n && i + j < len && (line[i + j] | 0x20) == kKeys[k][j] &&
               ((line[i + j] >= 'A' && line[i + j] <= 'Z') || (line[i + j] >= 'a' && line[i + j] <= 'z')))
            j++;
        if (j == n) return k;
    }
    return -1;
}

static std::string Expected(const char* text, size_t size, int* replaced) {
    std::string out;
    *replaced = 0;
    for (size_t pos = 0; pos < size;) {
        const char* lf = (const char*)memchr(text + pos, '\n', size - pos);
        size_t len = lf ? (size_t)(lf - (text + pos)) + 1 : size - pos;
        int k = ExpectedKey(text + pos, len);
        if (k >= 0) {
            out += kLines[k];
            ++*replaced;
        } else {
            out.append(text + pos, len);
        }
        pos += len;
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = (const char*)data;
    std::string out, twice;
    int expectedCount = 0;
    int replaced = RewriteConfigText(text, size, "10.9.8.7", Append, &out);
    Require(Expected(text, size, &expectedCount) == out && expectedCount == replaced, "line-by-line reading");
    Require(RewriteConfigText(out.data(), out.size(), "10.9.8.7", Append, &twice) == replaced && twice == out,
            "rewriting the output changes nothing");
    return 0;
}

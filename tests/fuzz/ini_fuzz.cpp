// Raw bytes as autoupdate.ini: the streaming rewrite against a line-by-line reading of the same rules.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/ini_rules.h"

static const char* const kLines[] = {"BishopIP=" VEQ_SERVICE_HOST "\r\n", "BishopPort=7451\r\n",
                                     "initialVer=0.9.9.14\r\n"};
static const char* const kKeys[] = {"bishopip", "bishopport", "initialver"};

static void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

static void Append(void* ctx, const char* bytes, size_t n) { static_cast<std::string*>(ctx)->append(bytes, n); }

static int ReplacementIndex(const char* out, size_t n) {
    for (int k = 0; k < 3; k++)
        if (n == strlen(kLines[k]) && memcmp(out, kLines[k], n) == 0) return k;
    return -1;
}

// Physical lines, each judged on its first 1023 bytes: the replacement it should get, or -1.
static int ExpectedKey(const char* line, size_t len) {
    if (len > kConfigPieceCap - 1) len = kConfigPieceCap - 1;
    size_t i = 0;
    while (i < len && (line[i] == ' ' || line[i] == '\t')) i++;
    for (int k = 0; k < 3; k++) {
        size_t n = strlen(kKeys[k]), j = 0;
        while (j < n && i + j < len) {
            char c = line[i + j];
            if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
            if (c != kKeys[k][j]) break;
            j++;
        }
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
    ConfigRewriter r;
    StartConfigRewrite(&r);
    std::string streamed;
    int written = 0, lineHasReplacement = 0;
    for (size_t pos = 0, n; (n = NextConfigPiece(text, size, pos)) != 0; pos += n) {
        Require(n <= kConfigPieceCap - 1, "pieces are at most 1023 bytes");
        const char* out = NULL;
        size_t outLen = 0;
        int startsLine = pos == 0 || text[pos - 1] == '\n';
        RewriteConfigPiece(&r, text + pos, n, &out, &outLen);
        if (outLen == 0) {
            Require(!startsLine && lineHasReplacement, "only the rest of a replaced line is dropped");
        } else if (out == text + pos) {
            Require(outLen == n && !lineHasReplacement, "a copied piece is copied whole, never after a replacement");
        } else {
            Require(ReplacementIndex(out, outLen) >= 0, "output is the piece, a whole replacement line or nothing");
            Require(startsLine, "only a piece that starts a line is replaced");
            written++;
            lineHasReplacement = 1;
        }
        if (text[pos + n - 1] == '\n') lineHasReplacement = 0;
        streamed.append(out ? out : "", outLen);
    }
    Require(r.replaced == written, "the count is the number of replacement lines written");

    std::string whole;
    Require(RewriteConfigText(text, size, Append, &whole) == written && whole == streamed, "same over the text");
    if (written == 0) Require(streamed == std::string(text, size), "nothing replaced: output equals input");

    int expectedCount = 0;
    Require(Expected(text, size, &expectedCount) == streamed && expectedCount == written, "line-by-line reading");

    std::string twice;
    Require(RewriteConfigText(streamed.data(), streamed.size(), Append, &twice) == written && twice == streamed,
            "rewriting the output changes nothing");
    return 0;
}

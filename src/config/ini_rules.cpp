#include "config/ini_rules.h"

#include <string.h>

// The client logs in wherever BishopIP points, so these three lines are forced on every rewrite.
static const char kHostLine[] = "BishopIP=" VEQ_SERVICE_HOST "\r\n";
static const char kPortLine[] = "BishopPort=7451\r\n";
static const char kVersionLine[] = "initialVer=0.9.9.14\r\n";

static const struct ConfigKey {
    const char* key;
    size_t keyLen;
    const char* line;
    size_t lineLen;
} kKeys[] = {
    {"BishopIP", 8, kHostLine, sizeof kHostLine - 1},
    {"BishopPort", 10, kPortLine, sizeof kPortLine - 1},
    {"initialVer", 10, kVersionLine, sizeof kVersionLine - 1},
};

static int FoldAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// The key whose replacement this piece gets, or NULL. A NUL byte is compared like any other byte.
static const ConfigKey* MatchKey(const char* piece, size_t len) {
    size_t i = 0;
    while (i < len && (piece[i] == ' ' || piece[i] == '\t')) i++;
    for (size_t k = 0; k < sizeof kKeys / sizeof kKeys[0]; k++) {
        const ConfigKey* key = &kKeys[k];
        if (len - i < key->keyLen) continue;
        size_t j = 0;
        while (j < key->keyLen && FoldAscii((unsigned char)piece[i + j]) == FoldAscii((unsigned char)key->key[j])) j++;
        if (j == key->keyLen) return key;
    }
    return NULL;
}

void StartConfigRewrite(ConfigRewriter* r) {
    r->atLineStart = 1;
    r->droppingRest = 0;
    r->replaced = 0;
}

void RewriteConfigPiece(ConfigRewriter* r, const char* piece, size_t len, const char** out, size_t* outLen) {
    int endsLine = len > 0 && piece[len - 1] == '\n';
    const ConfigKey* key = NULL;
    *out = piece;
    *outLen = 0;
    if (r->droppingRest) {
        // The replacement line already stands for this whole line.
    } else if (r->atLineStart && (key = MatchKey(piece, len)) != NULL) {
        *out = key->line;
        *outLen = key->lineLen;
        r->replaced++;
        r->droppingRest = !endsLine;
    } else {
        *outLen = len;
    }
    if (endsLine) r->droppingRest = 0;
    r->atLineStart = endsLine;
}

size_t NextConfigPiece(const char* text, size_t size, size_t pos) {
    if (pos >= size) return 0;
    size_t room = size - pos;
    if (room > kConfigPieceCap - 1) room = kConfigPieceCap - 1;
    const char* lf = (const char*)memchr(text + pos, '\n', room);
    return lf ? (size_t)(lf - (text + pos)) + 1 : room;
}

int RewriteConfigText(const char* text, size_t size, ConfigWriteFn write, void* ctx) {
    ConfigRewriter r;
    StartConfigRewrite(&r);
    for (size_t pos = 0, n; (n = NextConfigPiece(text, size, pos)) != 0; pos += n) {
        const char* out = NULL;
        size_t outLen = 0;
        RewriteConfigPiece(&r, text + pos, n, &out, &outLen);
        if (outLen) write(ctx, out, outLen);
    }
    return r.replaced;
}

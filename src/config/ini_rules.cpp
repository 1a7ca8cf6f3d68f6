#include "config/ini_rules.h"

#include <string.h>

#include "shell/format_rules.h"
#include "shell/service.h"

// The client logs in wherever BishopIP points, so these three lines are forced on every rewrite.
static const struct ConfigKey {
    const char* key;
    const char* value;  // NULL: the login server given to the rewrite
} kKeys[] = {
    {"BishopIP", NULL},
    {"BishopPort", kLoginPort},
    {"initialVer", "0.9.9.14"},
};

static int FoldAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// The key whose replacement this piece gets, or NULL. A NUL byte is compared like any other byte.
static const ConfigKey* MatchKey(const char* piece, size_t len) {
    size_t i = 0;
    while (i < len && (piece[i] == ' ' || piece[i] == '\t')) i++;
    for (const ConfigKey& key : kKeys) {
        size_t n = strlen(key.key), j = 0;
        if (len - i < n) continue;
        while (j < n && FoldAscii((unsigned char)piece[i + j]) == FoldAscii((unsigned char)key.key[j])) j++;
        if (j == n) return &key;
    }
    return NULL;
}

int RewriteConfigText(const char* text, size_t size, const char* host, ConfigWriteFn write, void* ctx) {
    int replaced = 0, atLineStart = 1, droppingRest = 0;
    for (size_t pos = 0, n; (n = NextPiece(text, size, pos)) != 0; pos += n) {
        const char* piece = text + pos;
        int endsLine = piece[n - 1] == '\n';
        const ConfigKey* key = NULL;
        if (droppingRest) {
            // The replacement line already stands for this whole line.
        } else if (atLineStart && (key = MatchKey(piece, n)) != NULL) {
            const char* value = key->value ? key->value : host;
            write(ctx, key->key, strlen(key->key));
            write(ctx, "=", 1);
            write(ctx, value, strlen(value));
            write(ctx, "\r\n", 2);
            replaced++;
            droppingRest = !endsLine;
        } else {
            write(ctx, piece, n);
        }
        if (endsLine) droppingRest = 0;
        atLineStart = endsLine;
    }
    return replaced;
}

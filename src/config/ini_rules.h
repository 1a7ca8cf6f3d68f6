#pragma once
// The line decision of the autoupdate.ini rewrite, without any file or Windows access.
//
// The file is read as fgets into a 1024-byte buffer reads it: pieces of at most 1023 bytes, each ending after
// a LF, at the end of the file, or after 1023 bytes. A line whose first piece starts, after spaces and tabs,
// with BishopIP, BishopPort or initialVer (ASCII case ignored, prefix match, first key in that order wins) is
// replaced by that key's line ending in CR LF; every other byte is copied unchanged.
//
// Lines longer than 1023 bytes: only the piece that starts a physical line is matched against the keys. If it
// matches, the whole physical line, continuation pieces included, becomes the one replacement line; otherwise
// every piece is copied unchanged. A continuation piece that happens to begin with a key is never matched, and
// a key that does not end within the first 1023 bytes of its line (behind 1014 or more leading blanks) is not
// recognised: such a line is copied as it is.
#include <stddef.h>

enum { kConfigPieceCap = 1024 };

struct ConfigRewriter {
    int atLineStart;   // the next piece begins a physical line
    int droppingRest;  // the current line was replaced; its continuation pieces are dropped
    int replaced;      // replacement lines written so far
};

void StartConfigRewrite(ConfigRewriter* r);
// For one piece as read (1 to 1023 bytes): sets *out/*outLen to the bytes to write, which are the piece itself,
// a replacement line (static storage, no terminating zero written), or nothing (*outLen == 0).
void RewriteConfigPiece(ConfigRewriter* r, const char* piece, size_t len, const char** out, size_t* outLen);

// fgets emulation over memory: the length of the piece starting at `pos`; 0 at the end.
size_t NextConfigPiece(const char* text, size_t size, size_t pos);

// Rewrites a whole text, passing the output to `write` in order (never with n == 0). Returns the number of
// lines replaced. Used by the operator's publisher and the fuzzer.
typedef void (*ConfigWriteFn)(void* ctx, const char* bytes, size_t n);
int RewriteConfigText(const char* text, size_t size, ConfigWriteFn write, void* ctx);

#pragma once
// The line decision of the autoupdate.ini rewrite, without any file or Windows access.
//
// The file is read in pieces as NextPiece reads them (as fgets into a 1024-byte buffer would): at most 1023
// bytes, each ending after a LF, at the end of the file, or after 1023 bytes. A line whose first piece starts, after spaces and tabs,
// with BishopIP, BishopPort or initialVer (ASCII case ignored, prefix match, first key in that order wins) is
// replaced by that key's line ending in CR LF; every other byte is copied unchanged.
//
// Lines longer than 1023 bytes: only the piece that starts a physical line is matched against the keys. If it
// matches, the whole physical line, continuation pieces included, becomes the one replacement line; otherwise
// every piece is copied unchanged. A continuation piece that happens to begin with a key is never matched, and
// a key that does not end within the first 1023 bytes of its line (behind 1014 or more leading blanks) is not
// recognised: such a line is copied as it is.
#include <stddef.h>

// Rewrites a whole text for the login server `host` (a dotted IPv4 address), passing the output to `write` in
// order (never with n == 0). Returns the number of lines replaced. The launcher, the operator's publisher and the
// fuzzer all rewrite through this.
typedef void (*ConfigWriteFn)(void* ctx, const char* bytes, size_t n);
int RewriteConfigText(const char* text, size_t size, const char* host, ConfigWriteFn write, void* ctx);

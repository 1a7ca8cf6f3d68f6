#pragma once
// The patch manifest's text format and path rules, without any file or Windows access.
//
//   VEQPATCH1<TAB><32 hex digits: release id>
//   <64 hex digits: digest><TAB><decimal size, may be empty><TAB><relative path with '/'>
//   ... one entry per line, 1 to 10000 entries, lines end in LF or CR LF, no blank lines.
//
// Every function takes (pointer, length): lines read with fgets may hold NUL bytes, and a NUL is just a byte
// that no rule allows, never the end of a line.
#include <stddef.h>

enum { kReleaseIdChars = 32, kMaxManifestEntries = 10000, kMaxRelPathChars = 180 };
static const unsigned long long kMaxBlobBytes = 268435456ULL;      // also the largest manifest size value
static const unsigned long long kManifestMaxBytes = 2097152ULL;

struct ManifestEntry {
    char digest[65];          // as written (either case), zero-terminated
    unsigned long long size;
    char path[181];           // as written, with '/', zero-terminated
};

// `line` is one piece as NextPiece reads it (<= 1023 bytes, may end in LF or CR LF, may
// hold bytes after a CR). Both cut the line at its first CR or LF. 1 when the line is accepted; the outputs
// are written only then.
int ParseManifestHeader(const char* line, size_t len, char releaseId[kReleaseIdChars + 1]);
int ParseManifestEntry(const char* line, size_t len, size_t installDirLen, ManifestEntry* out);

// NULL when the relative path is accepted, else a short English reason for the operator (a constant string;
// the caller prints the path beside it). installDirLen is the length of the install directory the path will
// be joined to: install directory + path + 16 must stay within 259 characters.
//
// Names Windows would not take as written are refused:
// - a component naming a device: CON, PRN, AUX, NUL, COM1 to COM9 or LPT1 to LPT9, ASCII case ignored, compared on
//   the part before the component's first dot, as Windows compares it: "Maps/NUL.ut2", "Sounds/COM1.uax",
//   "System/con.u", "Maps/PRN.x.ut2" and the folder in "Textures/Aux/x.utx" (no such folder can be made).
//   "Maps/NULL.ut2", "Sounds/COM0.uax" and "Sounds/COM10.uax" are no devices.
// - a '.' or ' ' right before a '/' or a '.': Windows drops dots and blanks at the end of a name, so
//   "Textures/a./x.utx" and "Textures/a /x.utx" are "Textures/a/x.utx", one file under two entries that the
//   duplicate check cannot see ("System/./a.u" too). The file name always ends in its extension, so for it the
//   rule is about the stem: "Maps/x .ut2" is refused as well, and "Maps/nul .ut2", which Windows opens as NUL.
const char* ManifestPathProblem(const char* path, size_t len, size_t installDirLen);

// 1 when all n bytes are hex digits of either case (so 1 for n == 0).
int IsHexDigits(const char* s, size_t n);
// 1 when all n bytes are lower-case hex digits (so 1 for n == 0).
int IsLowerHexDigits(const char* s, size_t n);
// The n bytes that 2n lower-case hex digits spell (checked by the caller).
void HexToBytes(const char* hex, size_t n, unsigned char* out);
// n bytes as 2n lower-case hex digits and a NUL.
void BytesToHex(const unsigned char* bytes, size_t n, char* out);
// 1 when s[0..n) is decimal digits only (empty means 0) and the value is at most kMaxBlobBytes. *out gets the
// value whenever the digits are all decimal; values beyond 64 bits saturate to the largest value.
int ParseEntrySize(const char* s, size_t n, unsigned long long* out);

// 1 when the two client paths name the same file: ASCII case is ignored and '/' equals '\'.
int SameClientPath(const char* a, const char* b);
int SameClientPathN(const char* a, size_t aLen, const char* b, size_t bLen);
// A hash that agrees with SameClientPathN (equal paths, equal hashes). The loader compares each new entry with
// every earlier one; comparing these first keeps 10000 entries with long common prefixes fast.
unsigned long ClientPathHash(const char* path, size_t len);

// A whole manifest checked exactly as the launcher fetches and loads it: at most kManifestMaxBytes, the header,
// every entry, 1 to kMaxManifestEntries entries, no two entries naming the same file. Returns the entry count,
// or -1 with *badLine set to the 1-based physical line at fault (the line after the header when there is no
// entry; 0 when the text is too large or memory ran out). `entries` (room for kMaxManifestEntries) may be NULL.
long CheckManifestText(const char* data, size_t size, size_t installDirLen, char releaseId[kReleaseIdChars + 1],
                       ManifestEntry* entries, long* badLine);

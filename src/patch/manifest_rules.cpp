#include "patch/manifest_rules.h"

#include "shell/format_rules.h"

#include <stdlib.h>
#include <string.h>

static const char kHeaderTag[] = "VEQPATCH1\t";
enum { kHeaderTagChars = 10, kDigestHexChars = 64, kPathSlack = 16, kPathLimit = 259 };
static const char kConfigName[] = "autoupdate.ini";

// Each client folder with the only file types the client loads from it. The prefix is case-sensitive on
// purpose: it is how the publisher spells it, and one spelling keeps two entries from meaning one folder.
static const struct Folder {
    const char* prefix;
    const char* exts[3];
    const char* problem;
} kFolders[] = {
    {"System/", {".u", ".csv", ".int"}, "extension not allowed in System/ (only .u, .csv, .int)"},
    {"Textures/", {".utx"}, "extension not allowed in Textures/ (only .utx)"},
    {"Animations/", {".ukx"}, "extension not allowed in Animations/ (only .ukx)"},
    {"Maps/", {".ut2"}, "extension not allowed in Maps/ (only .ut2)"},
    {"Sounds/", {".uax"}, "extension not allowed in Sounds/ (only .uax)"},
    {"StaticMeshes/", {".usx"}, "extension not allowed in StaticMeshes/ (only .usx)"},
    {"Music/", {".ogg"}, "extension not allowed in Music/ (only .ogg)"},
};

static int FoldAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

static int FoldPathByte(int c) { return c == '\\' ? '/' : FoldAscii(c); }

static int IsHexDigit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static int IsAllowedPathByte(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '/' || c == ' ' || c == '-';
}

// Length up to the first CR or LF: whatever follows a CR on the same line is ignored.
static size_t CutAtLineEnd(const char* line, size_t len) {
    for (size_t i = 0; i < len; i++)
        if (line[i] == '\r' || line[i] == '\n') return i;
    return len;
}

// ASCII-only compare over (pointer, length): NUL bytes compare like any other byte.
static int EqualsNoCaseBytes(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (FoldAscii((unsigned char)a[i]) != FoldAscii((unsigned char)b[i])) return 0;
    return 1;
}

int IsHexDigits(const char* s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!IsHexDigit((unsigned char)s[i])) return 0;
    return 1;
}

int IsLowerHexDigits(const char* s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return 0;
    return 1;
}

static unsigned HexValue(char c) { return c <= '9' ? (unsigned)(c - '0') : (unsigned)(c - 'a' + 10); }

void HexToBytes(const char* hex, size_t n, unsigned char* out) {
    for (size_t i = 0; i < n; i++) out[i] = (unsigned char)(HexValue(hex[2 * i]) << 4 | HexValue(hex[2 * i + 1]));
}

void BytesToHex(const unsigned char* bytes, size_t n, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    out[2 * n] = '\0';
}

int ParseEntrySize(const char* s, size_t n, unsigned long long* out) {
    const unsigned long long kMax = ~0ULL;
    unsigned long long value = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return 0;
        unsigned digit = (unsigned)(s[i] - '0');
        value = (value > (kMax - digit) / 10) ? kMax : value * 10 + digit;
    }
    *out = value;
    return value <= kMaxBlobBytes;
}

static const char* FolderProblem(const char* path, size_t len) {
    const Folder* folder = NULL;
    for (size_t f = 0; f < sizeof kFolders / sizeof kFolders[0] && !folder; f++) {
        size_t n = strlen(kFolders[f].prefix);
        if (len >= n && memcmp(path, kFolders[f].prefix, n) == 0) folder = &kFolders[f];
    }
    if (!folder) return "neither autoupdate.ini nor under a client folder (System/, Textures/, ...)";

    size_t dot = len;
    for (size_t i = len; i > 0; i--)
        if (path[i - 1] == '.') { dot = i - 1; break; }
    if (dot == len) return "has no extension";

    size_t extLen = len - dot;
    for (size_t e = 0; e < 3 && folder->exts[e]; e++)
        if (strlen(folder->exts[e]) == extLen && EqualsNoCaseBytes(path + dot, folder->exts[e], extLen)) return NULL;
    return folder->problem;
}

// Windows keeps these names for devices, in any letter case: "Maps/NUL.ut2" opens NUL, "Textures/Aux" is no folder.
static const char* const kDeviceNames[] = {"CON", "PRN", "AUX", "NUL"};

// `name` is the part of a component before its first dot, which is all Windows compares.
static int IsDeviceName(const char* name, size_t len) {
    for (const char* device : kDeviceNames)
        if (len == 3 && EqualsNoCaseBytes(name, device, 3)) return 1;
    return len == 4 && (EqualsNoCaseBytes(name, "COM", 3) || EqualsNoCaseBytes(name, "LPT", 3)) && name[3] >= '1' &&
           name[3] <= '9';
}

static const char* WindowsNameProblem(const char* path, size_t len) {
    for (size_t start = 0, end; start < len; start = end + 1) {
        end = start;
        while (end < len && path[end] != '/') end++;
        size_t stem = start;
        while (stem < end && path[stem] != '.') stem++;
        if (IsDeviceName(path + start, stem - start))
            return "names a Windows device (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9), with or without an extension";
    }
    // Windows drops dots and blanks at the end of a name, and ignores blanks before a dot when it looks for a device.
    for (size_t i = 1; i < len; i++)
        if ((path[i] == '/' || path[i] == '.') && (path[i - 1] == '.' || path[i - 1] == ' '))
            return "a folder name, or a file name before its extension, ends in . or a blank";
    return NULL;
}

const char* ManifestPathProblem(const char* path, size_t len, size_t installDirLen) {
    if (len == 0) return "empty";
    if (len > kMaxRelPathChars) return "longer than 180 characters";
    if (path[0] == '/') return "begins with /";
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)path[i];
        if (c == '.' && i + 1 < len && path[i + 1] == '.') return "contains ..";
        if (c == '/' && i + 1 < len && path[i + 1] == '/') return "contains //";  // an empty folder name
        if (c == '\\') return "contains \\";
        if (c == ':') return "contains :";
        if (!IsAllowedPathByte(c)) return "contains a byte other than letters, digits and _./ -";
    }
    // The destination and its temporary name ("%s.veq-new") must fit a 260-byte path.
    if (installDirLen > kPathLimit - kPathSlack || len > kPathLimit - kPathSlack - installDirLen)
        return "too long for this install folder (install folder + path + 16 must be at most 259)";
    if (len == sizeof kConfigName - 1 && memcmp(path, kConfigName, len) == 0) return NULL;
    const char* problem = FolderProblem(path, len);
    return problem ? problem : WindowsNameProblem(path, len);
}

int ParseManifestHeader(const char* line, size_t len, char releaseId[kReleaseIdChars + 1]) {
    len = CutAtLineEnd(line, len);
    if (len != kHeaderTagChars + kReleaseIdChars || memcmp(line, kHeaderTag, kHeaderTagChars) != 0) return 0;
    if (!IsHexDigits(line + kHeaderTagChars, kReleaseIdChars)) return 0;
    memcpy(releaseId, line + kHeaderTagChars, kReleaseIdChars);
    releaseId[kReleaseIdChars] = '\0';
    return 1;
}

int ParseManifestEntry(const char* line, size_t len, size_t installDirLen, ManifestEntry* out) {
    len = CutAtLineEnd(line, len);
    const char* tab1 = (const char*)memchr(line, '\t', len);
    if (!tab1) return 0;
    const char* sizeText = tab1 + 1;
    const char* tab2 = (const char*)memchr(sizeText, '\t', len - (size_t)(sizeText - line));
    if (!tab2) return 0;  // a third TAB stays in the path, where the path rules refuse it
    const char* path = tab2 + 1;
    size_t digestLen = (size_t)(tab1 - line), sizeLen = (size_t)(tab2 - sizeText);
    size_t pathLen = len - (size_t)(path - line);

    unsigned long long size = 0;
    if (digestLen != kDigestHexChars || !IsHexDigits(line, digestLen)) return 0;
    if (!ParseEntrySize(sizeText, sizeLen, &size)) return 0;
    if (ManifestPathProblem(path, pathLen, installDirLen)) return 0;

    memcpy(out->digest, line, digestLen);
    out->digest[digestLen] = '\0';
    out->size = size;
    memcpy(out->path, path, pathLen);
    out->path[pathLen] = '\0';
    return 1;
}

int SameClientPathN(const char* a, size_t aLen, const char* b, size_t bLen) {
    if (aLen != bLen) return 0;
    for (size_t i = 0; i < aLen; i++)
        if (FoldPathByte((unsigned char)a[i]) != FoldPathByte((unsigned char)b[i])) return 0;
    return 1;
}

int SameClientPath(const char* a, const char* b) {
    return SameClientPathN(a, strlen(a), b, strlen(b));
}

unsigned long ClientPathHash(const char* path, size_t len) {
    unsigned int h = 2166136261u;  // FNV-1a, 32-bit on every platform we build for
    for (size_t i = 0; i < len; i++) h = (h ^ (unsigned)FoldPathByte((unsigned char)path[i])) * 16777619u;
    return h;
}

namespace {
// Where an accepted entry's path lies in the text, so duplicates are found without copying every path.
struct PathRef {
    unsigned long hash;
    size_t offset;
    size_t len;
};
}  // namespace

long CheckManifestText(const char* data, size_t size, size_t installDirLen, char releaseId[kReleaseIdChars + 1],
                       ManifestEntry* entries, long* badLine) {
    long result = -1, line = 0, count = 0;
    char localId[kReleaseIdChars + 1];
    PathRef* refs = NULL;
    size_t pos = 0, n = 0;
    int atLineStart = 0;
    if (!releaseId) releaseId = localId;

    if (size > kManifestMaxBytes) goto done;  // the fetch refuses it; nothing is ever loaded
    if (!(refs = (PathRef*)malloc(kMaxManifestEntries * sizeof *refs))) goto done;

    line = 1;
    n = NextPiece(data, size, pos);
    if (n == 0 || !ParseManifestHeader(data, n, releaseId)) goto done;
    atLineStart = data[n - 1] == '\n';
    for (;;) {
        pos += n;
        if ((n = NextPiece(data, size, pos)) == 0) break;
        if (atLineStart) line++;  // a piece cut at 1023 bytes continues the same physical line
        atLineStart = data[pos + n - 1] == '\n';
        if (count == kMaxManifestEntries) goto done;  // a 10001st line fails whatever it holds

        ManifestEntry entry;
        if (!ParseManifestEntry(data + pos, n, installDirLen, &entry)) goto done;
        // Accepted, so the size field starts right after the 64 digest digits and ends at the next TAB.
        const char* sizeText = data + pos + kDigestHexChars + 1;
        const char* tab2 = (const char*)memchr(sizeText, '\t', n - kDigestHexChars - 1);
        PathRef ref;
        ref.len = strlen(entry.path);
        ref.offset = (size_t)(tab2 + 1 - data);
        ref.hash = ClientPathHash(entry.path, ref.len);
        for (long j = 0; j < count; j++)
            if (refs[j].hash == ref.hash && SameClientPathN(data + refs[j].offset, refs[j].len, entry.path, ref.len))
                goto done;
        refs[count] = ref;
        if (entries) entries[count] = entry;
        count++;
    }
    if (count == 0) {
        line++;  // the entry that should follow the header
        goto done;
    }
    result = count;
    line = 0;
done:
    free(refs);
    if (badLine) *badLine = result < 0 ? line : 0;
    return result;
}

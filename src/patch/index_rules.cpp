#include "patch/index_rules.h"

#include <string.h>

#include "patch/manifest_rules.h"
#include "shell/format_rules.h"

static const char kIndexTag[] = "VEQINDEX1\t";

size_t FormatIndexHeader(char* buf, size_t cap, const char* releaseId) {
    FormatBounded(buf, cap, "%s%s\n", kIndexTag, releaseId);
    return cap ? strlen(buf) : 0;
}

// Decimal without the runtime's %llu, which not every MS runtime knows.
static void Decimal(char* out, unsigned long long v) {
    char rev[24];
    int n = 0;
    do rev[n++] = (char)('0' + v % 10), v /= 10;
    while (v);
    while (n) *out++ = rev[--n];
    *out = '\0';
}

size_t FormatIndexLine(char* buf, size_t cap, const IndexEntry* e) {
    char size[24], time[24], id[24];
    Decimal(size, e->facts.size);
    Decimal(time, e->facts.writeTime);
    Decimal(id, e->facts.fileId);
    FormatBounded(buf, cap, "%s\t%s\t%s\t%s\t%lu\t%s\n", e->digest, size, time, id, e->facts.volume, e->path);
    return cap ? strlen(buf) : 0;
}

// Reads a decimal field up to the next TAB at *pos; 0 when it is not one.
static int Field(const char* s, size_t len, size_t* pos, unsigned long long max, unsigned long long* out) {
    size_t start = *pos;
    unsigned long long v = 0;
    while (*pos < len && s[*pos] >= '0' && s[*pos] <= '9') {
        unsigned digit = (unsigned)(s[*pos] - '0');
        if (v > (max - digit) / 10) return 0;
        v = v * 10 + digit;
        ++*pos;
    }
    if (*pos == start || *pos >= len || s[*pos] != '\t') return 0;
    ++*pos;
    *out = v;
    return 1;
}

static int ParseLine(const char* s, size_t len, IndexEntry* e) {
    size_t pos = 65;
    unsigned long long volume = 0;
    if (len < pos || s[64] != '\t' || !IsHexDigits(s, 64)) return 0;
    if (!Field(s, len, &pos, ~0ULL, &e->facts.size) || !Field(s, len, &pos, ~0ULL, &e->facts.writeTime) ||
        !Field(s, len, &pos, ~0ULL, &e->facts.fileId) || !Field(s, len, &pos, 0xFFFFFFFFull, &volume))
        return 0;
    size_t pathLen = len - pos;
    if (pathLen == 0 || pathLen >= sizeof e->path || memchr(s + pos, '\t', pathLen)) return 0;
    memcpy(e->digest, s, 64);
    e->digest[64] = '\0';
    e->facts.volume = (unsigned long)volume;
    memcpy(e->path, s + pos, pathLen);
    e->path[pathLen] = '\0';
    return 1;
}

long ParseIndex(const char* text, size_t size, const char* releaseId, IndexEntry* entries, size_t cap) {
    char header[80];
    size_t n = FormatIndexHeader(header, sizeof header, releaseId), pos = n;
    long count = 0;
    if (size < n || memcmp(text, header, n) != 0) return -1;
    while (pos < size) {
        const char* lf = (const char*)memchr(text + pos, '\n', size - pos);
        if (!lf || (size_t)count == cap || !ParseLine(text + pos, (size_t)(lf - (text + pos)), &entries[count]))
            return -1;
        count++;
        pos = (size_t)(lf - text) + 1;
    }
    return count;
}

int SameFacts(const FileFacts* a, const FileFacts* b) {
    return a->size == b->size && a->writeTime == b->writeTime && a->fileId == b->fileId && a->volume == b->volume;
}

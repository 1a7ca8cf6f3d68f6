#include "patch/signature_rules.h"

#include <string.h>

#include "patch/manifest_rules.h"

static const char kSignatureTag[] = "VEQSIG1\t";
static const char kRecordTag[] = "VEQLAST1\t";
enum { kMaxNumberDigits = 18, kDigestHex = 64 };

// Decimal without the runtime's %llu, which not every MS runtime knows; 0 when v is 0 or has too many digits.
static size_t PutNumber(char* out, unsigned long long v) {
    char rev[24];
    size_t n = 0;
    for (; v && n <= kMaxNumberDigits; v /= 10) rev[n++] = (char)('0' + v % 10);
    if (n == 0 || n > kMaxNumberDigits) return 0;
    for (size_t i = 0; i < n; i++) out[i] = rev[n - 1 - i];
    return n;
}

// A number at data[*pos] ending right before `end`; no leading zero, so each value has one spelling.
static int TakeNumber(const char* data, size_t size, size_t* pos, char end, unsigned long long* out) {
    size_t start = *pos;
    unsigned long long v = 0;
    while (*pos < size && data[*pos] >= '0' && data[*pos] <= '9' && *pos - start < kMaxNumberDigits)
        v = v * 10 + (unsigned)(data[(*pos)++] - '0');
    if (*pos == start || data[start] == '0' || *pos >= size || data[*pos] != end) return 0;
    ++*pos;
    *out = v;
    return 1;
}

// The digest and its LF at data[*pos].
static int TakeDigest(const char* data, size_t size, size_t* pos, char out[kDigestHex + 1]) {
    if (size - *pos < kDigestHex + 1 || !IsLowerHexDigits(data + *pos, kDigestHex) || data[*pos + kDigestHex] != '\n')
        return 0;
    memcpy(out, data + *pos, kDigestHex);
    out[kDigestHex] = '\0';
    *pos += kDigestHex + 1;
    return 1;
}

static size_t Put(char* buf, size_t at, const char* s, size_t n) {
    memcpy(buf + at, s, n);
    return at + n;
}

// tag, the numbers TAB-separated, the digest and LF; 0 when it does not fit.
static size_t FormatLine(char* buf, size_t cap, const char* tag, const unsigned long long* numbers, int count,
                         const char* digest) {
    char text[2 * (kMaxNumberDigits + 1) + 16 + kDigestHex + 2];
    size_t n = Put(text, 0, tag, strlen(tag));
    for (int i = 0; i < count; i++) {
        size_t digits = PutNumber(text + n, numbers[i]);
        if (!digits) return 0;
        n += digits;
        text[n++] = '\t';
    }
    if (strlen(digest) != kDigestHex || !IsLowerHexDigits(digest, kDigestHex) || n + kDigestHex + 1 > cap) return 0;
    n = Put(text, n, digest, kDigestHex);
    text[n++] = '\n';
    memcpy(buf, text, n);
    return n;
}

size_t FormatSignedLine(char* buf, size_t cap, unsigned long long counter, unsigned long long expires,
                        const char* manifestDigest) {
    const unsigned long long numbers[] = {counter, expires};
    return FormatLine(buf, cap, kSignatureTag, numbers, 2, manifestDigest);
}

size_t FormatReleaseRecord(char* buf, size_t cap, const ReleaseRecord* r) {
    return FormatLine(buf, cap, kRecordTag, &r->counter, 1, r->manifestDigest);
}

int ParseReleaseSignature(const char* data, size_t size, ReleaseStatement* out) {
    ReleaseStatement s;
    size_t pos = sizeof kSignatureTag - 1;
    if (size > kSignatureFileMaxBytes || size < pos || memcmp(data, kSignatureTag, pos) != 0) return 0;
    if (!TakeNumber(data, size, &pos, '\t', &s.counter) || !TakeNumber(data, size, &pos, '\t', &s.expires) ||
        !TakeDigest(data, size, &pos, s.manifestDigest))
        return 0;
    s.signedLen = pos;
    size_t hex = size - pos - 1;  // the second line without its LF
    if (size - pos < 2 * kSignatureMinBytes + 1 || size - pos > 2 * kSignatureMaxBytes + 1 || hex % 2 ||
        data[size - 1] != '\n' || !IsLowerHexDigits(data + pos, hex))
        return 0;
    s.signatureLen = hex / 2;
    HexToBytes(data + pos, s.signatureLen, s.signature);
    *out = s;
    return 1;
}

int ParseReleaseRecord(const char* data, size_t size, ReleaseRecord* out) {
    ReleaseRecord r;
    size_t pos = sizeof kRecordTag - 1;
    if (size < pos || memcmp(data, kRecordTag, pos) != 0 || !TakeNumber(data, size, &pos, '\t', &r.counter) ||
        !TakeDigest(data, size, &pos, r.manifestDigest) || pos != size)
        return 0;
    *out = r;
    return 1;
}

int JudgeRelease(const ReleaseStatement* s, const char* manifestDigest, const ReleaseRecord* last,
                 unsigned long long now) {
    if (strcmp(s->manifestDigest, manifestDigest) != 0) return kReleaseInvalid;
    if (last && (s->counter < last->counter ||
                 (s->counter == last->counter && strcmp(s->manifestDigest, last->manifestDigest) != 0)))
        return kReleaseOlder;
    return now >= s->expires ? kReleaseExpired : kReleaseAccepted;
}

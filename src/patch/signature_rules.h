#pragma once
// patch/manifest.tsv.sig, the operator's signed word on one manifest, and the record of the last signed release
// (the launcher's in patch-cache\release.tsv, veq-publish's in OUT_DIR), without any file or Windows access.
//
//   VEQSIG1<TAB><counter><TAB><expires><TAB><SHA-256 of manifest.tsv: 64 lower-case hex digits><LF>
//   <RSA PKCS#1 v1.5 signature with SHA-256 over the first line and its LF: lower-case hex, 384 to 512 bytes><LF>
//
// The counter counts every signature written into a release tree, from 1; `expires` is the first second (since
// 1970, UTC) at which the signature no longer holds. Numbers are decimal, 1 to 18 digits, no leading zero. Only
// this one spelling is read: the signed bytes are always what FormatSignedLine makes of the fields.
#include <stddef.h>

enum { kSignatureMinBytes = 384, kSignatureMaxBytes = 512, kSignatureFileMaxBytes = 2048 };

struct ReleaseStatement {
    unsigned long long counter, expires;
    char manifestDigest[65];
    size_t signedLen;                             // the first line with its LF
    unsigned char signature[kSignatureMaxBytes];  // as OpenSSL writes it: most significant byte first
    size_t signatureLen;
};

// The first line, with its LF, into buf[cap]; its length, or 0 when a field is out of range or it does not fit.
size_t FormatSignedLine(char* buf, size_t cap, unsigned long long counter, unsigned long long expires,
                        const char* manifestDigest);
// 1 when data[0..size) is a whole signature file; `out` is written only then.
int ParseReleaseSignature(const char* data, size_t size, ReleaseStatement* out);

//   VEQLAST1<TAB><counter><TAB><SHA-256 of the manifest><LF>
struct ReleaseRecord {
    unsigned long long counter;
    char manifestDigest[65];
};
size_t FormatReleaseRecord(char* buf, size_t cap, const ReleaseRecord* r);
int ParseReleaseRecord(const char* data, size_t size, ReleaseRecord* out);

enum { kReleaseAccepted, kReleaseInvalid, kReleaseOlder, kReleaseExpired };
// The verdict on a statement whose signature verified, for a manifest with this digest, at `now` (seconds since
// 1970, UTC). `last` is the last release accepted, NULL when there is none to hold it to. The same counter is
// accepted again only with the same manifest; a lower one never. Rollback is judged before expiry.
int JudgeRelease(const ReleaseStatement* s, const char* manifestDigest, const ReleaseRecord* last,
                 unsigned long long now);

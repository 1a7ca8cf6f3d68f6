// Signed releases: a launcher built with release keys uses a manifest only when one of them signed it, it is not
// older than the release last accepted in this install folder, and its signature has not expired.
#include <windows.h>
#include <wincrypt.h>

#include <stdlib.h>
#include <string.h>

#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "patch/signature_rules.h"
#include "shell/disk.h"
#include "shell/shell.h"

enum { kSha256Bytes = 32, kRecordMaxBytes = 256 };
static const char kSignatureCacheName[] = "patch-cache\\manifest.tsv.sig";
static const char kRecordName[] = "patch-cache\\release.tsv";
static const char* const kRefusals[] = {  // by verdict
    "",
    "Tandatangan manifest patch tidak sah. Tiada fail ditukar.",
    "Manifest patch lebih lama daripada yang sudah dipasang. Tiada fail ditukar.",
    "Manifest patch sudah tamat tempoh. Tiada fail ditukar.",
};

static unsigned long long SecondsSince1970(void) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime) / 10000000ULL - 11644473600ULL;
}

static HCRYPTHASH HashOf(HCRYPTPROV prov, const void* data, size_t size) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) return 0;
    if (CryptHashData(hash, (const BYTE*)data, (DWORD)size, 0)) return hash;
    CryptDestroyHash(hash);
    return 0;
}

// 1 when one of the release keys made the statement's signature over its first line; `digest` gets the
// manifest's SHA-256 in lower-case hex.
static int Verify(const char* sigText, const ReleaseStatement* st, const char* manifest, size_t size,
                  char digest[kDigestCap]) {
    int ok = 0;
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    BYTE value[kSha256Bytes], reversed[kSignatureMaxBytes];
    DWORD valueLen = sizeof value;
    // CryptoAPI reads a signature least significant byte first; OpenSSL writes it the other way round.
    for (size_t i = 0; i < st->signatureLen; i++) reversed[i] = st->signature[st->signatureLen - 1 - i];
    if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 0;
    if (!(hash = HashOf(prov, manifest, size)) || !CryptGetHashParam(hash, HP_HASHVAL, value, &valueLen, 0) ||
        valueLen != sizeof value)
        goto done;
    BytesToHex(value, kSha256Bytes, digest);
    for (unsigned k = 0; k < g_releaseKeyCount && !ok; k++) {
        HCRYPTKEY key = 0;
        HCRYPTHASH signedLine = HashOf(prov, sigText, st->signedLen);  // a fresh one for each key it is held to
        if (signedLine && CryptImportKey(prov, g_releaseKeys[k].blob, (DWORD)g_releaseKeys[k].size, 0, 0, &key)) {
            ok = CryptVerifySignatureA(signedLine, reversed, (DWORD)st->signatureLen, key, NULL, 0);
            CryptDestroyKey(key);
        }
        if (signedLine) CryptDestroyHash(signedLine);
    }
done:
    if (hash) CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
    return ok;
}

// The release last accepted here; 0 when there is none to hold the next one to (never recorded, or unreadable:
// then any release a key signed that has not expired is taken, and recorded). Read wherever it lies: a program
// that could write an unsecured patch-cache could write the client's files too, and the record guards against
// what comes over the network.
static int ReadLastRelease(ReleaseRecord* last) {
    char path[kPathCap];
    size_t size = 0;
    InstallPath(path, kRecordName);
    char* text = DiskReadWhole(path, kRecordMaxBytes, &size);
    int ok = text && ParseReleaseRecord(text, size, last);
    free(text);
    return ok;
}

// Whole or not at all: a temporary file, on the disk, then moved over the record.
static int WriteLastRelease(const ReleaseRecord* r) {
    char path[kPathCap], tmp[kPathCap], text[kRecordMaxBytes];
    size_t size = FormatReleaseRecord(text, sizeof text, r);
    InstallPath(path, kRecordName);
    FormatBounded(tmp, sizeof tmp, "%s.tmp", path);
    int ok = size && DiskWrite(tmp, text, size, 0) &&
             DiskMove(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DiskDelete(tmp);
    return ok;
}

// The verdict on the manifest text and the cached signature; `st` holds the statement when it verified, and *known
// says whether `last` then holds the record it was held to.
static int Judge(const char* manifest, size_t size, ReleaseStatement* st, ReleaseRecord* last, int* known) {
    char path[kPathCap], digest[kDigestCap];
    size_t sigSize = 0;
    *known = 0;
    InstallPath(path, kSignatureCacheName);
    char* sig = DiskReadWhole(path, kSignatureFileMaxBytes, &sigSize);
    int verified = sig && ParseReleaseSignature(sig, sigSize, st) && Verify(sig, st, manifest, size, digest);
    free(sig);
    if (!verified) return kReleaseInvalid;
    *known = ReadLastRelease(last);
    return JudgeRelease(st, digest, *known ? last : NULL, SecondsSince1970());
}

int FetchReleaseSignature(const char* manifestPath) {
    char path[kPathCap];
    size_t size = 0;
    int known;
    ReleaseStatement st;
    ReleaseRecord last;
    if (!g_releaseKeyCount) return 1;
    InstallPath(path, kSignatureCacheName);
    DownloadToFile(L"/patch/manifest.tsv.sig", path, kSignatureFileMaxBytes, 0, 0);  // missing is judged so below
    char* manifest = DiskReadWhole(manifestPath, kManifestMaxBytes, &size);
    int verdict = manifest ? Judge(manifest, size, &st, &last, &known) : kReleaseInvalid;
    free(manifest);
    return verdict != kReleaseInvalid;
}

int ReleaseSignatureHolds(const char* manifest, size_t size) {
    ReleaseStatement st;
    ReleaseRecord last, now;
    int known;
    if (!g_releaseKeyCount) return 1;
    int verdict = Judge(manifest, size, &st, &last, &known);
    if (verdict != kReleaseAccepted) {
        ShowStatus("%s", kRefusals[verdict]);
        return 0;
    }
    // Recorded before any file is looked at: a run that stops later has still seen this release. Unrecorded (a
    // failed write), the next run holds releases to the older record, so the run need not stop for it.
    if (!known || last.counter != st.counter || strcmp(last.manifestDigest, st.manifestDigest) != 0) {
        now.counter = st.counter;
        memcpy(now.manifestDigest, st.manifestDigest, sizeof now.manifestDigest);
        WriteLastRelease(&now);
    }
    return 1;
}

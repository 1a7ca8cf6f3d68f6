#include <windows.h>
#include <wincrypt.h>

#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"

enum { kDigestChunkBytes = 64 * 1024, kSha256Bytes = 32 };

static void FactsOf(const BY_HANDLE_FILE_INFORMATION* info, FileFacts* facts) {
    facts->size = ((unsigned long long)info->nFileSizeHigh << 32) | info->nFileSizeLow;
    facts->writeTime = ((unsigned long long)info->ftLastWriteTime.dwHighDateTime << 32) | info->ftLastWriteTime.dwLowDateTime;
    facts->fileId = ((unsigned long long)info->nFileIndexHigh << 32) | info->nFileIndexLow;
    facts->volume = info->dwVolumeSerialNumber;
}

int ReadFileFacts(const char* path, FileFacts* facts) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE f = DiskOpenRead(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (f == INVALID_HANDLE_VALUE) return 0;
    int ok = GetFileInformationByHandle(f, &info);
    CloseHandle(f);
    if (ok) FactsOf(&info, facts);
    return ok;
}

int ComputeContentDigest(const char* path, char out[kDigestCap], FileFacts* facts, int progress) {
    int ok = 0;
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    HANDLE in = INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info;
    BYTE value[kSha256Bytes];
    unsigned char chunk[kDigestChunkBytes];  // per call: digests run on worker threads
    DWORD valueLen = sizeof value, got = 0;

    if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        prov = 0;
        goto done;
    }
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
        hash = 0;
        goto done;
    }
    in = DiskOpenRead(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_SEQUENTIAL_SCAN);
    // The facts come from the handle the content is read through, before the content: one open, not two.
    if (in == INVALID_HANDLE_VALUE || (facts && !GetFileInformationByHandle(in, &info))) goto done;
    for (;;) {
        if (!ReadFile(in, chunk, sizeof chunk, &got, NULL)) goto done;
        if (got == 0) break;
        if (!CryptHashData(hash, chunk, got, 0)) goto done;
        if (progress) ReportProgress(got, 0);
    }
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &valueLen, 0) || valueLen != sizeof value) goto done;

    BytesToHex(value, kSha256Bytes, out);
    if (facts) FactsOf(&info, facts);
    ok = 1;
done:
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (hash) CryptDestroyHash(hash);
    if (prov) CryptReleaseContext(prov, 0);
    return ok;
}

int DigestMatches(const char* path, const char* digest) {
    char have[kDigestCap];
    return ComputeContentDigest(path, have) && EqualsNoCase(have, digest);
}

#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>
#include <string.h>

#include "patch/patch.h"
#include "shell/shell.h"

enum { kDigestChunkBytes = 64 * 1024, kSha256Bytes = 32 };

int ComputeContentDigest(const char* path, char out[kDigestCap]) {
    static const char kHex[] = "0123456789abcdef";
    int ok = 0;
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    FILE* in = NULL;
    BYTE value[kSha256Bytes];
    unsigned char chunk[kDigestChunkBytes];  // per call: digests run on worker threads
    DWORD valueLen = sizeof value;

    if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        prov = 0;
        goto done;
    }
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
        hash = 0;
        goto done;
    }
    if (!(in = fopen(path, "rb"))) goto done;
    for (;;) {
        size_t got = fread(chunk, 1, sizeof chunk, in);
        if (got == 0) {
            if (ferror(in)) goto done;
            break;
        }
        if (!CryptHashData(hash, chunk, (DWORD)got, 0)) goto done;
    }
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &valueLen, 0) || valueLen != sizeof value) goto done;

    for (int i = 0; i < kSha256Bytes; i++) {
        out[2 * i] = kHex[value[i] >> 4];
        out[2 * i + 1] = kHex[value[i] & 15];
    }
    out[kDigestChars] = '\0';
    ok = 1;
done:
    if (in) fclose(in);
    if (hash) CryptDestroyHash(hash);
    if (prov) CryptReleaseContext(prov, 0);
    return ok;
}

int EnsureParentDirectories(const char* path) {
    char dir[kPathCap];
    FormatBounded(dir, sizeof dir, "%s", path);  // a longer path only gets the directories of its first 259 bytes
    size_t len = strlen(dir);
    // From index 3: "X:\" is the root and is never created or checked.
    for (size_t i = 3; i < len; i++) {
        if (dir[i] != '\\') continue;
        dir[i] = '\0';
        if (!CreateDirectoryA(dir, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
        DWORD attrs = GetFileAttributesA(dir);
        // A junction or symbolic link could lead our writes outside the install directory.
        if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
        dir[i] = '\\';
    }
    return 1;
}

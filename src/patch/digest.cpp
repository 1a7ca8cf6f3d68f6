#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>
#include <string.h>

#include "patch/patch.h"
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
    HANDLE f = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return 0;
    int ok = GetFileInformationByHandle(f, &info);
    CloseHandle(f);
    if (ok) FactsOf(&info, facts);
    return ok;
}

int ComputeContentDigest(const char* path, char out[kDigestCap], FileFacts* facts, int progress) {
    static const char kHex[] = "0123456789abcdef";
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
    in = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    // The facts come from the handle the content is read through, before the content: one open, not two.
    if (in == INVALID_HANDLE_VALUE || (facts && !GetFileInformationByHandle(in, &info))) goto done;
    for (;;) {
        if (!ReadFile(in, chunk, sizeof chunk, &got, NULL)) goto done;
        if (got == 0) break;
        if (!CryptHashData(hash, chunk, got, 0)) goto done;
        if (progress) ReportProgress(got, 0);
    }
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &valueLen, 0) || valueLen != sizeof value) goto done;

    for (int i = 0; i < kSha256Bytes; i++) {
        out[2 * i] = kHex[value[i] >> 4];
        out[2 * i + 1] = kHex[value[i] & 15];
    }
    out[kDigestChars] = '\0';
    if (facts) FactsOf(&info, facts);
    ok = 1;
done:
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (hash) CryptDestroyHash(hash);
    if (prov) CryptReleaseContext(prov, 0);
    return ok;
}

// Where links stop being the player's business: at the install folder itself for paths inside it, else at the
// root. Above the install folder a junction, a mounted volume or a synced folder is the player's own setup.
static size_t FirstCheckedComponent(const char* path) {
    size_t n = strlen(g_shell.installDir);
    if (n > 0 && strncmp(path, g_shell.installDir, n) == 0 && path[n] == '\\') return n;
    return 3;  // "X:\" is the root and is never created or checked
}

int EnsureParentDirectories(const char* path) {
    char dir[kPathCap];
    FormatBounded(dir, sizeof dir, "%s", path);  // a longer path only gets the directories of its first 259 bytes
    size_t len = strlen(dir), checked = FirstCheckedComponent(dir);
    for (size_t i = 3; i < len; i++) {
        if (dir[i] != '\\') continue;
        dir[i] = '\0';
        if (!CreateDirectoryA(dir, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
        DWORD attrs = GetFileAttributesA(dir);
        // A junction or symbolic link inside the install folder could lead our writes anywhere.
        if (attrs == INVALID_FILE_ATTRIBUTES || (i >= checked && (attrs & FILE_ATTRIBUTE_REPARSE_POINT))) return 0;
        dir[i] = '\\';
    }
    return 1;
}

const char* LinkOnTheWay(const char* relPath) {
    static char rel[kPathCap];  // the patch run's thread only
    char path[kPathCap];
    FormatBounded(rel, sizeof rel, ".");
    FormatBounded(path, sizeof path, "%s", g_shell.installDir);
    for (size_t start = 0;;) {
        DWORD attrs = GetFileAttributesA(path);
        if (attrs == INVALID_FILE_ATTRIBUTES) return NULL;  // the rest does not exist yet: we make it, link-free
        if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return rel;
        size_t end = start;
        while (relPath[end] && relPath[end] != '/' && relPath[end] != '\\') end++;
        if (!relPath[end]) return NULL;  // the last name is the file's own
        FormatBounded(rel, sizeof rel, "%.*s", (int)end, relPath);
        InstallPath(path, rel);
        start = end + 1;
    }
}

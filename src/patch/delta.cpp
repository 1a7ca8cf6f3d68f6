// A changed file assembled in the cache from the old file of the same path and the byte ranges of its new blob
// that the old file lacks, as the blob's chunk index describes them. The index is only a hint: every chunk is
// checked against it, the whole file against the manifest before anything is installed, and whatever goes wrong
// costs one whole download.
#include <windows.h>
#include <wincrypt.h>

#include <stdlib.h>
#include <string.h>

#include "patch/chunk_rules.h"
#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"

enum {
    kWindowBytes = 1024 * 1024 + kChunkMaxBytes,  // the old file is read a MiB at a time, as a hash pass reads
    kRangeBytes = 1024 * 1024,                   // neighbouring missing chunks share a request up to this
    kMatchCap = 64,
    kChunksObjectCap = 80,
};

namespace {
struct Assembly {
    HCRYPTPROV prov;
    HANDLE old, out;
    unsigned long long oldRead, reported;  // reported: dropped from the progress total, or added to what is done
    DeltaPlan plan;
    unsigned char* chunk;  // the chunk of a range on its way in (kChunkMaxBytes)
    size_t next, filled;   // its number, and its bytes so far
};

struct Text {
    char* data;
    size_t size;
};
}  // namespace

static int ChunkDigest(HCRYPTPROV prov, const unsigned char* data, size_t len, unsigned char out[32]) {
    HCRYPTHASH hash = 0;
    DWORD outLen = 32;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) return 0;
    int ok = CryptHashData(hash, data, (DWORD)len, 0) && CryptGetHashParam(hash, HP_HASHVAL, out, &outLen, 0) &&
             outLen == 32;
    CryptDestroyHash(hash);
    return ok;
}

static int WriteAt(HANDLE out, unsigned long long offset, const void* data, size_t len) {
    OVERLAPPED at;
    DWORD put = 0;
    ZeroMemory(&at, sizeof at);
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    return WriteFile(out, data, (DWORD)len, &put, &at) && put == len;
}

// The installed file, read only: its last name never followed, and kept from writers while it is read. What it
// gives is kept only where it matches a digest of the index, and the whole only where it matches the manifest, so
// the way to it needs no check. One shorter than a chunk holds nothing worth an index request.
static HANDLE OpenOldFile(const char* path) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE f =
        DiskOpenRead(path, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT);
    if (f == INVALID_HANDLE_VALUE) return f;
    if (GetFileType(f) != FILE_TYPE_DISK || !GetFileInformationByHandle(f, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (info.nFileSizeHigh == 0 && info.nFileSizeLow < kChunkMinBytes)) {
        CloseHandle(f);
        return INVALID_HANDLE_VALUE;
    }
    return f;
}

static int TakeText(void* ctx, unsigned long long at, const void* data, unsigned long n) {
    Text* t = (Text*)ctx;
    memcpy(t->data + at, data, n);  // within the cap DownloadPart keeps to
    t->size = (size_t)(at + n);
    return 1;
}

// The blob's chunk index, for this blob and its size; NULL when the server has none or this is not one.
static ChunkEntry* FetchChunkIndex(const PatchRecord* rec, size_t* count) {
    wchar_t object[kChunksObjectCap];
    char named[65];
    unsigned long long total = 0;
    Text text = {(char*)malloc(kChunkIndexMaxBytes), 0};
    ChunkEntry* chunks = NULL;
    long n = -1;
    FormatBoundedW(object, kChunksObjectCap, L"/patch/chunks/%hs", rec->digest);
    // Every line holds 67 bytes at least.
    if (text.data && DownloadPart(object, 0, 0, kChunkIndexMaxBytes, TakeText, &text) &&
        (chunks = (ChunkEntry*)malloc((text.size / 67 + 1) * sizeof *chunks)) != NULL)
        n = ParseChunkIndex(text.data, text.size, named, chunks, text.size / 67 + 1, &total);
    free(text.data);
    if (n < 0 || !EqualsNoCase(named, rec->digest) || total != rec->size) {
        free(chunks);
        return NULL;
    }
    *count = (size_t)n;
    return chunks;
}

static long ReadOld(void* ctx, unsigned char* buf, size_t cap) {
    Assembly* a = (Assembly*)ctx;
    DWORD got = 0;
    // No maintained file is larger: what lies beyond cannot be in the blob's chunks.
    if (a->oldRead >= kMaxBlobBytes) return 0;
    if (!ReadFile(a->old, buf, (DWORD)cap, &got, NULL)) return -1;
    a->oldRead += got;
    return (long)got;
}

// A chunk of the old file goes wherever the new file holds the same bytes.
static int TakeOldChunk(void* ctx, const unsigned char* data, size_t len) {
    Assembly* a = (Assembly*)ctx;
    unsigned char digest[32];
    unsigned found[kMatchCap];
    if (StopRequested()) return 0;
    if (!WantsLength(&a->plan, len)) return 1;
    if (!ChunkDigest(a->prov, data, len, digest)) return 0;
    for (size_t n; (n = TakeMatches(&a->plan, len, digest, found, kMatchCap)) > 0;)
        for (size_t i = 0; i < n; i++) {
            if (!WriteAt(a->out, a->plan.offsets[found[i]], data, len)) return 0;
            DropFromProgress(len);  // never to be fetched
            a->reported += len;
        }
    return 1;
}

// The bytes of a range, from its first chunk on: each chunk is written once it matches its digest.
static int TakeRangeBytes(void* ctx, unsigned long long, const void* data, unsigned long n) {
    Assembly* a = (Assembly*)ctx;
    const unsigned char* p = (const unsigned char*)data;
    unsigned char digest[32];
    while (n > 0) {
        if (a->next >= a->plan.count) return 0;
        const ChunkEntry* e = &a->plan.chunks[a->next];
        size_t part = e->length - a->filled < n ? e->length - a->filled : n;
        memcpy(a->chunk + a->filled, p, part);
        a->filled += part;
        p += part;
        n -= (unsigned long)part;
        if (a->filled < e->length) continue;
        if (!ChunkDigest(a->prov, a->chunk, e->length, digest) || memcmp(digest, e->digest, 32) != 0 ||
            !WriteAt(a->out, a->plan.offsets[a->next], a->chunk, e->length))
            return 0;
        ReportProgress(e->length, 0);
        a->reported += e->length;
        a->next++;
        a->filled = 0;
    }
    return 1;
}

int AssembleFromOldFile(const PatchRecord* rec, const wchar_t* object) {
    int ok = 0;
    Assembly a;
    ChunkEntry* chunks = NULL;
    size_t count = 0;
    unsigned char* window = NULL;
    ChunkRange range;
    ZeroMemory(&a, sizeof a);
    a.out = INVALID_HANDLE_VALUE;
    // Only an old file is worth an index request; small blobs have none.
    if (rec->size < kChunkIndexMinBlob || (a.old = OpenOldFile(rec->destPath)) == INVALID_HANDLE_VALUE) return 0;
    if (!(chunks = FetchChunkIndex(rec, &count)) || !StartDeltaPlan(&a.plan, chunks, count)) goto done;
    if (!CryptAcquireContextA(&a.prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        a.prov = 0;
        goto done;
    }
    if (!(window = (unsigned char*)malloc(kWindowBytes)) || !(a.chunk = (unsigned char*)malloc(kChunkMaxBytes)))
        goto done;
    if (!DiskMakeFolders(rec->cachePath, 0) || (a.out = DiskCreate(rec->cachePath, 0)) == INVALID_HANDLE_VALUE)
        goto done;
    if (!ForEachChunk(window, kWindowBytes, ReadOld, TakeOldChunk, &a)) goto done;
    CloseHandle(a.old);
    a.old = INVALID_HANDLE_VALUE;
    // Nothing in common: one request for the whole blob serves better than ranges of all of it.
    if (a.plan.keptBytes == 0) goto done;
    for (size_t next = 0; NextMissingRange(&a.plan, &next, kRangeBytes, &range);) {
        a.next = range.first;
        a.filled = 0;
        if (!DownloadPart(object, range.offset, range.bytes, rec->size, TakeRangeBytes, &a)) goto done;
    }
    ok = 1;
done:
    if (a.out != INVALID_HANDLE_VALUE && !CloseHandle(a.out)) ok = 0;
    // The whole against the manifest, as a downloaded blob is checked: only then is it the blob.
    if (ok) ok = DigestMatches(rec->cachePath, rec->digest);
    if (!ok) ReportProgress(0, a.reported);  // the whole blob comes instead
    if (a.old != INVALID_HANDLE_VALUE) CloseHandle(a.old);
    if (a.prov) CryptReleaseContext(a.prov, 0);
    free(a.chunk);
    free(window);
    EndDeltaPlan(&a.plan);
    free(chunks);
    return ok;
}

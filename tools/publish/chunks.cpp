// Chunk indexes: patch/chunks/<digest> beside every blob of at least 1 MiB, cut from the blob as it lies on disk
// by the launcher's own chunker and written in its own format, so a launcher fetches only what it lacks.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files.h"
#include "patch/chunk_rules.h"
#include "publish.h"

namespace {

enum { kWindowBytes = 4 * kChunkMaxBytes };

struct IndexWriter {
    int fd;
    std::string text;
    unsigned long long bytes;
};

long ReadBlob(void* ctx, unsigned char* buf, size_t cap) {
    for (;;) {
        ssize_t n = read(static_cast<IndexWriter*>(ctx)->fd, buf, cap);
        if (n >= 0 || errno != EINTR) return (long)n;
    }
}

int AddChunk(void* ctx, const unsigned char* data, size_t len) {
    IndexWriter* w = static_cast<IndexWriter*>(ctx);
    ChunkEntry e;
    char line[kChunkLineCap];
    e.length = (unsigned)len;
    EVP_Digest(data, len, e.digest, NULL, EVP_sha256(), NULL);
    w->text.append(line, FormatChunkLine(line, sizeof line, &e));
    w->bytes += len;
    return 1;
}

struct Blob {
    const char* digest;
    unsigned long long size;
};

// What the launcher checks of an index: it reads as one, names this blob and covers its size.
int DescribesBlob(void* ctx, const char* data, size_t size) {
    const Blob* b = static_cast<const Blob*>(ctx);
    char named[65];
    unsigned long long total = 0;
    std::vector<ChunkEntry> entries(size / 67 + 1);
    return ParseChunkIndex(data, size, named, entries.data(), entries.size(), &total) > 0 &&
           strcmp(named, b->digest) == 0 && total == b->size;
}

}  // namespace

int PutChunkIndex(const char* outDir, const char* digest, unsigned long long size, int* written) {
    const std::string dir = std::string(outDir) + "/patch/chunks";
    const std::string blob = std::string(outDir) + "/patch/blobs/" + digest;
    Blob b = {digest, size};
    IndexWriter w = {-1, "", 0};
    char* have = NULL;
    size_t haveSize = 0;
    int ok = 0;
    *written = 0;
    if (size < kChunkIndexMinBlob) return 1;
    // Named by its blob's digest, an index already there that reads right describes the very same bytes.
    if (ReadWholeFile((dir + "/" + digest).c_str(), kChunkIndexMaxBytes, &have, &haveSize)) {
        ok = DescribesBlob(&b, have, haveSize);
        free(have);
        if (ok) return 1;
    }
    if (!MakeDirectory(dir)) return 0;
    unsigned char* window = (unsigned char*)malloc(kWindowBytes);
    char header[kChunkHeaderCap];
    w.text.append(header, FormatChunkHeader(header, sizeof header, digest));
    if ((w.fd = open(blob.c_str(), O_RDONLY | O_CLOEXEC)) < 0 || !window ||
        !ForEachChunk(window, kWindowBytes, ReadBlob, AddChunk, &w) || w.bytes != size) {
        fprintf(stderr, "veq-publish: cannot read the blob %s for its chunk index\n", blob.c_str());
        ok = 0;
    } else {
        ok = WriteFileAtomically(dir.c_str(), digest, w.text.data(), w.text.size(), DescribesBlob, &b);
        *written = ok;
    }
    if (w.fd >= 0) close(w.fd);
    free(window);
    return ok;
}

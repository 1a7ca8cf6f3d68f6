#pragma once
// Content-defined chunks of a blob, the chunk index veq-publish writes beside it, and the launcher's plan for
// assembling a changed file from its old version and byte ranges of the new blob; without any file or Windows
// access. Boundaries are cut by a gear rolling hash over the last 64 bytes, so an insertion or a rewrite changes
// only the chunks around it. The index, patch/chunks/<digest of the blob>:
//   VEQCHUNKS1<TAB><digest of the blob>
//   <length><TAB><SHA-256 of the chunk>
// one line per chunk in blob order, digests in lower-case hex, lengths in decimal without leading zeros, every
// line ending in LF. Every chunk but the last holds kChunkMinBytes to kChunkMaxBytes bytes, the last 1 to
// kChunkMaxBytes.
#include <stddef.h>

#include "patch/manifest_rules.h"

enum {
    kChunkMinBytes = 16 * 1024,
    kChunkAvgBytes = 64 * 1024,
    kChunkMaxBytes = 256 * 1024,
    kChunkIndexMinBlob = 1024 * 1024,  // smaller blobs have no index: the request would cost more than it saves
    kChunkLineCap = 73,                // "262144<TAB><64 hex digits><LF>" and its zero
    kChunkHeaderCap = 77,
};
static const size_t kMaxChunks = (size_t)(kMaxBlobBytes / kChunkMinBytes) + 1;
static const size_t kChunkIndexMaxBytes = kChunkHeaderCap + kMaxChunks * (kChunkLineCap - 1);

struct ChunkEntry {
    unsigned length;
    unsigned char digest[32];
};

// The length of the chunk that starts at data[0]: where the rolling hash cuts in data[0..len), else
// min(len, kChunkMaxBytes). A caller that does not pass kChunkMaxBytes bytes must be at the end of the blob.
size_t ChunkLength(const unsigned char* data, size_t len);

// Cuts a whole stream into chunks, in order, through a window of windowBytes (at least 2 * kChunkMaxBytes):
// `read` fills up to cap bytes (0 at the end, -1 on failure); `take` gets each chunk (0 stops). 1 when the stream
// was read to its end and every chunk taken.
typedef long (*ChunkRead)(void* ctx, unsigned char* buf, size_t cap);
typedef int (*ChunkTake)(void* ctx, const unsigned char* chunk, size_t len);
int ForEachChunk(unsigned char* window, size_t windowBytes, ChunkRead read, ChunkTake take, void* ctx);

size_t FormatChunkHeader(char* buf, size_t cap, const char* blobDigest);
size_t FormatChunkLine(char* buf, size_t cap, const ChunkEntry* e);

// The chunks of an index, at most cap, and the digest its header names (lower case); *total gets the sum of the
// lengths. -1 when the text is not exactly an index as FormatChunk* writes it.
long ParseChunkIndex(const char* text, size_t size, char blobDigest[65], ChunkEntry* entries, size_t cap,
                     unsigned long long* total);

// One changed file's assembly: which chunks of the new blob are in place, and where each starts.
struct DeltaPlan {
    const ChunkEntry* chunks;
    size_t count;
    unsigned long long* offsets;  // count + 1: the last is the blob's size
    unsigned* byDigest;           // chunk numbers ordered by digest, then number
    unsigned char* have;          // 1 once the chunk's bytes are in the new file
    unsigned char* lengths;       // a bit per length some chunk has: most old chunks need no digest at all
    unsigned long long keptBytes;
};
int StartDeltaPlan(DeltaPlan* plan, const ChunkEntry* chunks, size_t count);  // 0: no memory
void EndDeltaPlan(DeltaPlan* plan);
int WantsLength(const DeltaPlan* plan, size_t length);
// The chunks not in place yet that hold exactly a chunk of this length and digest, at most cap of them into
// `found`; they count as in place from here on.
size_t TakeMatches(DeltaPlan* plan, size_t length, const unsigned char digest[32], unsigned* found, size_t cap);

// The next run of chunks not in place at or after chunk *next, as one range of at most maxBytes (or one chunk,
// when it alone is larger); *next moves past it. 0 when there is none.
struct ChunkRange {
    size_t first, count;
    unsigned long long offset, bytes;
};
int NextMissingRange(const DeltaPlan* plan, size_t* next, unsigned long long maxBytes, ChunkRange* range);

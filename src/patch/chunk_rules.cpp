#include "patch/chunk_rules.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "shell/format_rules.h"

namespace {

// 256 fixed random values (splitmix64 from a fixed seed): veq-publish and every launcher must cut alike.
struct GearTable {
    uint64_t v[256];
    constexpr GearTable() : v() {
        uint64_t x = 0x5645514348554e4bULL;
        for (int i = 0; i < 256; i++) {
            uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            v[i] = z ^ (z >> 31);
        }
    }
};
constexpr GearTable kGear;

// Shifted left once a byte, the hash's top bits depend on the last 64 bytes only. Below the average length a cut
// needs more zero bits than above it, which keeps lengths close to the average (normalised chunking).
const uint64_t kMaskBelowAvg = ~0ULL << (64 - 17), kMaskAboveAvg = ~0ULL << (64 - 13);
const char kTag[] = "VEQCHUNKS1\t";
}  // namespace

size_t ChunkLength(const unsigned char* data, size_t len) {
    if (len <= kChunkMinBytes) return len;
    size_t end = std::min<size_t>(len, kChunkMaxBytes), avg = std::min<size_t>(end, kChunkAvgBytes);
    uint64_t h = 0;
    // The hash starts a window before the shortest cut, so every cut depends on content, not on where the
    // chunk began.
    size_t i = kChunkMinBytes - 64;
    for (; i < kChunkMinBytes; i++) h = (h << 1) + kGear.v[data[i]];
    for (; i < avg; i++) {
        h = (h << 1) + kGear.v[data[i]];
        if (!(h & kMaskBelowAvg)) return i + 1;
    }
    for (; i < end; i++) {
        h = (h << 1) + kGear.v[data[i]];
        if (!(h & kMaskAboveAvg)) return i + 1;
    }
    return end;
}

int ForEachChunk(unsigned char* window, size_t windowBytes, ChunkRead read, ChunkTake take, void* ctx) {
    size_t start = 0, end = 0;
    int atEnd = 0;
    if (windowBytes < kChunkMaxBytes) return 0;
    for (;;) {
        if (!atEnd && end - start < kChunkMaxBytes) {
            memmove(window, window + start, end - start);
            end -= start;
            start = 0;
            while (!atEnd && end < windowBytes) {
                long got = read(ctx, window + end, windowBytes - end);
                if (got < 0 || (size_t)got > windowBytes - end) return 0;
                atEnd = got == 0;
                end += (size_t)got;
            }
        }
        if (start == end) return 1;
        size_t n = ChunkLength(window + start, end - start);
        if (!take(ctx, window + start, n)) return 0;
        start += n;
    }
}

size_t FormatChunkHeader(char* buf, size_t cap, const char* blobDigest) {
    FormatBounded(buf, cap, "%s%s\n", kTag, blobDigest);
    return cap ? strlen(buf) : 0;
}

size_t FormatChunkLine(char* buf, size_t cap, const ChunkEntry* e) {
    char hex[65];
    BytesToHex(e->digest, 32, hex);
    FormatBounded(buf, cap, "%u\t%s\n", e->length, hex);
    return cap ? strlen(buf) : 0;
}

long ParseChunkIndex(const char* text, size_t size, char blobDigest[65], ChunkEntry* entries, size_t cap,
                     unsigned long long* total) {
    const size_t tag = sizeof kTag - 1;
    size_t pos = tag + 65;
    long count = 0;
    *total = 0;
    if (size < pos || memcmp(text, kTag, tag) != 0 || !IsLowerHexDigits(text + tag, 64) || text[tag + 64] != '\n')
        return -1;
    memcpy(blobDigest, text + tag, 64);
    blobDigest[64] = '\0';
    while (pos < size) {
        unsigned long length = 0;
        size_t digits = 0;
        // A short chunk ends the blob: nothing may follow it.
        if ((size_t)count == cap || (count > 0 && entries[count - 1].length < kChunkMinBytes)) return -1;
        while (pos + digits < size && digits < 7 && text[pos + digits] >= '0' && text[pos + digits] <= '9')
            length = length * 10 + (unsigned long)(text[pos + digits++] - '0');
        if (digits == 0 || text[pos] == '0' || length > kChunkMaxBytes) return -1;
        pos += digits;
        if (size - pos < 66 || text[pos] != '\t' || !IsLowerHexDigits(text + pos + 1, 64) || text[pos + 65] != '\n')
            return -1;
        ChunkEntry* e = &entries[count++];
        e->length = (unsigned)length;
        HexToBytes(text + pos + 1, 32, e->digest);
        *total += length;
        pos += 66;
    }
    return count > 0 ? count : -1;
}

int StartDeltaPlan(DeltaPlan* plan, const ChunkEntry* chunks, size_t count) {
    memset(plan, 0, sizeof *plan);
    plan->chunks = chunks;
    plan->count = count;
    plan->offsets = (unsigned long long*)malloc((count + 1) * sizeof *plan->offsets);
    plan->byDigest = (unsigned*)malloc((count ? count : 1) * sizeof *plan->byDigest);
    plan->have = (unsigned char*)calloc(count ? count : 1, 1);
    plan->lengths = (unsigned char*)calloc(kChunkMaxBytes / 8 + 1, 1);
    if (!plan->offsets || !plan->byDigest || !plan->have || !plan->lengths) {
        EndDeltaPlan(plan);
        return 0;
    }
    plan->offsets[0] = 0;
    for (size_t i = 0; i < count; i++) {
        plan->offsets[i + 1] = plan->offsets[i] + chunks[i].length;
        plan->byDigest[i] = (unsigned)i;
        if (chunks[i].length <= kChunkMaxBytes)
            plan->lengths[chunks[i].length / 8] |= (unsigned char)(1 << chunks[i].length % 8);
    }
    std::sort(plan->byDigest, plan->byDigest + count, [chunks](unsigned a, unsigned b) {
        int c = memcmp(chunks[a].digest, chunks[b].digest, 32);
        return c < 0 || (c == 0 && a < b);
    });
    return 1;
}

void EndDeltaPlan(DeltaPlan* plan) {
    free(plan->offsets);
    free(plan->byDigest);
    free(plan->have);
    free(plan->lengths);
    memset(plan, 0, sizeof *plan);
}

int WantsLength(const DeltaPlan* plan, size_t length) {
    return length <= kChunkMaxBytes && (plan->lengths[length / 8] >> length % 8 & 1);
}

size_t TakeMatches(DeltaPlan* plan, size_t length, const unsigned char digest[32], unsigned* found, size_t cap) {
    const ChunkEntry* chunks = plan->chunks;
    size_t n = 0;
    auto before = [chunks](unsigned a, const unsigned char* d) { return memcmp(chunks[a].digest, d, 32) < 0; };
    const unsigned* it = std::lower_bound(plan->byDigest, plan->byDigest + plan->count, digest, before);
    for (; it < plan->byDigest + plan->count && n < cap && memcmp(chunks[*it].digest, digest, 32) == 0; ++it) {
        if (plan->have[*it] || chunks[*it].length != length) continue;
        plan->have[*it] = 1;
        plan->keptBytes += length;
        found[n++] = *it;
    }
    return n;
}

int NextMissingRange(const DeltaPlan* plan, size_t* next, unsigned long long maxBytes, ChunkRange* range) {
    size_t i = *next;
    while (i < plan->count && plan->have[i]) i++;
    if (i == plan->count) return 0;
    range->first = i;
    range->offset = plan->offsets[i];
    range->bytes = 0;
    for (; i < plan->count && !plan->have[i]; i++) {
        if (range->bytes > 0 && range->bytes + plan->chunks[i].length > maxBytes) break;
        range->bytes += plan->chunks[i].length;
    }
    range->count = i - range->first;
    *next = i;
    return 1;
}

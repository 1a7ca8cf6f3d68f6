// Raw bytes as a chunk index, through ParseChunkIndex: what it accepts is written out again byte for byte and keeps
// the limits the launcher's assembly relies on.
#include <assert.h>
#include <stdint.h>

#include <string>

#include "patch/chunk_rules.h"

static ChunkEntry g_entries[kMaxChunks];

static void CheckText(const std::string& text) {
    char named[65], line[kChunkHeaderCap];
    unsigned long long total = 0, sum = 0;
    long n = ParseChunkIndex(text.data(), text.size(), named, g_entries, kMaxChunks, &total);
    if (n < 0) return;
    std::string again(line, FormatChunkHeader(line, sizeof line, named));
    for (long i = 0; i < n; i++) {
        assert(g_entries[i].length >= (i == n - 1 ? 1 : kChunkMinBytes) && g_entries[i].length <= kChunkMaxBytes);
        again.append(line, FormatChunkLine(line, sizeof line, &g_entries[i]));
        sum += g_entries[i].length;
    }
    assert(n >= 1 && again == text && sum == total && "accepted only as written, with its total");
    assert(ParseChunkIndex(text.data(), text.size(), named, g_entries, (size_t)n - 1, &total) == -1 && "the cap holds");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw((const char*)data, size);
    CheckText(raw);
    // Behind a valid header too, so chunk lines are explored without first finding one.
    CheckText("VEQCHUNKS1\t9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n" + raw);
    return 0;
}

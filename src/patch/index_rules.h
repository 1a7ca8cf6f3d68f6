#pragma once
// patch-cache\index.tsv, without any file or Windows access: what the launcher knew of every file of a release
// the last time it had verified them all. PLAY trusts a file whose size, last-write time, file id and volume are
// still those written here, and hashes only the others; UPDATE CLIENT hashes everything and writes it anew.
//   VEQINDEX1<TAB><release id>
//   <digest><TAB><size><TAB><last write: 100 ns since 1601><TAB><file id><TAB><volume serial><TAB><path>
// one line per manifest entry, in manifest order, all numbers in decimal, lines ending in LF.
#include <stddef.h>

struct FileFacts {
    unsigned long long size, writeTime, fileId;
    unsigned long volume;
};

struct IndexEntry {
    char digest[65];
    FileFacts facts;
    char path[181];
};

enum { kIndexLineCap = 360 };

size_t FormatIndexHeader(char* buf, size_t cap, const char* releaseId);
size_t FormatIndexLine(char* buf, size_t cap, const IndexEntry* e);

// The entries of an index written for `releaseId`, at most cap; -1 when the text is not one (another release, a
// damaged or foreign file): then nothing in it is trusted.
long ParseIndex(const char* text, size_t size, const char* releaseId, IndexEntry* entries, size_t cap);

int SameFacts(const FileFacts* a, const FileFacts* b);

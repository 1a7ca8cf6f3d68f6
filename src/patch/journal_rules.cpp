#include "patch/journal_rules.h"

#include <string.h>

#include "patch/manifest_rules.h"
#include "shell/format_rules.h"

const char kJournalEnd[] = "end\n";
const char kMarkerName[] = "installing";

size_t FormatJournalLine(char* buf, size_t cap, unsigned index, int existed, const char* path) {
    FormatBounded(buf, cap, "%u\t%d\t%s\n", index, existed ? 1 : 0, path);
    return cap ? strlen(buf) : 0;
}

// One entry line without its LF; 0 when it is not one.
static int ParseEntry(const char* line, size_t len, size_t installDirLen, JournalEntry* e) {
    size_t i = 0;
    unsigned long index = 0;
    while (i < len && line[i] >= '0' && line[i] <= '9' && i < 5) index = index * 10 + (unsigned)(line[i++] - '0');
    if (i == 0 || index >= kMaxManifestEntries || i + 3 > len || line[i] != '\t') return 0;
    if ((line[i + 1] != '0' && line[i + 1] != '1') || line[i + 2] != '\t') return 0;
    const char* path = line + i + 3;
    size_t pathLen = len - (i + 3);
    if (ManifestPathProblem(path, pathLen, installDirLen)) return 0;
    e->index = (unsigned)index;
    e->existed = line[i + 1] == '1';
    memcpy(e->path, path, pathLen);
    e->path[pathLen] = '\0';
    return 1;
}

long ParseJournal(const char* text, size_t size, size_t installDirLen, JournalEntry* entries, size_t cap,
                  int* complete) {
    long count = 0;
    *complete = 0;
    for (size_t pos = 0; pos < size;) {
        const char* lf = (const char*)memchr(text + pos, '\n', size - pos);
        if (*complete) return -1;  // nothing follows the mark
        if (!lf) break;            // torn
        size_t len = (size_t)(lf - (text + pos));
        if (len == sizeof kJournalEnd - 2 && memcmp(text + pos, kJournalEnd, len) == 0) {
            *complete = 1;
        } else {
            JournalEntry e;
            if ((size_t)count == cap || !ParseEntry(text + pos, len, installDirLen, &e)) return -1;
            entries[count++] = e;
        }
        pos += len + 1;
    }
    return count;
}

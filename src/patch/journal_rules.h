#pragma once
// The backup journal files.tsv, without any file or Windows access. Before a run replaces its first file the
// journal lists every file the run may replace, one line each:
//   <manifest index>\t<1 if the file existed and was copied to <index>.bak, else 0>\t<relative path with '/'>\n
// When the install phase has ended (everything installed, or everything put back), the run sets the completion mark
// "end\n" as the last line, once. A journal without it belongs to an install that was cut off, or to a run cut off
// before its marker (kMarkerName beside the journal) sent anybody to it.
#include <stddef.h>

enum { kJournalLineCap = 200 };

struct JournalEntry {
    unsigned index;  // also the number of its backup, "<index>.bak"
    int existed;
    char path[181];
};

// "<index>\t<existed>\t<path>\n" into buf[cap]; its length.
size_t FormatJournalLine(char* buf, size_t cap, unsigned index, int existed, const char* path);
extern const char kJournalEnd[];  // "end\n"
extern const char kMarkerName[];  // "installing": beside files.tsv from before the first change until the mark

// Reads a whole journal. Every line must be an entry whose path passes the manifest's path rules for this install
// folder (so a damaged or foreign journal can never lead a restore outside it), and the only other line allowed
// is the completion mark, last. A last line without its LF was cut off as it was written (a power cut): it is not
// there, so a torn mark is no mark, but nothing may follow a whole one. Returns the number of entries (at most
// cap), or -1 when the journal is not one this launcher wrote; *complete says whether it carries the mark.
long ParseJournal(const char* text, size_t size, size_t installDirLen, JournalEntry* entries, size_t cap,
                  int* complete);

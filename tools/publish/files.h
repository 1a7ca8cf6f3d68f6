#pragma once
// File helpers of veq-publish: SHA-256 digests, content-addressed blob writes, progress lines.
#include <stddef.h>
#include <stdio.h>
#include <time.h>

enum { kDigestHex = 64 };

// Counts of one long phase, printed at most once a second.
struct Progress {
    FILE* out;
    const char* phase;
    unsigned filesDone, filesTotal;
    unsigned long long bytesDone, bytesTotal;
    time_t lastShown;
    int shown;                 // a line was printed in this phase, so its end is printed too
    unsigned long long shownBytes;
    unsigned shownFiles;       // what the last line said
};

void StartProgress(Progress* p, FILE* out, const char* phase, unsigned files, unsigned long long bytes);
void AddProgress(Progress* p, unsigned files, unsigned long long bytes);
void EndProgress(Progress* p);

void HexDigest(const unsigned char value[32], char hex[kDigestHex + 1]);
void DigestBytes(const char* data, size_t size, char hex[kDigestHex + 1]);

// Opens the file `rel` ("a/b/c", no "." or "..") below the folder rootFd, read-only, refusing a symbolic link at
// every step: a folder or file swapped for a link after it was listed is never followed. -1 with errno set.
int OpenBeneath(int rootFd, const char* rel);

// SHA-256 of the file open as fd, from where it stands, which must hold exactly `size` bytes more (a file that
// changed since it was listed fails). `path` names it in messages. 1 on success; otherwise the reason is on stderr.
int DigestFd(int fd, const char* path, unsigned long long size, char hex[kDigestHex + 1], Progress* p);

// Puts one blob at blobsDir/<digest>: kept when a file of that name and size is there, else copied from the start
// of the file open as `src` (named `name` in messages), or from `data` when src is -1, to a temporary name,
// checked against the digest, flushed and renamed. *written is 1 when a new blob was written. 1 on success;
// otherwise the reason is on stderr.
int PutBlob(const char* blobsDir, const char* digest, unsigned long long size, int src, const char* name,
            const char* data, int* written);

// Reads a whole file (at most `cap` bytes) into *data (malloc'd, caller frees). 1 on success.
int ReadWholeFile(const char* path, size_t cap, char** data, size_t* size);
int ReadWholeFd(int fd, size_t cap, char** data, size_t* size);

// Like fputs of a client path, with every byte outside printable ASCII shown as \xNN (and TAB as \t).
void PutPrintablePath(FILE* f, const char* path, size_t len);

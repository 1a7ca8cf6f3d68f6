#pragma once
// veq-publish: turns a folder laid out like an install folder into a release tree the launcher patches from
// (OUT/patch/manifest.tsv and OUT/patch/blobs/<digest>), keeps every published manifest in OUT/history, and
// prunes blobs that no recent manifest names.
#include <openssl/types.h>
#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

enum {
    kDefaultMaxInstallDir = 100,  // longest install folder a release is checked for, unless told otherwise
    kHostCap = 16,                // "255.255.255.255" and its zero
};

enum { kPublishOk = 0, kPublishRefused = 1, kPublishFailed = 2 };

struct PublishOptions {
    const char* clientDir;
    const char* outDir;
    size_t maxInstallDir;        // every path must fit an install folder of this many characters
    int strict;                  // files the launcher does not maintain are errors instead of being skipped
    char serviceHost[kHostCap];  // BishopIP of the published autoupdate.ini
    FILE* report;                // skipped and refused files, the summary
    FILE* progress;              // progress of long publishes
    EVP_PKEY* signKey;           // NULL: the release is not signed
    unsigned long expiresDays;   // of its signature
};

// kPublishOk when the release is in place; kPublishRefused when some file would make the launcher refuse the
// release (each one listed, nothing written); kPublishFailed on an I/O failure (blobs already written stay).
int PublishRelease(const PublishOptions* o);

// Writes OUT/patch/chunks/<digest> for the blob of that digest and size when it is at least 1 MiB and no index
// that reads right is there; *written is 1 when one was written. 1 on success; otherwise the reason is on stderr.
int PutChunkIndex(const char* outDir, const char* digest, unsigned long long size, int* written);

// Removes the blobs (and their chunk indexes) that no kept manifest names, and the history entries older than
// those. Kept are the live manifest, the last `keep` published and every one live less than `minAge` seconds ago.
// kPublishFailed, removing nothing, when a kept manifest cannot be read.
int PruneReleases(const char* outDir, unsigned keep, long long minAge, FILE* report);

// 1 when `text` is an IPv4 address in dotted-decimal form (four numbers 0 to 255, no signs or blanks).
int IsDottedQuad(const char* text);

// Writes `bytes` as the file dir/name: a temporary file in dir, flushed to disk, then renamed over name, so a
// reader sees the old file or the whole new one. `check` (may be NULL) sees the bytes read back from the disk
// before the rename; returning 0 abandons the write. 1 on success; otherwise the reason is on stderr.
typedef int (*WrittenCheck)(void* ctx, const char* data, size_t size);
int WriteFileAtomically(const char* dir, const char* name, const char* bytes, size_t size, WrittenCheck check,
                        void* ctx);

// Creates a folder unless it is there already; 1 then, otherwise the reason is on stderr.
int MakeDirectory(const std::string& path);

// Flushes a directory's entries (renames, new files) to disk; 1 on success.
int SyncDirectory(const char* dir);

// Published manifests are kept as history/<sequence>-<release id>.tsv, the sequence counting up from 1.
struct HistoryEntry {
    unsigned long sequence;
    std::string name;
};
// The history entries of outDir, oldest first (none when the folder does not exist). 1 on success.
int ListHistory(const char* outDir, std::vector<HistoryEntry>* entries);

// Holds an exclusive lock on outDir/.veq-publish.lock, so a publish and a prune never interleave. Returns the
// descriptor to close, or -1 with the reason on stderr.
int LockReleaseTree(const char* outDir);

// ---- Signatures (sign.cpp) ----
enum { kDefaultExpiresDays = 30, kMaxExpiresDays = 3650 };
// The operator's release key: a PEM private RSA key of 3072 to 4096 bits (its passphrase is asked for on the
// terminal). NULL with the reason on stderr.
EVP_PKEY* LoadReleaseKey(const char* path);
// Signs `manifest` as OUT_DIR's live manifest into patch/manifest.tsv.sig (atomically), with a counter one more
// than the last one written into OUT_DIR, valid for `days` days. The caller holds the tree's lock. 1 on success.
int SignManifest(const char* outDir, const std::string& manifest, EVP_PKEY* key, unsigned long days, FILE* report);
// veq-publish sign: the live manifest signed anew, for a new expiry. kPublishOk or kPublishFailed.
int ResignRelease(const char* outDir, EVP_PKEY* key, unsigned long days, FILE* report);
// Tells the operator when OUT_DIR's signature is not one of `manifest` (an unsigned publish over a signed one).
void WarnStaleSignature(const char* outDir, const std::string& manifest, FILE* report);

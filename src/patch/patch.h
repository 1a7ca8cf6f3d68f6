#pragma once
// Patch engine: content digests, directory creation, HTTPS download, the manifest and the patch run.
#include "patch/index_rules.h"

enum {
    kDigestChars = 64,
    kDigestCap = kDigestChars + 1,
};

// SHA-256 of the file's bytes as 64 lower-case hex digits, and with `facts` what the index records of the file,
// read before its content; with `progress` each piece read is reported as progress. On failure `out` and `facts`
// are left untouched.
int ComputeContentDigest(const char* path, char out[kDigestCap], FileFacts* facts = 0, int progress = 0);
// 1 when the file's content digest is `digest` (hex of either case).
int DigestMatches(const char* path, const char* digest);
// GET `object` from the service host over HTTPS into `dest`. On failure `dest` does not exist afterwards.
int DownloadToFile(const wchar_t* object, const char* dest, unsigned long long maxBytes,
                   unsigned long long expectedBytes, int exactSize);
// The blob `object` of `size` bytes into its partial file, going on (with a range request) from the bytes a plain
// file there holds, *had of them: none when it is a link or has another name. What came stays when the run is
// stopped or the line fails, for the next run; it goes when the body proves to be of another size. Reports its
// bytes as progress. Whole is not verified: the caller checks the digest.
int DownloadBlob(const wchar_t* object, const char* partPath, unsigned long long size, unsigned long long* had);
// The bytes of a partial blob that DownloadBlob would go on from.
unsigned long long HeldBlobBytes(const char* partPath, unsigned long long size);
// GET bytes [first, first + bytes) of `object`, a body of `total` bytes, or with bytes == 0 the whole body of at
// most `total` bytes, handing them to `take` in order with their place in the part (a whole body tried again
// starts again at 0; 0 from `take` ends the download). Tried again, and a range resumed where it was cut, as
// DownloadToFile does. 1 when all were taken.
typedef int (*PartTake)(void* ctx, unsigned long long at, const void* data, unsigned long n);
int DownloadPart(const wchar_t* object, unsigned long long first, unsigned long long bytes,
                 unsigned long long total, PartTake take, void* ctx);
// Brings the client in the install directory to the published release, hashing every file to check it (UPDATE
// CLIENT is the player's "verify files"). Owns the busy state.
int RunPatch(void);
// The same for PLAY: a file whose size, write time, id and volume are those the index recorded at the last full
// check is taken as it was then, unhashed. A change that keeps all four is found by UPDATE CLIENT only.
int RunPatchForPlay(void);

// One manifest entry as the patch run works on it.
struct PatchRecord {
    char digest[kDigestCap];   // as written in the manifest
    char relPath[181];         // with '/'
    char destPath[260];        // install directory + '\' + relPath with '\'
    char cachePath[260];       // cache directory + '\' + digest
    char backupPath[260];      // backup directory + "\<index>.bak"
    unsigned long long size;
    int needsUpdate;
    int existedBefore;
    FileFacts facts;  // read before the file's content was verified, for the index; haveFacts 0: unreadable
    int haveFacts;
};

// What loading the manifest yields; `records` is a zero-filled table of kMaxPatchRecords owned by the patch run.
struct PatchRelease {
    char releaseId[33];
    char cacheDir[260];
    char backupDir[260];
    unsigned entryCount;
    unsigned changedCount;
    unsigned long long neededSpace;
    int trustIndex;  // PLAY: a file the index vouches for is not hashed again
    int allVouched;  // the index vouched for every file: it holds nothing new
    PatchRecord* records;
};

enum { kMaxPatchRecords = 10000 };

// Puts a changed file's new content into its cache file from the old file of the same path and byte ranges of
// its blob (`object`), as the blob's chunk index on the server guides it, and checks the whole against the
// manifest's digest. 0 when that cannot be done (no index, nothing to keep, a range refused or not verifying, the
// whole not matching, the player stopping): the caller downloads the whole blob, unless stopped. Reports its bytes
// as progress, and gives them back when it fails.
int AssembleFromOldFile(const PatchRecord* rec, const wchar_t* object);
// The blob of a changed file whole and verified in the cache: assembled as above, else downloaded, going on from
// its partial file. 0 when it cannot be had, or the player stopped the run.
int FetchBlob(const PatchRecord* rec);

// The connection the patch run's downloads share; DownloadToFile opens one of its own when none is open.
int OpenPatchLink(void);
void ClosePatchLink(void);

// The install of a run whose blobs are all cached and verified (src/patch/install.cpp). BackUpChanged copies
// each file about to be replaced and writes the journal, then the marker; InstallChanged replaces them one by one,
// setting *bound to the number of leading records a rollback must visit, and marks the journal complete (1 once
// the mark is on the disk, the marker removed or not); RollBack puts back what was replaced and marks it complete.
int BackUpChanged(PatchRelease* rel);
int InstallChanged(PatchRelease* rel, unsigned* bound);
int RollBack(PatchRelease* rel, unsigned bound);  // 0 when something could not be put back
// After a successful run: no "*.veq-new" left in the install folder, only this release's blob cache (and the
// manifest) in patch-cache, and of the backup folders those that hold a marker and the two newest whose journals
// carry their completion mark.
void TidyUp(const PatchRelease* rel);
// One patch run per install folder, whatever launcher runs it: held for the run and the configuration rewrite
// after it. NULL when another launcher holds it. Taken again by the thread that holds it, it nests.
void* TakeRunLock(void);
void ReleaseRunLock(void* lock);

// Puts back the old client after an install that was cut off (a kill, a power cut); 1 when there was none or it
// is whole again, -1 when a link on the way of a journal refused it (its message shown). Shows "Memulihkan
// pemasangan yang terganggu..." while it puts files back; a marker beside a marked journal only goes, if it can.
int RecoverInterruptedInstall(void);
// The journal of one backup folder, read and checked: its entries (a table of kMaxPatchRecords; free it, whatever
// the result) and whether it has its completion mark. -1 when it cannot be read or trusted.
struct JournalEntry;
long ReadJournal(const char* backupDir, JournalEntry** entries, int* complete);

// Downloads "/patch/manifest.tsv" into the manifest cache file (with release keys, its signature too); shows its
// own failure message.
int FetchPatchManifest(void);
// Validates the cached manifest, fills `rel` and classifies every entry; shows its own failure message.
int LoadPatchManifest(PatchRelease* rel);

// A public key releases must be signed with, as CryptImportKey takes it (a PUBLICKEYBLOB).
struct ReleaseKey {
    const unsigned char* blob;
    unsigned long size;
};
// The build's keys (release_keys.cpp, made from VEQ_RELEASE_KEY); with none, no signature is fetched or checked.
extern const ReleaseKey* g_releaseKeys;
extern unsigned g_releaseKeyCount;
// With release keys: fetches the signature beside the cached manifest (a missing one stays missing), and returns 0
// when the pair does not match, so the caller may fetch both again. 1 without keys.
int FetchReleaseSignature(const char* manifestPath);
// 1 when the manifest text may be used: signed by a release key, not older than the release last accepted here,
// not expired; it is then recorded as accepted. Otherwise shows why. 1 without keys.
int ReleaseSignatureHolds(const char* manifest, size_t size);
// patch-cache\index.tsv for a client that now matches `rel` in every file, from the facts each record holds;
// 1 when it is on the disk.
int WriteIndex(const PatchRelease* rel);
int ReadFileFacts(const char* path, FileFacts* facts);  // 0 when the file cannot be opened

#pragma once
// Patch engine: content digests, directory creation, HTTPS download, the manifest and the patch run.

enum {
    kDigestChars = 64,
    kDigestCap = kDigestChars + 1,
};

// SHA-256 of the file's bytes as 64 lower-case hex digits. On failure `out` is left untouched.
int ComputeContentDigest(const char* path, char out[kDigestCap]);
// Creates every directory before the last backslash of an absolute "X:\..." path; refuses reparse points.
int EnsureParentDirectories(const char* path);
// GET `object` from the service host over HTTPS into `dest`. On failure `dest` does not exist afterwards.
int DownloadToFile(const wchar_t* object, const char* dest, unsigned long long maxBytes,
                   unsigned long long expectedBytes, int exactSize);
// Brings the client in the install directory to the published release. Owns the busy state.
int RunPatch(void);

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
};

// What loading the manifest yields; `records` is a zero-filled table of kMaxPatchRecords owned by the patch run.
struct PatchRelease {
    char releaseId[33];
    char cacheDir[260];
    char backupDir[260];
    unsigned entryCount;
    unsigned changedCount;
    unsigned long long neededSpace;
    PatchRecord* records;
};

enum { kMaxPatchRecords = 10000 };

// The connection the patch run's downloads share; DownloadToFile opens one of its own when none is open.
int OpenPatchLink(void);
void ClosePatchLink(void);

// The install of a run whose blobs are all cached and verified (src/patch/install.cpp). BackUpChanged copies
// each file about to be replaced and writes the journal; InstallChanged replaces them one by one, setting *bound
// to the number of leading records a rollback must visit; RollBack puts back what was replaced.
int BackUpChanged(PatchRelease* rel);
int InstallChanged(PatchRelease* rel, unsigned* bound);
void RollBack(PatchRelease* rel, unsigned bound);

// Downloads "/patch/manifest.tsv" into the manifest cache file; shows its own failure message.
int FetchPatchManifest(void);
// Validates the cached manifest, fills `rel` and classifies every entry; shows its own failure message.
int LoadPatchManifest(PatchRelease* rel);

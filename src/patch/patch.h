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

#include <windows.h>

#include <stdio.h>

#include "patch/patch.h"
#include "shell/shell.h"

enum { kCopyChunkBytes = 256 * 1024 };

// Copies `from` onto `to` (created or truncated). 0 on any read, write or close error; a partial `to` stays.
static int CopyFileWhole(const char* from, const char* to) {
    static unsigned char chunk[kCopyChunkBytes];  // one patch run at a time, on its one thread
    int ok = 0;
    FILE* in = NULL;
    FILE* out = NULL;
    size_t got;

    if (!(in = fopen(from, "rb"))) goto done;
    if (!(out = fopen(to, "wb"))) goto done;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
        if (fwrite(chunk, 1, got, out) != got) goto done;
    ok = !ferror(in);
done:
    if (out && fclose(out) != 0) ok = 0;
    if (in) fclose(in);
    return ok;
}

static int DigestMatches(const char* path, const char* digest) {
    char have[kDigestCap];
    return ComputeContentDigest(path, have) && EqualsNoCase(have, digest);
}

// Copies each file about to be replaced into the run's backup directory and writes the journal that says
// which backup belongs where. Nothing is installed unless all of it is on disk.
int BackUpChanged(PatchRelease* rel) {
    int ok = 0;
    FILE* journal = NULL;
    char journalPath[kPathCap];

    FormatBounded(journalPath, sizeof journalPath, "%s\\files.tsv", rel->backupDir);
    if (!EnsureParentDirectories(journalPath)) goto done;
    if (!(journal = fopen(journalPath, "wb"))) goto done;  // LF only, as written
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        rec->existedBefore = GetFileAttributesA(rec->destPath) != INVALID_FILE_ATTRIBUTES;
        if (rec->existedBefore && !CopyFileWhole(rec->destPath, rec->backupPath)) goto done;
        if (fprintf(journal, "%u\t%d\t%s\n", i, rec->existedBefore, rec->relPath) < 0) goto done;
    }
    ok = 1;
done:
    // A journal that did not reach the disk cannot guide a recovery: that fails the phase like a failed copy.
    if (journal && fclose(journal) != 0) ok = 0;
    return ok;
}

// Replaces each changed file through "<dest>.veq-new" and a replacing move, verifying it afterwards.
// *bound is the number of leading table records a rollback must visit: up to the last one that was moved.
int InstallChanged(PatchRelease* rel, unsigned* bound) {
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        char tmpPath[kPathCap];
        FormatBounded(tmpPath, sizeof tmpPath, "%s.veq-new", rec->destPath);
        if (!EnsureParentDirectories(rec->destPath) || !CopyFileWhole(rec->cachePath, tmpPath) ||
            !MoveFileExA(tmpPath, rec->destPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        *bound = i + 1;
        if (!DigestMatches(rec->destPath, rec->digest)) return 0;
    }
    return 1;
}

// Puts back every file this run replaced: from its backup, or removed if it is new. Failures here cannot be
// helped; the journal tells the player or operator what to restore by hand.
void RollBack(PatchRelease* rel, unsigned bound) {
    for (unsigned i = 0; i < bound; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        if (rec->existedBefore)
            CopyFileWhole(rec->backupPath, rec->destPath);
        else
            DeleteFileA(rec->destPath);
    }
}


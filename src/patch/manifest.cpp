#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "shell/shell.h"

static_assert((int)kMaxPatchRecords == (int)kMaxManifestEntries, "the record table holds a whole manifest");

static const char kManifestCacheName[] = "patch-cache\\manifest.tsv";
static const char kManifestInvalid[] = "Manifest patch tidak sah. Tiada fail client diganti.";
static const unsigned long long kSpaceHeadroom = 52428800ULL;  // 50 MiB on top of blobs and backups

// Hashes of the destination paths accepted so far, so the duplicate test of 10000 entries stays cheap: only a
// matching hash leads to the full compare. Static for the same reason as the digest buffer (one loader at a time).
static unsigned long s_destHashes[kMaxPatchRecords];

int FetchPatchManifest(void) {
    char path[kPathCap];
    InstallPath(path, kManifestCacheName);
    ShowStatus("Semak manifest patch...");
    PumpMessages();
    if (!DownloadToFile(L"/patch/manifest.tsv", path, kManifestMaxBytes, 0, 0)) {
        ShowStatus("Server patch tidak dapat dicapai. Cuba lagi.");
        return 0;
    }
    return 1;
}

// What fgets(line, cap, in) reads, with its length: a line may hold NUL bytes, which strlen would take for its
// end (and a NUL hidden that way could smuggle the rest of the line past the rules). At most cap - 1 bytes,
// through the first LF; 0 at end of input or on a read error.
static size_t ReadManifestLine(FILE* in, char* line, size_t cap) {
    size_t n = 0;
    int c;
    while (n + 1 < cap && (c = getc(in)) != EOF) {
        line[n++] = (char)c;
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n;
}

// The file as installed either matches the manifest or must be fetched; a missing or unreadable file is changed.
static void ClassifyEntry(PatchRelease* rel, PatchRecord* rec) {
    char have[kDigestCap];
    if (ComputeContentDigest(rec->destPath, have) && EqualsNoCase(have, rec->digest)) {
        rec->needsUpdate = 0;
        return;
    }
    rec->needsUpdate = 1;
    rel->changedCount++;
    rel->neededSpace += 2 * rec->size;  // the cached blob and the backup of the file it replaces
}

// Validates one entry line and appends it as the next record; 0 when the manifest must be refused.
static int AcceptEntry(PatchRelease* rel, const char* line, size_t len) {
    ManifestEntry entry;
    if (!ParseManifestEntry(line, len, strlen(g_shell.installDir), &entry)) return 0;

    unsigned index = rel->entryCount;
    PatchRecord* rec = &rel->records[index];
    memset(rec, 0, sizeof *rec);
    FormatBounded(rec->digest, sizeof rec->digest, "%s", entry.digest);
    FormatBounded(rec->relPath, sizeof rec->relPath, "%s", entry.path);
    FormatBounded(rec->destPath, sizeof rec->destPath, "%s\\%s", g_shell.installDir, entry.path);
    for (char* p = rec->destPath; *p; p++)
        if (*p == '/') *p = '\\';
    rec->size = entry.size;

    unsigned long hash = ClientPathHash(rec->destPath, strlen(rec->destPath));
    for (unsigned i = 0; i < index; i++)
        if (s_destHashes[i] == hash && EqualsNoCase(rel->records[i].destPath, rec->destPath)) return 0;
    s_destHashes[index] = hash;

    ClassifyEntry(rel, rec);

    char backupName[16];
    FormatBounded(backupName, sizeof backupName, "%u.bak", index);
    FormatBounded(rec->cachePath, sizeof rec->cachePath, "%s\\%s", rel->cacheDir, rec->digest);
    FormatBounded(rec->backupPath, sizeof rec->backupPath, "%s\\%u.bak", rel->backupDir, index);
    // The path rules keep the destination within 260 bytes, not the cache and backup paths, which are up to 110
    // characters longer than the install directory. A cut one could name another entry's blob or backup, and a
    // rollback would then restore the wrong bytes; a changed entry that would use one is refused instead.
    if (rec->needsUpdate && (!JoinFits(kPathCap, rel->cacheDir, rec->digest) ||
                             !JoinFits(kPathCap, rel->backupDir, backupName)))
        return 0;
    rel->entryCount++;
    return 1;
}

int LoadPatchManifest(PatchRelease* rel) {
    int ok = 0;
    FILE* in = NULL;
    char path[kPathCap];
    char line[kManifestLineCap];
    size_t len;

    rel->entryCount = 0;
    rel->changedCount = 0;
    rel->neededSpace = kSpaceHeadroom;
    InstallPath(path, kManifestCacheName);
    if (!(in = fopen(path, "rb"))) goto done;  // raw bytes: CR LF is the manifest's business, not the runtime's

    len = ReadManifestLine(in, line, sizeof line);
    if (len == 0 || ferror(in) || !ParseManifestHeader(line, len, rel->releaseId)) goto done;
    FormatBounded(rel->cacheDir, sizeof rel->cacheDir, "%s\\patch-cache\\%s", g_shell.installDir, rel->releaseId);
    // The tick count is read once: every backup of this run goes into the one directory it names.
    FormatBounded(rel->backupDir, sizeof rel->backupDir, "%s\\patch-backups\\delta-%s-%lu", g_shell.installDir,
                  rel->releaseId, (unsigned long)GetTickCount());

    while ((len = ReadManifestLine(in, line, sizeof line)) > 0) {
        if (ferror(in)) goto done;  // a line cut short by a read error is not a line of the manifest
        if (rel->entryCount == kMaxPatchRecords) goto done;  // a 10001st line, whatever it holds
        if (!AcceptEntry(rel, line, len)) goto done;
    }
    if (ferror(in) || rel->entryCount == 0) goto done;
    ok = 1;
done:
    if (in) fclose(in);
    if (!ok) ShowStatus(kManifestInvalid);
    return ok;
}

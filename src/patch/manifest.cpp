#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "shell/shell.h"

static_assert((int)kMaxPatchRecords == (int)kMaxManifestEntries, "the record table holds a whole manifest");

static const char kManifestCacheName[] = "patch-cache\\manifest.tsv";
static const char kManifestInvalid[] = "Manifest patch tidak sah. Tiada fail client diganti.";
static const unsigned long long kSpaceHeadroom = 52428800ULL;  // 50 MiB on top of blobs and backups

int FetchPatchManifest(void) {
    char path[kPathCap];
    InstallPath(path, kManifestCacheName);
    ShowStatus("Semak manifest patch...");
    if (!DownloadToFile(L"/patch/manifest.tsv", path, kManifestMaxBytes, 0, 0)) {
        ShowStatus("Server patch tidak dapat dicapai. Cuba lagi.");
        return 0;
    }
    return 1;
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

static void FillRecord(PatchRelease* rel, unsigned index, const ManifestEntry* entry) {
    PatchRecord* rec = &rel->records[index];
    memset(rec, 0, sizeof *rec);
    FormatBounded(rec->digest, sizeof rec->digest, "%s", entry->digest);
    FormatBounded(rec->relPath, sizeof rec->relPath, "%s", entry->path);
    FormatBounded(rec->destPath, sizeof rec->destPath, "%s\\%s", g_shell.installDir, entry->path);
    for (char* p = rec->destPath; *p; p++)
        if (*p == '/') *p = '\\';
    // Whole, since the patch run takes only install folders whose derived paths all fit (PatchPathsFit).
    FormatBounded(rec->cachePath, sizeof rec->cachePath, "%s\\%s", rel->cacheDir, rec->digest);
    FormatBounded(rec->backupPath, sizeof rec->backupPath, "%s\\%u.bak", rel->backupDir, index);
    rec->size = entry->size;
}

int LoadPatchManifest(PatchRelease* rel) {
    int ok = 0;
    char path[kPathCap];
    char* text = NULL;
    size_t size = 0;
    long count = -1;
    ManifestEntry* entries = NULL;

    rel->entryCount = 0;
    rel->changedCount = 0;
    rel->neededSpace = kSpaceHeadroom;
    InstallPath(path, kManifestCacheName);
    // The same check veq-publish and the fuzzer run, over the whole text, before any file is looked at.
    if (!(text = ReadWholeFile(path, kManifestMaxBytes, &size))) goto done;
    if (!(entries = (ManifestEntry*)malloc(kMaxManifestEntries * sizeof *entries))) goto done;
    count = CheckManifestText(text, size, strlen(g_shell.installDir), rel->releaseId, entries, NULL);
    if (count < 0) goto done;

    FormatBounded(rel->cacheDir, sizeof rel->cacheDir, "%s\\patch-cache\\%s", g_shell.installDir, rel->releaseId);
    // The tick count is read once: every backup of this run goes into the one directory it names.
    FormatBounded(rel->backupDir, sizeof rel->backupDir, "%s\\patch-backups\\delta-%s-%lu", g_shell.installDir,
                  rel->releaseId, (unsigned long)GetTickCount());
    for (long i = 0; i < count; i++) {
        FillRecord(rel, (unsigned)i, &entries[i]);
        ClassifyEntry(rel, &rel->records[i]);
    }
    rel->entryCount = (unsigned)count;
    ok = 1;
done:
    free(entries);
    free(text);
    if (!ok) ShowStatus(kManifestInvalid);
    return ok;
}

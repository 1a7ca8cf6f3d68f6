// What a successful run leaves behind is bounded: no temporary files, one release's blob cache, two backups (and any
// that still hold a marker).
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "patch/journal_rules.h"
#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"

enum { kBackupsKept = 2, kMaxBackupDirs = 256 };

static int EndsWith(const char* s, const char* tail) {
    size_t n = strlen(s), t = strlen(tail);
    return n >= t && EqualsNoCase(s + n - t, tail);
}

// Every "*.veq-new" a cut-off or failed run left in the client's folders (links are not followed).
static void RemoveTemporaries(const char* dir, int top) {
    char pattern[kPathCap], child[kPathCap];
    WIN32_FIND_DATAA fd;
    FormatBounded(pattern, sizeof pattern, "%s\\*", dir);
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const char* name = fd.cFileName;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !JoinFits(sizeof child, dir, name)) continue;
        if (top && (EqualsNoCase(name, "patch-cache") || EqualsNoCase(name, "patch-backups"))) continue;
        FormatBounded(child, sizeof child, "%s\\%s", dir, name);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTemporaries(child, 0);
        else if (EndsWith(name, ".veq-new"))
            DiskRemoveTree(child);
    } while (FindNextFileA(find, &fd));
    FindClose(find);
}

// Other releases' blob caches, and anything else that is not the manifest, its signature, the index, the record
// of the last signed release or this release's cache.
static void RemoveOlderCaches(const PatchRelease* rel) {
    static const char* const kKept[] = {"manifest.tsv", "manifest.tsv.sig", "index.tsv", "release.tsv"};
    char pattern[kPathCap], child[kPathCap];
    WIN32_FIND_DATAA fd;
    InstallPath(pattern, "patch-cache\\*");
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const char* name = fd.cFileName;
        int kept = strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || EqualsNoCase(name, rel->releaseId);
        for (const char* k : kKept) kept = kept || EqualsNoCase(name, k);
        if (kept) continue;
        InstallPath(child, "patch-cache");
        FormatBounded(child + strlen(child), sizeof child - strlen(child), "\\%s", name);
        DiskRemoveTree(child);
    } while (FindNextFileA(find, &fd));
    FindClose(find);
}

static int JournalComplete(const char* backupDir) {
    JournalEntry* entries;
    int complete = 0;
    long count = ReadJournal(backupDir, &entries, &complete);
    free(entries);
    return count >= 0 && complete;
}

namespace {
struct BackupDir {
    FILETIME created;
    char name[64];
};
}  // namespace

static int NewerFirst(const void* a, const void* b) {
    return CompareFileTime(&((const BackupDir*)b)->created, &((const BackupDir*)a)->created);
}

// A folder with a marker holds an install to recover (or a marker that could not go yet) and stays, and so do the
// two newest whose journals carry their completion mark. Every other goes: older ones, and those of runs cut off
// before their marker, which replaced nothing.
static void PruneBackups(void) {
    static BackupDir dirs[kMaxBackupDirs];  // the patch run's thread only
    char pattern[kPathCap], path[kPathCap], marker[kPathCap];
    int count = 0, complete = 0;
    WIN32_FIND_DATAA fd;
    InstallPath(pattern, "patch-backups\\delta-*");
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && count < kMaxBackupDirs &&
            strlen(fd.cFileName) < sizeof dirs[0].name) {
            dirs[count].created = fd.ftCreationTime;
            FormatBounded(dirs[count++].name, sizeof dirs[0].name, "%s", fd.cFileName);
        }
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    qsort(dirs, (size_t)count, sizeof dirs[0], NewerFirst);
    for (int i = 0; i < count; i++) {
        InstallPath(path, "patch-backups");
        FormatBounded(path + strlen(path), sizeof path - strlen(path), "\\%s", dirs[i].name);
        FormatBounded(marker, sizeof marker, "%s\\%s", path, kMarkerName);
        if (GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES) continue;
        if (JournalComplete(path) && complete++ < kBackupsKept) continue;
        DiskRemoveTree(path);
    }
}

void TidyUp(const PatchRelease* rel) {
    RemoveTemporaries(g_shell.installDir, 1);
    RemoveOlderCaches(rel);
    PruneBackups();
}

// The install of a patch run, made so that a kill or a power cut at any moment leaves a client that is either the
// old one or the new one once the next run has started: every file a step relies on is on the disk before the
// step, the journal lists what may change, a marker file says an install is under way, and the next run puts the
// old client back from the journal when it finds the marker.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "patch/journal_rules.h"
#include "patch/patch.h"
#include "shell/shell.h"

enum { kCopyChunkBytes = 1024 * 1024 };
static const char kMarkerName[] = "installing";  // beside files.tsv while an install is under way

// Copies `from` onto `to` (created or truncated) and makes sure the copy is on the disk before it returns.
// 0 on any failure; a partial `to` may stay.
static int CopyFileDurably(const char* from, const char* to) {
    int ok = 0;
    HANDLE in = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    HANDLE out = CreateFileA(to, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    char* chunk = (char*)malloc(kCopyChunkBytes);
    DWORD got = 0, put = 0;
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || !chunk) goto done;
    while (ReadFile(in, chunk, kCopyChunkBytes, &got, NULL)) {
        if (got == 0) {
            ok = FlushFileBuffers(out);
            break;
        }
        if (!WriteFile(out, chunk, got, &put, NULL) || put != got) break;
    }
done:
    free(chunk);
    if (out != INVALID_HANDLE_VALUE && !CloseHandle(out)) ok = 0;
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    return ok;
}

static int DigestMatches(const char* path, const char* digest) {
    char have[kDigestCap];
    return ComputeContentDigest(path, have) && EqualsNoCase(have, digest);
}

static int SameContent(const char* a, const char* b) {
    char da[kDigestCap];
    return ComputeContentDigest(a, da) && DigestMatches(b, da);
}

// A read-only client file is replaced like any other: the attribute would only make the move fail.
static void AllowReplace(const char* path) {
    DWORD a = GetFileAttributesA(path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(path, a & ~FILE_ATTRIBUTE_READONLY);
}

// `from` in place of `dest` in one step: through "<dest>.veq-new", on the disk before the move, checked after.
static int PlaceCopy(const char* from, const char* dest) {
    char tmp[kPathCap];
    FormatBounded(tmp, sizeof tmp, "%s.veq-new", dest);
    if (!EnsureParentDirectories(dest) || !CopyFileDurably(from, tmp)) return 0;
    AllowReplace(dest);
    return MoveFileExA(tmp, dest, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// The file as it was before the install: its backup put back, or a file the install added taken away.
static int Restore(const char* dest, int existed, const char* backup) {
    char tmp[kPathCap];
    FormatBounded(tmp, sizeof tmp, "%s.veq-new", dest);
    if (!existed) {
        AllowReplace(dest);
        DeleteFileA(tmp);
        return (DeleteFileA(dest) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
    }
    if (SameContent(backup, dest)) return DeleteFileA(tmp) || GetLastError() == ERROR_FILE_NOT_FOUND;
    return PlaceCopy(backup, dest) && SameContent(backup, dest);
}

// The completion mark, then away with the marker: from here on nothing needs putting back.
static int EndInstall(const char* backupDir) {
    char journal[kPathCap], marker[kPathCap];
    FormatBounded(journal, sizeof journal, "%s\\files.tsv", backupDir);
    FormatBounded(marker, sizeof marker, "%s\\%s", backupDir, kMarkerName);
    return WriteFileDurably(journal, kJournalEnd, strlen(kJournalEnd), 1) && DeleteFileA(marker);
}

int BackUpChanged(PatchRelease* rel) {
    char journal[kPathCap], marker[kPathCap], line[kJournalLineCap];
    size_t size = 0;
    char* text = (char*)malloc((size_t)rel->changedCount * kJournalLineCap + 1);
    int ok = 0;
    FormatBounded(journal, sizeof journal, "%s\\files.tsv", rel->backupDir);
    FormatBounded(marker, sizeof marker, "%s\\%s", rel->backupDir, kMarkerName);
    if (!text || !EnsureParentDirectories(journal)) goto done;
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        rec->existedBefore = GetFileAttributesA(rec->destPath) != INVALID_FILE_ATTRIBUTES;
        if (rec->existedBefore && !CopyFileDurably(rec->destPath, rec->backupPath)) goto done;
        size_t n = FormatJournalLine(line, sizeof line, i, rec->existedBefore, rec->relPath);
        memcpy(text + size, line, n);
        size += n;
    }
    // The journal, whole and on the disk, then the marker that sends the next run to it: a run cut off before
    // the marker has replaced nothing.
    ok = WriteFileDurably(journal, text, size, 0) && WriteFileDurably(marker, "", 0, 0);
done:
    free(text);
    return ok;
}

int InstallChanged(PatchRelease* rel, unsigned* bound) {
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        if (!PlaceCopy(rec->cachePath, rec->destPath)) return 0;
        *bound = i + 1;
        char have[kDigestCap];
        rec->haveFacts = ComputeContentDigest(rec->destPath, have, &rec->facts);  // the facts for the index
        if (!rec->haveFacts || !EqualsNoCase(have, rec->digest)) return 0;
    }
    return EndInstall(rel->backupDir);
}

int RollBack(PatchRelease* rel, unsigned bound) {
    int ok = 1;
    for (unsigned i = 0; i < bound; i++) {
        PatchRecord* rec = &rel->records[i];
        if (rec->needsUpdate && !Restore(rec->destPath, rec->existedBefore, rec->backupPath)) ok = 0;
    }
    // Left unmarked when something could not be put back: the next run tries again from the journal.
    return ok && EndInstall(rel->backupDir);
}

long ReadJournal(const char* backupDir, JournalEntry** entries, int* complete) {
    char journal[kPathCap];
    size_t size = 0;
    long count = -1;
    *complete = 0;
    *entries = (JournalEntry*)malloc(kMaxPatchRecords * sizeof **entries);
    FormatBounded(journal, sizeof journal, "%s\\files.tsv", backupDir);
    char* text = ReadWholeFile(journal, (size_t)kMaxPatchRecords * kJournalLineCap, &size);
    if (text && *entries) count = ParseJournal(text, size, strlen(g_shell.installDir), *entries, kMaxPatchRecords, complete);
    free(text);
    return count;
}

// Puts back everything one journal lists. 0 when a file could not be restored, or the journal cannot be trusted.
static int RecoverFrom(const char* backupDir) {
    char dest[kPathCap], backup[kPathCap];
    int complete = 0, ok = 0;
    JournalEntry* entries;
    long count = ReadJournal(backupDir, &entries, &complete);
    if (count >= 0) {
        ok = 1;
        for (long i = 0; !complete && i < count; i++) {
            InstallPath(dest, entries[i].path);
            FormatBounded(backup, sizeof backup, "%s\\%u.bak", backupDir, entries[i].index);
            if (!Restore(dest, entries[i].existed, backup)) ok = 0;
        }
        if (complete) {  // cut off between the mark and the marker's removal: nothing to put back
            char marker[kPathCap];
            FormatBounded(marker, sizeof marker, "%s\\%s", backupDir, kMarkerName);
            ok = DeleteFileA(marker);
        } else {
            ok = ok && EndInstall(backupDir);
        }
    }
    free(entries);
    return ok;
}

int RecoverInterruptedInstall(void) {
    char pattern[kPathCap], dir[kPathCap], marker[kPathCap];
    WIN32_FIND_DATAA fd;
    int ok = 1, shown = 0;
    InstallPath(pattern, "patch-backups\\delta-*");
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) return 1;
    do {
        InstallPath(dir, "patch-backups");
        FormatBounded(dir + strlen(dir), sizeof dir - strlen(dir), "\\%s", fd.cFileName);
        FormatBounded(marker, sizeof marker, "%s\\%s", dir, kMarkerName);
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileAttributesA(marker) == INVALID_FILE_ATTRIBUTES)
            continue;
        if (!shown++) ShowStatus("Memulihkan pemasangan yang terganggu...");
        if (!RecoverFrom(dir)) ok = 0;
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return ok;
}

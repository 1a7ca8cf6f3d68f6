// The install of a patch run, made so that a kill or a power cut at any moment leaves a client that is either the
// old one or the new one once the next run has started: every file a step relies on is on the disk before the
// step, the journal lists what may change, a marker file says an install is under way, and the next run puts the
// old client back from the journal when it finds the marker, unless the journal carries its completion mark.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "patch/journal_rules.h"
#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"

static int SameContent(const char* a, const char* b) {
    char da[kDigestCap];
    return ComputeContentDigest(a, da) && DigestMatches(b, da);
}

// `from` in place of `dest` in one step: through "<dest>.veq-new", on the disk before the move, checked after.
static int PlaceCopy(const char* from, const char* dest) {
    char tmp[kPathCap];
    FormatBounded(tmp, sizeof tmp, "%s.veq-new", dest);
    return DiskMakeFolders(dest, 0) && DiskCopy(from, tmp) &&
           DiskMove(tmp, dest, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// The file as it was before the install: its backup put back, or a file the install added taken away.
static int Restore(const char* dest, int existed, const char* backup) {
    char tmp[kPathCap];
    FormatBounded(tmp, sizeof tmp, "%s.veq-new", dest);
    if (!existed) {
        DiskDelete(tmp);
        return DiskDelete(dest);
    }
    if (SameContent(backup, dest)) return DiskDelete(tmp);
    return PlaceCopy(backup, dest) && SameContent(backup, dest);
}

// The completion mark, set once: a journal that has it gets nothing more, any other is replaced in one move by its
// entries and the mark, so that a cut leaves it whole, marked or not (and a torn last line goes). 1 when it is marked.
static int MarkComplete(const char* backupDir) {
    char journal[kPathCap], tmp[kPathCap];
    JournalEntry* entries;
    int complete = 0;
    long count = ReadJournal(backupDir, &entries, &complete);
    size_t size = 0, mark = strlen(kJournalEnd);
    char* text = count < 0 || complete ? NULL : (char*)malloc((size_t)count * kJournalLineCap + mark);
    if (text) {
        for (long i = 0; i < count; i++)
            size += FormatJournalLine(text + size, kJournalLineCap, entries[i].index, entries[i].existed, entries[i].path);
        memcpy(text + size, kJournalEnd, mark);
        FormatBounded(journal, sizeof journal, "%s\\files.tsv", backupDir);
        FormatBounded(tmp, sizeof tmp, "%s.veq-new", journal);
        complete = DiskWrite(tmp, text, size + mark, 0) &&
                   DiskMove(tmp, journal, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    free(text);
    free(entries);
    return count >= 0 && complete;
}

// The mark, then away with the marker. Once the mark is on the disk nothing needs putting back: a marker that cannot
// go yet (a scanner holds it) is left for a later run.
static int EndInstall(const char* backupDir) {
    char marker[kPathCap];
    FormatBounded(marker, sizeof marker, "%s\\%s", backupDir, kMarkerName);
    if (!MarkComplete(backupDir)) return 0;
    DiskDelete(marker);
    return 1;
}

int BackUpChanged(PatchRelease* rel) {
    char journal[kPathCap], marker[kPathCap], line[kJournalLineCap];
    size_t size = 0;
    char* text = (char*)malloc((size_t)rel->changedCount * kJournalLineCap + 1);
    int ok = 0;
    FormatBounded(journal, sizeof journal, "%s\\files.tsv", rel->backupDir);
    FormatBounded(marker, sizeof marker, "%s\\%s", rel->backupDir, kMarkerName);
    if (!text || !DiskMakeFolders(journal, 0)) goto done;
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        rec->existedBefore = GetFileAttributesA(rec->destPath) != INVALID_FILE_ATTRIBUTES;
        if (rec->existedBefore && !DiskCopy(rec->destPath, rec->backupPath)) goto done;
        size_t n = FormatJournalLine(line, sizeof line, i, rec->existedBefore, rec->relPath);
        memcpy(text + size, line, n);
        size += n;
    }
    // The journal, whole and on the disk, then the marker that sends the next run to it: a run cut off before
    // the marker has replaced nothing.
    ok = DiskWrite(journal, text, size, 0) && DiskWrite(marker, "", 0, 0);
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
    char* text = DiskReadWhole(journal, (size_t)kMaxPatchRecords * kJournalLineCap, &size);
    if (text && *entries) count = ParseJournal(text, size, strlen(g_shell.installDir), *entries, kMaxPatchRecords, complete);
    free(text);
    return count;
}

// A journal and its backups are anybody's to plant: a link on the way to its folder or to any file it names
// refuses it whole, before anything is put back. The link (relative) or NULL.
static const char* LinkInJournal(const char* backupDir, const JournalEntry* entries, long count) {
    char rel[kPathCap];
    FormatBounded(rel, sizeof rel, "%s\\files.tsv", backupDir + strlen(g_shell.installDir) + 1);
    const char* link = count < 0 ? NULL : LinkOnTheWay(rel);
    for (long i = 0; !link && i < count; i++) link = LinkOnTheWay(entries[i].path);
    return link;
}

// Puts back everything one journal without its mark lists, and says so once (*shown). 0 when a file could not be
// restored, or the journal cannot be trusted; -1 when a link refused it (its message shown).
static int RecoverFrom(const char* backupDir, int* shown) {
    char dest[kPathCap], backup[kPathCap];
    int complete = 0, ok = 0;
    JournalEntry* entries = NULL;
    const char* link = LinkInJournal(backupDir, NULL, 0);
    long count = link ? -1 : ReadJournal(backupDir, &entries, &complete);
    if (!link && (link = LinkInJournal(backupDir, entries, count)) != NULL) count = -1;
    if (link) {
        ShowStatus("Pautan folder tidak dibenarkan: %s", link);
        ok = -1;
    }
    if (count >= 0) {
        ok = 1;
        // Marked: cut off before the marker went, or it could not go; the client is whole as it is.
        if (!complete && !(*shown)++) ShowStatus("Memulihkan pemasangan yang terganggu...");
        for (long i = 0; !complete && i < count; i++) {
            InstallPath(dest, entries[i].path);
            FormatBounded(backup, sizeof backup, "%s\\%u.bak", backupDir, entries[i].index);
            if (!Restore(dest, entries[i].existed, backup)) ok = 0;
        }
        ok = ok && EndInstall(backupDir);
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
        int done = RecoverFrom(dir, &shown);
        if (done < 0) ok = -1;
        if (done == 0 && ok > 0) ok = 0;
    } while (ok >= 0 && FindNextFileA(find, &fd));
    FindClose(find);
    return ok;
}

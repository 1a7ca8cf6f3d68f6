#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/config.h"
#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "patch/patch_run_rules.h"
#include "shell/shell.h"

// Copies pump once per 16 chunks (1 MiB): often enough for the window even on a slow disk, while a pump per
// 64 KiB chunk would cost more than the copy itself when the file comes from the disk cache.
enum { kCopyChunkBytes = 64 * 1024, kChunksPerPump = 16, kBlobObjectCap = 110 };

static const char kInstallFailed[] = "Pemasangan patch gagal. Backup/fail asal dikekalkan; jangan buka game dahulu.";

// Static, not on the stack: copies pump messages, so they may run under a re-entered window procedure. One
// thread, and while busy nothing reached from a pump starts another copy.
static unsigned char s_copyChunk[kCopyChunkBytes];

// Copies `from` onto `to` (created or truncated) in chunks, pumping messages as it goes so that the window stays
// alive through copies of large client files. 0 on any read, write or close error; a partial `to` stays.
// Not CopyFileA, which cannot pump; CopyFileExA's progress routine could, but Wine never calls it.
static int CopyFilePumping(const char* from, const char* to) {
    int ok = 0;
    FILE* in = NULL;
    FILE* out = NULL;
    size_t got;
    unsigned chunks = 0;

    if (!(in = fopen(from, "rb"))) goto done;
    if (!(out = fopen(to, "wb"))) goto done;
    while ((got = fread(s_copyChunk, 1, sizeof s_copyChunk, in)) > 0) {
        if (fwrite(s_copyChunk, 1, got, out) != got) goto done;
        if (++chunks % kChunksPerPump == 0) PumpMessages();
    }
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

// 1 when the client of this install folder runs. Only its full image path counts: a ZQ.exe of another
// installation, or one we may not query, does not hold our files.
static int ClientRunsHere(void) {
    int runs = 0;
    char expected[kPathCap];
    InstallPath(expected, kClientExe);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry;
    ZeroMemory(&entry, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && !runs; more = Process32Next(snapshot, &entry)) {
        if (!EqualsNoCase(entry.szExeFile, kClientExeName)) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        char image[kPathCap];
        DWORD imageLen = sizeof image;
        if (QueryFullProcessImageNameA(process, 0, image, &imageLen) && EqualsNoCase(image, expected)) runs = 1;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return runs;
}

static int EnoughDiskSpace(unsigned long long needed) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(g_shell.installDir, &available, NULL, NULL)) return 0;
    return available.QuadPart >= needed;
}

// Every changed file's blob into the cache, verified against its digest. No client file is touched here.
static int DownloadChanged(PatchRelease* rel) {
    unsigned counter = 0;
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        counter++;
        ShowStatus("Download %u / %u: %s", counter, rel->changedCount, rec->relPath);
        PumpMessages();
        if (DigestMatches(rec->cachePath, rec->digest)) continue;  // fetched by an earlier run

        wchar_t object[kBlobObjectCap];
        FormatBoundedW(object, kBlobObjectCap, L"/patch/blobs/%hs", rec->digest);
        if (!DownloadToFile(object, rec->cachePath, kMaxBlobBytes, rec->size, 1) ||
            !DigestMatches(rec->cachePath, rec->digest)) {
            ShowStatus("Checksum/download gagal: %s. Fail asal dikekalkan.", rec->relPath);
            return 0;
        }
    }
    return 1;
}

// Copies each file about to be replaced into the run's backup directory and writes the journal that says
// which backup belongs where. Nothing is installed unless all of it is on disk.
static int BackUpChanged(PatchRelease* rel) {
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
        if (rec->existedBefore && !CopyFilePumping(rec->destPath, rec->backupPath)) goto done;
        if (fprintf(journal, "%u\t%d\t%s\n", i, rec->existedBefore, rec->relPath) < 0) goto done;
        PumpMessages();
    }
    ok = 1;
done:
    // A journal that did not reach the disk cannot guide a recovery: that fails the phase like a failed copy.
    if (journal && fclose(journal) != 0) ok = 0;
    return ok;
}

// Replaces each changed file through "<dest>.veq-new" and a replacing move, verifying it afterwards.
// *bound is the number of leading table records a rollback must visit: up to the last one that was moved.
static int InstallChanged(PatchRelease* rel, unsigned* bound) {
    for (unsigned i = 0; i < rel->entryCount; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        char tmpPath[kPathCap];
        FormatBounded(tmpPath, sizeof tmpPath, "%s.veq-new", rec->destPath);
        if (!EnsureParentDirectories(rec->destPath) || !CopyFilePumping(rec->cachePath, tmpPath) ||
            !MoveFileExA(tmpPath, rec->destPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        *bound = i + 1;
        if (!DigestMatches(rec->destPath, rec->digest)) return 0;
        PumpMessages();
    }
    return 1;
}

// Puts back every file this run replaced: from its backup, or removed if it is new. Failures here cannot be
// helped; the journal tells the player or operator what to restore by hand.
static void RollBack(PatchRelease* rel, unsigned bound) {
    for (unsigned i = 0; i < bound; i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        if (rec->existedBefore)
            CopyFilePumping(rec->backupPath, rec->destPath);
        else
            DeleteFileA(rec->destPath);
    }
}

int RunPatch(void) {
    int ok = 0;
    unsigned bound = 0;
    PatchRelease rel;
    ZeroMemory(&rel, sizeof rel);

    EnterBusy();
    // Before the fetch writes anything: every path of the run must fit whole.
    if (!PatchPathsFit(strlen(g_shell.installDir))) {
        ShowStatus("%s", kFolderTooLong);
        goto done;
    }
    rel.records = (PatchRecord*)calloc(kMaxPatchRecords, sizeof(PatchRecord));
    if (!rel.records) goto done;
    if (!FetchPatchManifest() || !LoadPatchManifest(&rel)) goto done;
    if (rel.changedCount == 0) {
        ShowStatus("Client terkini. %u fail disemak; tiada download.", rel.entryCount);
        ok = 1;
        goto done;
    }
    if (ClientRunsHere()) {
        ShowStatus("Tutup semua client ZQO dahulu untuk memasang %u fail patch.", rel.changedCount);
        goto done;
    }
    if (!EnoughDiskSpace(rel.neededSpace)) {
        ShowStatus("Ruang disk tidak mencukupi untuk patch dan backup.");
        goto done;
    }
    if (!DownloadChanged(&rel)) goto done;
    if (!BackUpChanged(&rel)) {
        ShowStatus("%s", kInstallFailed);
        goto done;
    }
    if (!InstallChanged(&rel, &bound)) {
        RollBack(&rel, bound);
        ShowStatus("%s", kInstallFailed);
        goto done;
    }
    ShowStatus("Patch siap: %u fail berubah, %u fail sedia ada dikekalkan.", rel.changedCount,
               rel.entryCount - rel.changedCount);
    ok = 1;
done:
    free(rel.records);
    LeaveBusy();
    return ok;
}

void CmdUpdateClient(void) {
    // The rewrite's own message is the last word; UPDATE CLIENT goes no further either way.
    if (RunPatch()) RewriteClientConfig();
}

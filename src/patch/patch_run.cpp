#include <windows.h>
#include <tlhelp32.h>

#include <stdlib.h>
#include <string.h>

#include "config/config.h"
#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "patch/patch_run_rules.h"
#include "shell/disk.h"
#include "shell/shell.h"

enum { kBlobObjectCap = 110 };

static const char kInstallFailed[] = "Pemasangan patch gagal. Backup/fail asal dikekalkan; jangan buka game dahulu.";
static const char kRestoreIncomplete[] =
    "Pemasangan patch gagal dan pemulihan tidak lengkap. Tekan UPDATE CLIENT untuk membaiki.";
static const char kOtherLauncher[] = "Launcher lain sedang mengemas kini folder ini. Tunggu sehingga ia selesai.";

void* TakeRunLock(void) {
    char name[64];
    unsigned long volume = 0;
    unsigned long long fileId = 0;
    // By the folder's identity, not its path: a link above it or another drive letter reaches the same folder.
    // One that cannot be opened gets the zero name, and its run fails soon anyway.
    DiskFolderIdentity(g_shell.installDir, &volume, &fileId);
    FormatBounded(name, sizeof name, "Global\\veq-patch-%08lx-%08lx%08lx", volume, (unsigned long)(fileId >> 32),
                  (unsigned long)(fileId & 0xFFFFFFFFul));
    HANDLE lock = CreateMutexA(NULL, FALSE, name);
    if (!lock) return NULL;
    // Abandoned: the launcher that held it was killed, and the run about to start repairs what it left.
    DWORD got = WaitForSingleObject(lock, 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) return lock;
    CloseHandle(lock);
    return NULL;
}

void ReleaseRunLock(void* lock) {
    if (!lock) return;
    ReleaseMutex(lock);
    CloseHandle(lock);
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

static int ClientStopsTheRun(const PatchRelease* rel) {
    if (!ClientRunsHere()) return 0;
    ShowStatus("Tutup semua client ZQO dahulu untuk memasang %u fail patch.", rel->changedCount);
    return 1;
}

static int EnoughDiskSpace(unsigned long long needed) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(g_shell.installDir, &available, NULL, NULL)) return 0;
    return available.QuadPart >= needed;
}

// 1 (with its message shown) when a link stands on the way to one of the paths the run writes, or a folder stands
// where a file of the release belongs.
static int PathStopsTheRun(const PatchRelease* rel) {
    char cache[kPathCap], backups[kPathCap];
    const char* link = LinkOnTheWay("patch-cache\\manifest.tsv");
    if (!link) link = LinkOnTheWay("patch-backups\\files.tsv");
    if (rel) {
        FormatBounded(cache, sizeof cache, "%s\\x", rel->cacheDir + strlen(g_shell.installDir) + 1);
        FormatBounded(backups, sizeof backups, "%s\\x", rel->backupDir + strlen(g_shell.installDir) + 1);
        if (!link) link = LinkOnTheWay(cache);
        if (!link) link = LinkOnTheWay(backups);
        for (unsigned i = 0; i < rel->entryCount && !link; i++) {
            const PatchRecord* rec = &rel->records[i];
            if (!rec->needsUpdate) continue;
            link = LinkOnTheWay(rec->relPath);
            DWORD attrs = GetFileAttributesA(rec->destPath);
            if (!link && attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
                ShowStatus("Folder %s berada di tempat fail patch. Alihkan folder itu dan cuba lagi.", rec->relPath);
                return 1;
            }
        }
    }
    if (link) ShowStatus("Pautan folder tidak dibenarkan: %s", link);
    return link != NULL;
}

// 1 (with its message shown) when another program has a file open that the install must replace: found now, it
// costs the player nothing; found at its move, a rollback.
static int HeldFileStopsTheRun(const PatchRelease* rel) {
    for (unsigned i = 0; i < rel->entryCount; i++) {
        const PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate || !DiskInUse(rec->destPath)) continue;
        ShowStatus("Fail %s sedang digunakan oleh program lain. Tutup program itu dan cuba lagi.", rec->relPath);
        return 1;
    }
    return 0;
}

// Another release's cache may hold a blob this one needs: moved, it need not be downloaded again. Only a plain
// folder is looked into (DiskMove takes only a plain file): anything in patch-cache may have been planted.
static void TakeFromOlderCaches(const PatchRecord* rec) {
    char pattern[kPathCap], older[kPathCap];
    WIN32_FIND_DATAA fd;
    if (GetFileAttributesA(rec->cachePath) != INVALID_FILE_ATTRIBUTES) return;
    InstallPath(pattern, "patch-cache\\*");
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if ((fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY ||
            fd.cFileName[0] == '.')
            continue;
        InstallPath(older, "patch-cache");
        FormatBounded(older + strlen(older), sizeof older - strlen(older), "\\%s\\%s", fd.cFileName, rec->digest);
        if (DiskMakeFolders(rec->cachePath, 0) && DiskMove(older, rec->cachePath, 0)) break;
    } while (FindNextFileA(find, &fd));
    FindClose(find);
}

// "patch-cache\<digest>.part": a blob on its way, kept across runs and releases until it is whole and verified.
static void PartialPath(char* buf, const PatchRecord* rec) {
    char name[kPathCap];
    FormatBounded(name, sizeof name, "patch-cache\\%s.part", rec->digest);
    InstallPath(buf, name);
}

// The verified blob into this release's cache, where the install takes it from.
static int KeepBlob(const char* partPath, const char* cachePath) {
    return DiskMakeFolders(cachePath, 0) && DiskMove(partPath, cachePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// The blob of `rec` whole and verified in the cache: assembled from the old file of its path when nothing of a
// whole download waits in its partial file, else going on from that. A partial file is the player's folder's like
// any other: when the whole proves wrong, the blob is fetched once more from its start. An assembly that does not
// verify costs one whole download more, never a wrong file.
int FetchBlob(const PatchRecord* rec) {
    char part[kPathCap];
    wchar_t object[kBlobObjectCap];
    unsigned long long had = 0;
    FormatBoundedW(object, kBlobObjectCap, L"/patch/blobs/%hs", rec->digest);
    PartialPath(part, rec);
    if (!HeldBlobBytes(part, rec->size) && AssembleFromOldFile(rec, object)) return 1;
    if (StopRequested()) return 0;
    for (int tries = 0; tries < 2; tries++) {
        if (!DownloadBlob(object, part, rec->size, &had) || StopRequested()) return 0;
        if (DigestMatches(part, rec->digest)) return KeepBlob(part, rec->cachePath);
        DiskDelete(part);
        if (!had) return 0;  // fetched whole and still wrong: the server's fault, not the partial file's
        ReportProgress(0, rec->size);
    }
    return 0;
}

static int ByDigest(const void* a, const void* b) {
    return strcmp((*(PatchRecord* const*)a)->digest, (*(PatchRecord* const*)b)->digest);
}

// Bytes the downloads must bring: each blob once (files of the same content share one), less what is cached or
// held in its partial file.
static unsigned long long BytesToFetch(PatchRelease* rel) {
    char part[kPathCap];
    unsigned long long bytes = 0;
    unsigned n = 0;
    PatchRecord** blobs = (PatchRecord**)malloc(rel->entryCount * sizeof *blobs);
    if (!blobs) return 0;  // the figures only
    for (unsigned i = 0; i < rel->entryCount; i++)
        if (rel->records[i].needsUpdate) blobs[n++] = &rel->records[i];
    qsort(blobs, n, sizeof *blobs, ByDigest);
    for (unsigned i = 0; i < n; i++) {
        if ((i && strcmp(blobs[i]->digest, blobs[i - 1]->digest) == 0) ||
            GetFileAttributesA(blobs[i]->cachePath) != INVALID_FILE_ATTRIBUTES)
            continue;
        PartialPath(part, blobs[i]);
        bytes += blobs[i]->size - HeldBlobBytes(part, blobs[i]->size);
    }
    free(blobs);
    return bytes;
}

// Every changed file's blob into the cache, verified against its digest. No client file is touched here: the
// player may stop the run meanwhile. The progress counts the bytes still to come, of all blobs.
static int DownloadChanged(PatchRelease* rel) {
    char part[kPathCap];
    unsigned counter = 0;
    BeginProgress(kProgressDownloading);
    AllowStop();
    for (unsigned i = 0; i < rel->entryCount; i++)
        if (rel->records[i].needsUpdate) TakeFromOlderCaches(&rel->records[i]);
    ReportProgress(0, BytesToFetch(rel));
    for (unsigned i = 0; i < rel->entryCount && !StopRequested(); i++) {
        PatchRecord* rec = &rel->records[i];
        if (!rec->needsUpdate) continue;
        counter++;
        ShowStatus("Download %u / %u: %s", counter, rel->changedCount, rec->relPath);
        if (GetFileAttributesA(rec->cachePath) != INVALID_FILE_ATTRIBUTES) {
            if (DigestMatches(rec->cachePath, rec->digest)) continue;  // an earlier run or file fetched it
            PartialPath(part, rec);
            ReportProgress(0, rec->size - HeldBlobBytes(part, rec->size));
        }
        if (!FetchBlob(rec)) {
            if (!StopRequested()) ShowStatus("Checksum/download gagal: %s. Fail asal dikekalkan.", rec->relPath);
            return 0;
        }
    }
    return !StopRequested();
}

static int PatchWork(void* trustIndex) {
    int ok = 0, fetched = 0;
    unsigned bound = 0;
    PatchRelease rel;
    ZeroMemory(&rel, sizeof rel);
    rel.trustIndex = *(const int*)trustIndex;

    // Before the fetch writes anything: every path of the run must fit whole, and lead nowhere else.
    if (!PatchPathsFit(strlen(g_shell.installDir))) {
        ShowStatus("%s", kFolderTooLong);
        return 0;
    }
    if (PathStopsTheRun(NULL)) return 0;
    // Even with the server out of reach: a client left mixed by a cut-off install is whole again first.
    switch (RecoverInterruptedInstall()) {
    case 0: ShowStatus("%s", kRestoreIncomplete); return 0;
    case -1: return 0;
    }
    rel.records = (PatchRecord*)calloc(kMaxPatchRecords, sizeof(PatchRecord));
    if (!rel.records) return 0;
    OpenPatchLink();  // one connection for the run's requests; without it each download opens its own
    if (!FetchPatchManifest() || !LoadPatchManifest(&rel)) goto done;
    if (rel.changedCount == 0) {
        ShowStatus("Client terkini. %u fail disemak; tiada download.", rel.entryCount);
        ok = 1;
        goto done;
    }
    if (PathStopsTheRun(&rel) || ClientStopsTheRun(&rel)) goto done;
    if (!EnoughDiskSpace(rel.neededSpace)) {
        ShowStatus("Ruang disk tidak mencukupi untuk patch dan backup.");
        goto done;
    }
    fetched = DownloadChanged(&rel);
    BeginProgress(kProgressHidden);
    // From here on the client changes: a stop chosen before now ends the run with nothing changed.
    if (!fetched || !ForbidStop()) goto done;
    // The downloads may have taken long: the client started from a shortcut meanwhile, or a file opened by some
    // other program, stop the run now, while nothing has changed.
    if (ClientStopsTheRun(&rel) || HeldFileStopsTheRun(&rel)) goto done;
    if (!BackUpChanged(&rel)) {
        ShowStatus("%s", kInstallFailed);
        goto done;
    }
    if (!InstallChanged(&rel, &bound)) {
        ShowStatus("%s", RollBack(&rel, bound) ? kInstallFailed : kRestoreIncomplete);
        goto done;
    }
    ShowStatus("Patch siap: %u fail berubah, %u fail sedia ada dikekalkan.", rel.changedCount,
               rel.entryCount - rel.changedCount);
    ok = 1;
done:
    ClosePatchLink();
    // Every file now matches: what they look like goes into the index, so the next PLAY need not hash them
    // (unless the index vouched for them all, and so holds it already).
    if (ok && !rel.allVouched) WriteIndex(&rel);
    if (ok) TidyUp(&rel);
    free(rel.records);
    return ok;
}

static int RunPatchWith(int trustIndex) {
    EnterBusy();
    int ok = 0;
    void* lock = TakeRunLock();  // the command may hold it already: a mutex is taken again by its owner
    if (!lock)
        ShowStatus("%s", kOtherLauncher);
    else
        ok = RunOffWindow(PatchWork, &trustIndex);
    if (StopRequested()) ShowStatus("%s", kStoppedText);
    EndProgress(!ok && !StopRequested());
    ReleaseRunLock(lock);
    LeaveBusy();
    return ok;
}

int RunPatch(void) { return RunPatchWith(0); }
int RunPatchForPlay(void) { return RunPatchWith(1); }

void CmdUpdateClient(void) {
    void* lock = TakeRunLock();  // the rewrite belongs to the run: no other launcher in between
    // The rewrite's own message is the last word; UPDATE CLIENT goes no further either way.
    if (RunPatch()) RewriteClientConfig();
    ReleaseRunLock(lock);
}

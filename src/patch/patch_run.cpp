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

enum { kBlobObjectCap = 110 };

static const char kInstallFailed[] = "Pemasangan patch gagal. Backup/fail asal dikekalkan; jangan buka game dahulu.";

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

// The whole run, off the window's thread; the window answers throughout and the busy state blocks commands.
static int PatchWork(void*) {
    int ok = 0;
    unsigned bound = 0;
    PatchRelease rel;
    ZeroMemory(&rel, sizeof rel);

    // Before the fetch writes anything: every path of the run must fit whole.
    if (!PatchPathsFit(strlen(g_shell.installDir))) {
        ShowStatus("%s", kFolderTooLong);
        return 0;
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
    ClosePatchLink();
    free(rel.records);
    return ok;
}

int RunPatch(void) {
    EnterBusy();
    int ok = RunOffWindow(PatchWork, NULL);
    LeaveBusy();
    return ok;
}

void CmdUpdateClient(void) {
    // The rewrite's own message is the last word; UPDATE CLIENT goes no further either way.
    if (RunPatch()) RewriteClientConfig();
}

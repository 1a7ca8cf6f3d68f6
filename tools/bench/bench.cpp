// veq-bench.exe: the launcher's own code measured in its own window, for scripts/bench. Every command is pressed
// as a click while a second thread keeps sending the window WM_NULL, so each figure comes with the longest time
// the window left a message unanswered.
//   veq-bench.exe check DIR             DIR holds a client that is current with the served release: one plain
//                                       CryptoAPI pass over its files, then a no-change UPDATE CLIENT and PLAY
//   veq-bench.exe update DIR            UPDATE CLIENT of a client that lacks some files: downloads and install
//   veq-bench.exe download DIR DIGEST SIZE   the blob into DIR, three times
//   veq-bench.exe upload DIR            SEND LOG of DIR\System\ZQ.log
//   veq-bench.exe debug DIR             PLAY (DEBUG) of the client in DIR
//   veq-bench.exe delta DIR DIGEST SIZE DIR\Textures\Archive.utx changed to the blob DIGEST: one hash pass of the
//                                       old file, then the blob fetched as a patch run fetches it
// Prints one "name seconds longest-wait-ms" line per measurement, then "peak-working-set MiB".
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "patch/patch.h"
#include "shell/shell.h"
#include "window_probe.h"

namespace {

double Now() {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return (double)t.QuadPart / (double)f.QuadPart;
}

// Runs `work` with the window probed; prints its time and the longest wait.
void Measure(const char* name, HWND window, void (*work)(void*), void* arg) {
    WindowProbe probe(window);
    double start = Now();
    work(arg);
    double seconds = Now() - start;
    probe.Stop();
    char status[512] = "";
    GetWindowTextA(g_shell.statusLine, status, sizeof status);
    printf("%s %.3f %lu %s\n", name, seconds, probe.longest, status);
    fflush(stdout);
}

HWND g_window;
void Press(void* id) { SendMessageA(g_window, WM_COMMAND, MAKEWPARAM((int)(INT_PTR)id, BN_CLICKED), 0); }

// Every file the cached manifest lists, digested one after the other: the yardstick for a check.
void HashOnce(void*) {
    char path[kPathCap], line[1024], digest[kDigestCap];
    InstallPath(path, "patch-cache\\manifest.tsv");
    FILE* m = fopen(path, "rb");
    if (!m) return;
    fgets(line, sizeof line, m);
    while (fgets(line, sizeof line, m)) {
        char* rel = strrchr(line, '\t');
        if (!rel) continue;
        rel[strcspn(rel, "\r\n")] = '\0';
        for (char* c = rel; *c; c++)
            if (*c == '/') *c = '\\';
        InstallPath(path, rel + 1);
        ComputeContentDigest(path, digest);
    }
    fclose(m);
}

struct Blob {
    wchar_t object[110];
    char dest[kPathCap];
    unsigned long long size;
};

void Download(void* arg) {
    Blob* b = (Blob*)arg;
    if (!DownloadToFile(b->object, b->dest, b->size, b->size, 1)) printf("download failed\n");
}

void HashOld(void* arg) {
    char digest[kDigestCap];
    ComputeContentDigest(((PatchRecord*)arg)->destPath, digest);
}

void FetchChanged(void* arg) {
    OpenPatchLink();
    if (!FetchBlob((PatchRecord*)arg)) printf("fetch failed\n");
    ClosePatchLink();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: veq-bench.exe check|update|download|upload|debug|delta DIR [DIGEST SIZE]\n");
        return 2;
    }
    snprintf(g_shell.installDir, sizeof g_shell.installDir, "%s", argv[2]);
    g_window = CreateMainWindow(GetModuleHandleA(NULL));
    if (!g_window) return 1;
    if (strcmp(argv[1], "check") == 0) {
        Measure("warm-up", g_window, Press, (void*)1003);  // the files into the disk cache, the manifest fetched
        Measure("hash-once", g_window, HashOnce, NULL);
        Measure("update-client", g_window, Press, (void*)1003);
        Measure("play", g_window, Press, (void*)1001);
    } else if (strcmp(argv[1], "update") == 0) {
        Measure("update-download", g_window, Press, (void*)1003);
    } else if (strcmp(argv[1], "download") == 0 && argc == 5) {
        Blob b;
        swprintf(b.object, 110, L"/patch/blobs/%hs", argv[3]);
        snprintf(b.dest, sizeof b.dest, "%s\\blob", argv[2]);
        b.size = _strtoui64(argv[4], NULL, 10);
        for (int i = 0; i < 3; i++) Measure("download", g_window, Download, &b);
    } else if (strcmp(argv[1], "delta") == 0 && argc == 5) {
        static PatchRecord rec;
        snprintf(rec.digest, sizeof rec.digest, "%s", argv[3]);
        snprintf(rec.destPath, sizeof rec.destPath, "%s\\Textures\\Archive.utx", argv[2]);
        snprintf(rec.cachePath, sizeof rec.cachePath, "%s\\patch-cache\\bench\\%s", argv[2], argv[3]);
        rec.size = _strtoui64(argv[4], NULL, 10);
        DeleteFileA(rec.cachePath);
        Measure("hash-once", g_window, HashOld, &rec);
        Measure("fetch", g_window, FetchChanged, &rec);
    } else if (strcmp(argv[1], "upload") == 0) {
        Measure("send-log", g_window, Press, (void*)1006);
    } else if (strcmp(argv[1], "debug") == 0) {
        Measure("play-debug", g_window, Press, (void*)1008);
    }
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    printf("peak-working-set %.1f\n", (double)pmc.PeakWorkingSetSize / 1048576.0);
    return 0;
}

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "patch/index_rules.h"
#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "patch/patch_run_rules.h"
#include "shell/disk.h"
#include "shell/shell.h"

static_assert((int)kMaxPatchRecords == (int)kMaxManifestEntries, "the record table holds a whole manifest");

static const char kManifestCacheName[] = "patch-cache\\manifest.tsv";
static const char kIndexName[] = "patch-cache\\index.tsv";
static const char kManifestInvalid[] = "Manifest patch tidak sah. Tiada fail client diganti.";
static const unsigned long long kSpaceHeadroom = 52428800ULL;  // 50 MiB on top of blobs and backups
enum { kSignatureRetryMs = 2000 };

int FetchPatchManifest(void) {
    char path[kPathCap];
    InstallPath(path, kManifestCacheName);
    ShowStatus("Semak manifest patch...");
    for (int tries = 1;; tries++) {
        if (!DownloadToFile(L"/patch/manifest.tsv", path, kManifestMaxBytes, 0, 0)) {
            ShowStatus("Server patch tidak dapat dicapai. Cuba lagi.");
            return 0;
        }
        // A publish writes the manifest, then its signature: a pair fetched between the two matches 2 s later.
        if (FetchReleaseSignature(path) || tries == 2) return 1;
        Sleep(kSignatureRetryMs);
    }
}

namespace {
// One classification, shared by its worker threads: each takes the next record until none is left.
struct Classification {
    PatchRelease* rel;
    const IndexEntry* index;  // what the index vouches for, record by record; NULL: hash everything
    long indexed;
    volatile LONG next, vouched;
};
}  // namespace

// 1 when the index of the last full verification still vouches for the file: same digest and path, and the file's
// size, write time, file id and volume unchanged since.
static int IndexVouches(const Classification* c, unsigned i) {
    const PatchRecord* rec = &c->rel->records[i];
    if (!c->index || (long)i >= c->indexed || !rec->haveFacts) return 0;
    const IndexEntry* e = &c->index[i];
    return strcmp(e->path, rec->relPath) == 0 && EqualsNoCase(e->digest, rec->digest) && SameFacts(&rec->facts, &e->facts);
}

// The file as installed either matches the manifest or must be fetched; a missing or unreadable file is changed.
// Its facts are read before its content: a change made while it is hashed then shows in them at the next PLAY.
static DWORD WINAPI Classify(void* arg) {
    Classification* c = (Classification*)arg;
    char have[kDigestCap];
    for (LONG i; (i = InterlockedIncrement(&c->next) - 1) < (LONG)c->rel->entryCount;) {
        PatchRecord* rec = &c->rel->records[i];
        if (c->index) rec->haveFacts = ReadFileFacts(rec->destPath, &rec->facts);
        if (IndexVouches(c, (unsigned)i)) {
            InterlockedIncrement(&c->vouched);
            ReportProgress(rec->size, 0);  // its work is done
            continue;
        }
        rec->haveFacts = ComputeContentDigest(rec->destPath, have, &rec->facts, 1);
        rec->needsUpdate = !(rec->haveFacts && EqualsNoCase(have, rec->digest));
    }
    return 0;
}

// The index written by the last run that verified every file of this release; NULL when there is none to trust.
static IndexEntry* ReadIndex(const PatchRelease* rel, long* count) {
    char path[kPathCap];
    size_t size = 0;
    InstallPath(path, kIndexName);
    char* text = DiskReadWhole(path, (size_t)kMaxPatchRecords * kIndexLineCap, &size);
    IndexEntry* index = text ? (IndexEntry*)malloc(kMaxPatchRecords * sizeof *index) : NULL;
    *count = index ? ParseIndex(text, size, rel->releaseId, index, kMaxPatchRecords) : -1;
    free(text);
    if (*count < 0) {
        free(index);
        index = NULL;
    }
    return index;
}

// Hashes every listed file on as many threads as there are processors, four at most, unless the index vouches
// for it; then counts the changes in manifest order.
static void ClassifyAll(PatchRelease* rel) {
    Classification c = {rel, NULL, 0, 0, 0};
    HANDLE helpers[kMaxHashThreads - 1];
    int extra = 0;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    if (rel->trustIndex) c.index = ReadIndex(rel, &c.indexed);
    unsigned long long bytes = 0;
    for (unsigned i = 0; i < rel->entryCount; i++) bytes += rel->records[i].size;
    BeginProgress(kProgressHashing);
    ReportProgress(0, bytes);
    int threads = HashThreadCount(si.dwNumberOfProcessors, rel->entryCount);
    for (int t = 1; t < threads; t++)
        if ((helpers[extra] = CreateThread(NULL, 0, Classify, &c, 0, NULL)) != NULL) extra++;
    Classify(&c);
    WaitForMultipleObjects((DWORD)extra, helpers, TRUE, INFINITE);
    for (int t = 0; t < extra; t++) CloseHandle(helpers[t]);
    BeginProgress(kProgressHidden);
    rel->allVouched = c.index && c.vouched == (LONG)rel->entryCount;
    free((void*)c.index);
    for (unsigned i = 0; i < rel->entryCount; i++) {
        if (!rel->records[i].needsUpdate) continue;
        rel->changedCount++;
        rel->neededSpace += 2 * rel->records[i].size;  // the cached blob and the backup of the file it replaces
    }
}

int WriteIndex(const PatchRelease* rel) {
    char path[kPathCap], tmp[kPathCap];
    size_t size = 0;
    int ok = 1;
    char* text = (char*)malloc((size_t)(rel->entryCount + 1) * kIndexLineCap);
    if (!text) return 0;
    size = FormatIndexHeader(text, kIndexLineCap, rel->releaseId);
    for (unsigned i = 0; i < rel->entryCount && ok; i++) {
        const PatchRecord* rec = &rel->records[i];
        IndexEntry e;
        FormatBounded(e.digest, sizeof e.digest, "%s", rec->digest);
        FormatBounded(e.path, sizeof e.path, "%s", rec->relPath);
        e.facts = rec->facts;
        ok = rec->haveFacts;
        size += FormatIndexLine(text + size, kIndexLineCap, &e);
    }
    InstallPath(path, kIndexName);
    FormatBounded(tmp, sizeof tmp, "%s.tmp", path);
    // Whole or not at all: a cut index would vouch for nothing, but a mixed one could vouch wrongly.
    ok = ok && DiskWrite(tmp, text, size, 0) && DiskMove(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DiskDelete(tmp);
    free(text);
    return ok;
}

static void FillRecord(PatchRelease* rel, unsigned index, const ManifestEntry* entry) {
    PatchRecord* rec = &rel->records[index];
    memset(rec, 0, sizeof *rec);
    FormatBounded(rec->digest, sizeof rec->digest, "%s", entry->digest);
    FormatBounded(rec->relPath, sizeof rec->relPath, "%s", entry->path);
    InstallPath(rec->destPath, entry->path);
    // Whole, since the patch run takes only install folders whose derived paths all fit (PatchPathsFit).
    FormatBounded(rec->cachePath, sizeof rec->cachePath, "%s\\%s", rel->cacheDir, rec->digest);
    FormatBounded(rec->backupPath, sizeof rec->backupPath, "%s\\%u.bak", rel->backupDir, index);
    rec->size = entry->size;
}

int LoadPatchManifest(PatchRelease* rel) {
    int ok = 0, shown = 0;
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
    if (!(text = DiskReadWhole(path, kManifestMaxBytes, &size))) goto done;
    if (!ReleaseSignatureHolds(text, size)) {  // shows its own refusal
        shown = 1;
        goto done;
    }
    if (!(entries = (ManifestEntry*)malloc(kMaxManifestEntries * sizeof *entries))) goto done;
    count = CheckManifestText(text, size, strlen(g_shell.installDir), rel->releaseId, entries, NULL);
    if (count < 0) goto done;

    FormatBounded(rel->cacheDir, sizeof rel->cacheDir, "%s\\patch-cache\\%s", g_shell.installDir, rel->releaseId);
    // The tick count is read once: every backup of this run goes into the one directory it names.
    FormatBounded(rel->backupDir, sizeof rel->backupDir, "%s\\patch-backups\\delta-%s-%lu", g_shell.installDir,
                  rel->releaseId, (unsigned long)GetTickCount());
    for (long i = 0; i < count; i++) FillRecord(rel, (unsigned)i, &entries[i]);
    rel->entryCount = (unsigned)count;
    ClassifyAll(rel);
    ok = 1;
done:
    free(entries);
    free(text);
    if (!ok && !shown) ShowStatus(kManifestInvalid);
    return ok;
}

// The release tree's history and its pruning: blobs stay until no recent manifest names them, so a launcher
// that fetched an older manifest a moment ago, or days ago and is resuming its downloads, still finds every blob.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "files.h"
#include "patch/manifest_rules.h"
#include "publish.h"

static const double kMiB = 1048576.0;

int LockReleaseTree(const char* outDir) {
    char path[4096];
    snprintf(path, sizeof path, "%s/.veq-publish.lock", outDir);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "veq-publish: cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "veq-publish: another veq-publish is working on %s; try again when it is done\n", outDir);
        close(fd);
        return -1;
    }
    return fd;
}

// "<digits>-<32 hex digits>.tsv"; anything else in the folder is not ours and is left alone.
static int ParseHistoryName(const char* name, unsigned long* sequence) {
    const char* dash = strchr(name, '-');
    size_t digits = dash ? (size_t)(dash - name) : 0;
    if (digits == 0 || digits > 9 || strlen(dash + 1) != kReleaseIdChars + 4) return 0;
    for (size_t i = 0; i < digits; i++)
        if (!isdigit((unsigned char)name[i])) return 0;
    if (!IsHexDigits(dash + 1, kReleaseIdChars) || strcmp(dash + 1 + kReleaseIdChars, ".tsv") != 0) return 0;
    *sequence = strtoul(name, NULL, 10);
    return 1;
}

int ListHistory(const char* outDir, std::vector<HistoryEntry>* entries) {
    char dir[4096];
    snprintf(dir, sizeof dir, "%s/history", outDir);
    entries->clear();
    DIR* d = opendir(dir);
    if (!d) {
        if (errno == ENOENT) return 1;
        fprintf(stderr, "veq-publish: cannot read the folder %s: %s\n", dir, strerror(errno));
        return 0;
    }
    for (struct dirent* e; (e = readdir(d)) != NULL;) {
        HistoryEntry h;
        if (!ParseHistoryName(e->d_name, &h.sequence)) continue;
        h.name = e->d_name;
        entries->push_back(h);
    }
    closedir(d);
    std::sort(entries->begin(), entries->end(), [](const HistoryEntry& a, const HistoryEntry& b) {
        return a.sequence != b.sequence ? a.sequence < b.sequence : a.name < b.name;
    });
    return 1;
}

// Adds the digests a manifest names, in lower case. 1 on success; a missing file is fine when `mayBeMissing`.
static int CollectDigests(const char* path, int mayBeMissing, ManifestEntry* entries, std::set<std::string>* digests) {
    char* data = NULL;
    size_t size = 0;
    long badLine = 0;
    struct stat st;
    if (mayBeMissing && stat(path, &st) != 0 && errno == ENOENT) return 1;
    if (!ReadWholeFile(path, (size_t)kManifestMaxBytes, &data, &size)) {
        fprintf(stderr, "veq-publish: cannot read %s; nothing was removed\n", path);
        return 0;
    }
    long n = CheckManifestText(data, size, 0, NULL, entries, &badLine);
    free(data);
    if (n < 0) {
        fprintf(stderr, "veq-publish: %s is not a valid manifest (line %ld); nothing was removed\n", path, badLine);
        return 0;
    }
    for (long i = 0; i < n; i++) {
        std::string d = entries[i].digest;
        for (char& c : d) c = (char)tolower((unsigned char)c);
        digests->insert(d);
    }
    return 1;
}

// Temporary files start with a dot; holding the lock, any we find were left by an interrupted publish.
static void RemoveLeftovers(const std::string& dir, unsigned* removed) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    for (struct dirent* e; (e = readdir(d)) != NULL;)
        if (e->d_name[0] == '.' && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
            strcmp(e->d_name, ".veq-publish.lock") != 0 && unlink((dir + "/" + e->d_name).c_str()) == 0)
            (*removed)++;
    closedir(d);
}

// Removes the entries of `dir` named by a digest that `needed` lacks; counts them and the bytes they held.
static int RemoveUnneeded(const std::string& dir, const std::set<std::string>& needed, unsigned* removed,
                          unsigned long long* freed) {
    std::vector<std::string> doomed;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        if (errno == ENOENT) return 1;
        fprintf(stderr, "veq-publish: cannot read the folder %s: %s\n", dir.c_str(), strerror(errno));
        return 0;
    }
    for (struct dirent* e; (e = readdir(d)) != NULL;) {
        std::string name = e->d_name;
        if (name.size() == kDigestHex && IsHexDigits(name.data(), name.size()) && !needed.count(name))
            doomed.push_back(name);
    }
    closedir(d);
    for (const std::string& name : doomed) {
        std::string path = dir + "/" + name;
        struct stat st;
        unsigned long long size = stat(path.c_str(), &st) == 0 ? (unsigned long long)st.st_size : 0;
        if (unlink(path.c_str()) != 0) {
            fprintf(stderr, "veq-publish: cannot remove %s: %s\n", path.c_str(), strerror(errno));
            return 0;
        }
        (*removed)++;
        *freed += size;
    }
    SyncDirectory(dir.c_str());
    return 1;
}

// The oldest history entry to keep: the newest `keep`, and every release that was live less than `minAge` seconds
// ago (published, or replaced by the next, since then): players who fetched it may still be resuming its blobs.
static size_t FirstKept(const std::string& historyDir, const std::vector<HistoryEntry>& history, unsigned keep,
                        long long minAge) {
    size_t first = history.size() > keep ? history.size() - keep : 0;
    time_t now = time(NULL);
    struct stat st;
    while (first > 0 && stat((historyDir + "/" + history[first].name).c_str(), &st) == 0 && now - st.st_mtime < minAge)
        first--;
    return first;
}

int PruneReleases(const char* outDir, unsigned keep, long long minAge, FILE* report) {
    int result = kPublishFailed, lock = -1;
    std::string out = outDir, blobsDir = out + "/patch/blobs", chunksDir = out + "/patch/chunks",
                historyDir = out + "/history";
    std::vector<HistoryEntry> history;
    std::set<std::string> needed;
    ManifestEntry* entries = NULL;
    unsigned long long freed = 0, indexBytes = 0;
    unsigned removedBlobs = 0, removedIndexes = 0, removedHistory = 0, leftovers = 0;
    size_t first = 0;

    if ((lock = LockReleaseTree(outDir)) < 0) goto done;
    if (!ListHistory(outDir, &history)) goto done;
    if (!(entries = (ManifestEntry*)malloc(kMaxManifestEntries * sizeof *entries))) {
        fprintf(stderr, "veq-publish: out of memory\n");
        goto done;
    }
    first = FirstKept(historyDir, history, keep, minAge);
    for (size_t i = first; i < history.size(); i++)
        if (!CollectDigests((historyDir + "/" + history[i].name).c_str(), 0, entries, &needed)) goto done;
    // The live manifest counts even when it has no history entry (published by hand or by an older tool).
    if (!CollectDigests((out + "/patch/manifest.tsv").c_str(), 1, entries, &needed)) goto done;

    // A blob's chunk index goes with it, or before it: an index never outlives its blob.
    if (!RemoveUnneeded(chunksDir, needed, &removedIndexes, &indexBytes) ||
        !RemoveUnneeded(blobsDir, needed, &removedBlobs, &freed))
        goto done;
    for (size_t i = 0; i < first; i++)
        if (unlink((historyDir + "/" + history[i].name).c_str()) == 0) removedHistory++;
    RemoveLeftovers(blobsDir, &leftovers);
    RemoveLeftovers(chunksDir, &leftovers);
    RemoveLeftovers(out + "/patch", &leftovers);
    RemoveLeftovers(historyDir, &leftovers);
    SyncDirectory(historyDir.c_str());

    fprintf(report,
            "veq-publish: kept %zu manifests naming %zu blobs; removed %u blobs and %u chunk indexes (%.1f MiB), "
            "%u older manifests and %u leftover temporary files\n",
            history.size() - first, needed.size(), removedBlobs, removedIndexes, (freed + indexBytes) / kMiB,
            removedHistory, leftovers);
    result = kPublishOk;
done:
    free(entries);
    if (lock >= 0) close(lock);
    return result;
}

// veq-publish: checks a client folder against the launcher's manifest rules, then writes blobs, the manifest and
// its history entry, so that a client never sees a manifest whose blobs are missing.
#include "publish.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "config/ini_rules.h"
#include "files.h"
#include "patch/manifest_rules.h"

namespace {

const char kConfigName[] = "autoupdate.ini";
const double kMiB = 1048576.0;

struct ClientFile {
    std::string rel;               // relative to the client folder, with '/'
    std::string target;            // what is read: rel, or where its link leads within the client folder
    dev_t dev;                     // the file as listed: what is read must be the same file
    ino_t ino;
    int outside;                   // a link to a file outside the client folder: never read
    unsigned long long size;       // as published (autoupdate.ini: after the rewrite)
    char digest[kDigestHex + 1];
    int isConfig;                  // published from `config`, not from the file
    std::string config;
};

struct Listed {
    std::string rel;
    std::string reason;
};

// One publish, phase by phase.
struct Release {
    int rootFd;                      // the client folder, opened once; every file is opened below it
    std::string rootReal;            // its real path, to tell where links lead
    std::vector<ClientFile> found;   // every regular file, in walk order
    std::vector<ClientFile> files;   // what gets published, sorted by path
    std::vector<Listed> skipped;
    std::vector<Listed> refused;
    int haveOut;                     // the output folder exists and may lie inside the client folder
    dev_t outDev;
    ino_t outIno;
    int configLines;                 // lines the rewrite of autoupdate.ini replaced
    unsigned long long totalBytes;   // of all files as published
    char releaseId[kReleaseIdChars + 1];
    std::string manifest;
    unsigned written, reused;        // blobs
    unsigned long long writtenBytes;
};

void List(std::vector<Listed>* list, const std::string& rel, const std::string& reason) {
    Listed l;
    l.rel = rel;
    l.reason = reason;
    list->push_back(l);
}

// Every regular file under the client folder, in a stable order. Symbolic links to files are followed when they
// stay inside it (a link out could publish a secret); links to folders are not (a loop would never end), and the
// output folder is left out when it lies inside.
int WalkFolder(const std::string& root, const std::string& rel, Release* s) {
    std::string dirPath = rel.empty() ? root : root + "/" + rel;
    std::vector<std::string> names;
    DIR* d = opendir(dirPath.c_str());
    if (!d) {
        fprintf(stderr, "veq-publish: cannot read the folder %s: %s\n", dirPath.c_str(), strerror(errno));
        return 0;
    }
    for (struct dirent* e; (errno = 0, e = readdir(d)) != NULL;)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    int readError = errno;
    closedir(d);
    if (readError) {
        fprintf(stderr, "veq-publish: cannot read the folder %s: %s\n", dirPath.c_str(), strerror(readError));
        return 0;
    }
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::string childRel = rel.empty() ? name : rel + "/" + name;
        std::string path = root + "/" + childRel;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            fprintf(stderr, "veq-publish: cannot examine %s: %s\n", path.c_str(), strerror(errno));
            return 0;
        }
        int link = S_ISLNK(st.st_mode);
        if (link && stat(path.c_str(), &st) != 0) {
            List(&s->skipped, childRel, "symbolic link to nothing");
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (link) List(&s->skipped, childRel + "/", "symbolic link to a folder (not followed)");
            else if (s->haveOut && st.st_dev == s->outDev && st.st_ino == s->outIno)
                List(&s->skipped, childRel + "/", "the output folder");
            else if (!WalkFolder(root, childRel, s)) return 0;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            List(&s->skipped, childRel, "not a regular file");
            continue;
        }
        ClientFile f;
        f.rel = f.target = childRel;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.outside = 0;
        if (link) {
            char* real = realpath(path.c_str(), NULL);
            std::string to = real ? real : "";
            free(real);
            f.outside = to.compare(0, s->rootReal.size() + 1, s->rootReal + "/") != 0;
            if (!f.outside) f.target = to.substr(s->rootReal.size() + 1);
        }
        f.size = (unsigned long long)st.st_size;
        f.digest[0] = '\0';
        f.isConfig = 0;
        s->found.push_back(f);
    }
    return 1;
}

// NULL when the launcher maintains the file: it is autoupdate.ini, or its first folder and its extension pass
// the folder rule. Only those two parts go to the rules, behind a stand-in name, so that a bad character
// elsewhere in a maintained file's path is reported as a refusal rather than hiding the file as unmaintained.
const char* NotMaintainedReason(const std::string& rel) {
    size_t slash = rel.find('/');
    if (slash == std::string::npos) return ManifestPathProblem(rel.data(), rel.size(), 0);
    size_t dot = rel.rfind('.');
    std::string probe = rel.substr(0, slash) + "/x" + (dot == std::string::npos ? "" : rel.substr(dot));
    return ManifestPathProblem(probe.data(), probe.size(), 0);
}

int IsCaseVariantOfConfig(const std::string& rel) {
    return rel.size() == sizeof kConfigName - 1 && strcasecmp(rel.c_str(), kConfigName) == 0 && rel != kConfigName;
}

void AppendConfig(void* ctx, const char* bytes, size_t n) { static_cast<std::string*>(ctx)->append(bytes, n); }

std::string Describe(const char* fmt, unsigned long long a, unsigned long long b) {
    char buf[256];
    snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}

size_t DecimalDigits(unsigned long long v) {
    size_t n = 1;
    while (v >= 10) {
        v /= 10;
        n++;
    }
    return n;
}

// Sorts the found files into skipped, refused and published, with every reason the launcher would have.
void CheckClientFiles(const PublishOptions* o, Release* s) {
    std::unordered_multimap<unsigned long, size_t> byHash;
    std::sort(s->found.begin(), s->found.end(),
              [](const ClientFile& a, const ClientFile& b) { return a.rel < b.rel; });
    for (ClientFile& f : s->found) {
        const char* reason = NotMaintainedReason(f.rel);
        if (IsCaseVariantOfConfig(f.rel)) {
            List(&s->refused, f.rel, "the launcher patches autoupdate.ini only when it is spelled in lower case");
            continue;
        }
        if (reason) {
            std::string why = std::string("not maintained by the launcher: ") + reason;
            if (o->strict) List(&s->refused, f.rel, why + " (--strict)");
            else List(&s->skipped, f.rel, why);
            continue;
        }
        if (f.outside) {
            List(&s->refused, f.rel, "symbolic link to a file outside the client folder");
            continue;
        }
        if ((reason = ManifestPathProblem(f.rel.data(), f.rel.size(), o->maxInstallDir)) != NULL) {
            // Fine with no install folder at all: only the length rule failed, so say which lengths.
            if (!ManifestPathProblem(f.rel.data(), f.rel.size(), 0))
                List(&s->refused, f.rel, Describe("path of %llu characters is too long for an install folder of "
                                                  "%llu characters (install folder + path + 16 must be at most 259)",
                                                  f.rel.size(), o->maxInstallDir));
            else
                List(&s->refused, f.rel, reason);
            continue;
        }
        if (f.size > kMaxBlobBytes) {
            const char* fmt = f.isConfig
                                  ? "%llu bytes after the rewrite: larger than %llu bytes (256 MiB)"
                                  : "%llu bytes: larger than %llu bytes (256 MiB), the most the launcher downloads";
            List(&s->refused, f.rel, Describe(fmt, f.size, kMaxBlobBytes));
            continue;
        }
        unsigned long hash = ClientPathHash(f.rel.data(), f.rel.size());
        const ClientFile* twin = NULL;
        auto range = byHash.equal_range(hash);
        for (auto it = range.first; it != range.second && !twin; ++it)
            if (SameClientPath(s->files[it->second].rel.c_str(), f.rel.c_str())) twin = &s->files[it->second];
        if (twin) {
            List(&s->refused, f.rel, "the same file as " + twin->rel + " on Windows, where letter case does not count");
            continue;
        }
        byHash.insert(std::make_pair(hash, s->files.size()));
        s->files.push_back(f);
    }

    unsigned long long manifestBytes = 10 + kReleaseIdChars + 1;
    for (const ClientFile& f : s->files) manifestBytes += kDigestHex + 1 + DecimalDigits(f.size) + 1 + f.rel.size() + 1;
    if (s->files.empty() && s->refused.empty())
        List(&s->refused, "(release)", "no file the launcher maintains; it refuses a manifest without entries");
    if (s->files.size() > kMaxManifestEntries)
        List(&s->refused, "(release)", Describe("%llu files: the launcher takes at most %llu",
                                                (unsigned long long)s->files.size(), kMaxManifestEntries));
    if (manifestBytes > kManifestMaxBytes)
        List(&s->refused, "(release)", Describe("the manifest would be %llu bytes: the launcher fetches at most %llu",
                                                manifestBytes, kManifestMaxBytes));
}

void PrintListed(FILE* f, const char* what, const std::vector<Listed>& list) {
    for (const Listed& l : list) {
        fprintf(f, "  %-8s ", what);
        PutPrintablePath(f, l.rel.data(), l.rel.size());
        fprintf(f, ": %s\n", l.reason.c_str());
    }
}

struct ManifestCheck {
    size_t maxInstallDir;
    long entries;
    const char* releaseId;
};

// The launcher's own whole-manifest check, on the bytes as they lie on disk.
int CheckWrittenManifest(void* ctx, const char* data, size_t size) {
    const ManifestCheck* c = (const ManifestCheck*)ctx;
    char id[kReleaseIdChars + 1] = "";
    long badLine = 0;
    long n = CheckManifestText(data, size, c->maxInstallDir, id, NULL, &badLine);
    if (n == c->entries && strcmp(id, c->releaseId) == 0) return 1;
    fprintf(stderr, "veq-publish: the manifest written fails the launcher's check (line %ld); not put in place\n",
            badLine);
    return 0;
}

int SameAsFile(const std::string& path, const std::string& text) {
    char* data = NULL;
    size_t size = 0;
    int same = ReadWholeFile(path.c_str(), text.size(), &data, &size) && size == text.size() &&
               memcmp(data, text.data(), size) == 0;
    free(data);
    return same;
}

// The client folder as it is, and where the output folder lies, so a walk can leave it out.
int ScanClient(const PublishOptions* o, Release* s) {
    struct stat st;
    char* real = realpath(o->clientDir, NULL);
    s->haveOut = stat(o->outDir, &st) == 0;
    s->outDev = s->haveOut ? st.st_dev : 0;
    s->outIno = s->haveOut ? st.st_ino : 0;
    int resolved = real != NULL;
    s->rootReal = resolved ? real : "";
    free(real);
    if (!resolved || (s->rootFd = open(o->clientDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        fprintf(stderr, "veq-publish: %s is not a folder\n", o->clientDir);
        return 0;
    }
    return WalkFolder(o->clientDir, "", s);
}

// The file as listed, opened without following any link met on the way: a link swapped in since the walk, which
// could lead out of the client folder, is refused. -1 with the reason on stderr.
int OpenListed(const PublishOptions* o, const Release& s, const ClientFile& f) {
    struct stat st;
    int fd = OpenBeneath(s.rootFd, f.target.c_str());
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == f.dev && st.st_ino == f.ino) return fd;
    if (fd < 0)
        fprintf(stderr, "veq-publish: cannot open %s/%s: %s\n", o->clientDir, f.rel.c_str(), strerror(errno));
    else
        fprintf(stderr, "veq-publish: %s/%s changed while being published; publish again\n", o->clientDir,
                f.rel.c_str());
    if (fd >= 0) close(fd);
    return -1;
}

// autoupdate.ini as the launcher leaves it after patching, through the launcher's own rewrite, so the next run
// finds it current. A file too large to publish is left to the check, which refuses it.
int RewriteConfig(const PublishOptions* o, Release* s) {
    for (ClientFile& f : s->found) {
        if (f.rel != kConfigName || f.size > kMaxBlobBytes || f.outside) continue;
        char* text = NULL;
        size_t size = 0;
        int fd = OpenListed(o, *s, f);
        if (fd < 0) return 0;  // OpenListed has said why
        int ok = ReadWholeFd(fd, (size_t)kMaxBlobBytes, &text, &size);
        close(fd);
        if (!ok) {
            fprintf(stderr, "veq-publish: cannot read %s/%s\n", o->clientDir, f.rel.c_str());
            return 0;
        }
        s->configLines = RewriteConfigText(text, size, o->serviceHost, AppendConfig, &f.config);
        free(text);
        f.isConfig = 1;
        f.size = f.config.size();
        DigestBytes(f.config.data(), f.config.size(), f.digest);
    }
    return 1;
}

// Lists what is skipped and what is refused; 0 when something is refused and nothing may be published.
int ListSkippedAndRefused(const PublishOptions* o, const Release& s) {
    if (!s.skipped.empty()) {
        fprintf(o->report, "veq-publish: %zu files skipped (the launcher does not patch them):\n", s.skipped.size());
        PrintListed(o->report, "skipped", s.skipped);
    }
    if (s.refused.empty()) return 1;
    fprintf(o->report, "veq-publish: the launcher would refuse this release; nothing was published:\n");
    PrintListed(o->report, "refused", s.refused);
    fprintf(o->report, "veq-publish: %zu refused\n", s.refused.size());
    return 0;
}

// The id follows from the entries alone: the same content publishes as the same release.
void ComposeManifest(Release* s) {
    std::string lines;
    char lineDigest[kDigestHex + 1];
    for (const ClientFile& f : s->files) {
        char size[32];
        snprintf(size, sizeof size, "%llu", f.size);
        lines += std::string(f.digest) + "\t" + size + "\t" + f.rel + "\n";
    }
    DigestBytes(lines.data(), lines.size(), lineDigest);
    memcpy(s->releaseId, lineDigest, kReleaseIdChars);
    s->releaseId[kReleaseIdChars] = '\0';
    s->manifest = std::string("VEQPATCH1\t") + s->releaseId + "\n" + lines;
}

// The output folders, locked for this publish. Returns the lock's descriptor, or -1.
int OpenReleaseTree(const PublishOptions* o) {
    std::string out = o->outDir;
    int lock = -1;
    if (!MakeDirectory(out) || (lock = LockReleaseTree(o->outDir)) < 0) return -1;
    if (MakeDirectory(out + "/patch") && MakeDirectory(out + "/patch/blobs") && MakeDirectory(out + "/history"))
        return lock;
    close(lock);
    return -1;
}

// Each file is opened once, then digested and, when its blob is new, copied from the same descriptor into the blob
// (checked against that digest).
int WriteBlobs(const PublishOptions* o, Release* s) {
    std::string blobsDir = std::string(o->outDir) + "/patch/blobs";
    Progress p;
    s->written = s->reused = 0;
    s->writtenBytes = s->totalBytes = 0;
    for (const ClientFile& f : s->files) s->totalBytes += f.size;
    StartProgress(&p, o->progress, "files", (unsigned)s->files.size(), s->totalBytes);
    for (ClientFile& f : s->files) {
        int isNew = 0, fd = -1, ok = 0;
        std::string name = std::string(o->clientDir) + "/" + f.rel;
        if (f.isConfig) {
            AddProgress(&p, 0, f.size);
            ok = PutBlob(blobsDir.c_str(), f.digest, f.size, -1, name.c_str(), f.config.data(), &isNew);
        } else {
            ok = (fd = OpenListed(o, *s, f)) >= 0 && DigestFd(fd, name.c_str(), f.size, f.digest, &p) &&
                 PutBlob(blobsDir.c_str(), f.digest, f.size, fd, name.c_str(), NULL, &isNew);
        }
        if (fd >= 0) close(fd);
        if (!ok) return 0;
        AddProgress(&p, 1, 0);
        if (isNew) {
            s->written++;
            s->writtenBytes += f.size;
        } else {
            s->reused++;
        }
    }
    EndProgress(&p);
    if (!SyncDirectory(blobsDir.c_str())) {
        fprintf(stderr, "veq-publish: cannot flush the folder %s: %s\n", blobsDir.c_str(), strerror(errno));
        return 0;
    }
    return 1;
}

// A chunk index beside every large blob, so that launchers fetch only the chunks they lack.
int WriteChunkIndexes(const PublishOptions* o, const Release& s) {
    unsigned written = 0;
    for (const ClientFile& f : s.files) {
        int isNew = 0;
        if (!PutChunkIndex(o->outDir, f.digest, f.size, &isNew)) return 0;
        written += isNew;
    }
    if (written) fprintf(o->report, "veq-publish: chunk indexes written: %u\n", written);
    return 1;
}

// The live manifest, then a new history entry unless the last one is this manifest, each checked on disk first.
// The entry comes second, so a publish that failed never takes one of the places prune keeps.
int WriteManifest(const PublishOptions* o, const Release& s) {
    std::string patchDir = std::string(o->outDir) + "/patch", historyDir = std::string(o->outDir) + "/history";
    std::vector<HistoryEntry> history;
    ManifestCheck check;
    check.maxInstallDir = o->maxInstallDir;
    check.entries = (long)s.files.size();
    check.releaseId = s.releaseId;
    if (!ListHistory(o->outDir, &history) ||
        !WriteFileAtomically(patchDir.c_str(), "manifest.tsv", s.manifest.data(), s.manifest.size(),
                             CheckWrittenManifest, &check))
        return 0;
    // Right after the manifest: launchers with release keys take it once its signature is there.
    if (o->signKey && !SignManifest(o->outDir, s.manifest, o->signKey, o->expiresDays, o->report)) return 0;
    if (!o->signKey) WarnStaleSignature(o->outDir, s.manifest, o->report);
    if (!history.empty() && SameAsFile(historyDir + "/" + history.back().name, s.manifest)) return 1;
    char name[128];
    snprintf(name, sizeof name, "%06lu-%s.tsv", history.empty() ? 1UL : history.back().sequence + 1, s.releaseId);
    if (WriteFileAtomically(historyDir.c_str(), name, s.manifest.data(), s.manifest.size(), CheckWrittenManifest,
                            &check))
        return 1;
    fprintf(stderr, "veq-publish: the manifest is live, but its history entry is missing; publish again\n");
    return 0;
}

void ReportRelease(const PublishOptions* o, const Release& s) {
    fprintf(o->report, "veq-publish: release %s: %zu files, %.1f MiB; %u blobs written (%.1f MiB), %u already there\n",
            s.releaseId, s.files.size(), s.totalBytes / kMiB, s.written, s.writtenBytes / kMiB, s.reused);
    for (const ClientFile& f : s.files)
        if (f.isConfig)
            fprintf(o->report,
                    "veq-publish: autoupdate.ini published rewritten for %s (%d lines replaced), as the launcher "
                    "leaves it after patching\n",
                    o->serviceHost, s.configLines);
    if (!s.skipped.empty()) fprintf(o->report, "veq-publish: %zu files skipped (listed above)\n", s.skipped.size());
    fprintf(o->report, "veq-publish: manifest %s/patch/manifest.tsv\n", o->outDir);
}

}  // namespace

int PublishRelease(const PublishOptions* o) {
    int result = kPublishFailed, lock = -1;
    Release s;
    s.configLines = 0;
    s.rootFd = -1;
    // autoupdate.ini is rewritten before the check: the rewritten bytes are what gets published and judged.
    if (!ScanClient(o, &s) || !RewriteConfig(o, &s)) goto done;
    CheckClientFiles(o, &s);
    if (!ListSkippedAndRefused(o, s)) {
        result = kPublishRefused;
        goto done;
    }
    // Blobs and their chunk indexes first, the manifest last: a client never sees a manifest whose blobs are missing.
    if ((lock = OpenReleaseTree(o)) < 0 || !WriteBlobs(o, &s) || !WriteChunkIndexes(o, s)) goto done;
    ComposeManifest(&s);
    if (!WriteManifest(o, s)) goto done;
    ReportRelease(o, s);
    result = kPublishOk;
done:
    if (lock >= 0) close(lock);
    if (s.rootFd >= 0) close(s.rootFd);
    return result;
}

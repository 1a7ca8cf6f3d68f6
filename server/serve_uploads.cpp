// Uploads: the rate per client, the quota of the upload directory, and each body stored in a temporary file that is
// synced and only then named.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include "serve_internal.h"

static long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

static int TakeUploadSlot(ServeServer* s, const char* client) {
    if (s->opts.uploadsPerMinute == 0) return 1;
    long long now = NowMs();
    unsigned rate = s->opts.uploadsPerMinute;
    std::lock_guard<std::mutex> hold(s->lock);
    if (s->rates.size() >= kMaxRateEntries) {  // forget the buckets that have refilled: they start full anyway
        for (auto it = s->rates.begin(); it != s->rates.end();) {
            double refilled = it->second.tokens + (double)(now - it->second.lastMs) * rate / 60000.0;
            it = refilled >= rate ? s->rates.erase(it) : std::next(it);
        }
        if (s->rates.size() >= kMaxRateEntries) s->rates.clear();
    }
    auto it = s->rates.emplace(client, RateBucket{ 0, -1 }).first;
    return TakeRateToken(&it->second, now, rate);
}

// Stored uploads and the temporary files of other receivers sharing the directory (ours are reserved already).
// Temporary files untouched for `staleSeconds` have no receiver left, and go.
struct UploadCount {
    unsigned long long bytes, files;
    unsigned removed;
};
static UploadCount MeasureUploads(const std::string& dir, const std::string& ours, int staleSeconds) {
    UploadCount n = { 0, 0, 0 };
    struct stat st;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    DIR* d = opendir(dir.c_str());
    if (!d) return n;
    while (struct dirent* e = readdir(d)) {
        int temp = strncmp(e->d_name, kUploadTempPrefix, strlen(kUploadTempPrefix)) == 0;
        if ((e->d_name[0] == '.' && !temp) || strncmp(e->d_name, ours.c_str(), ours.size()) == 0 ||
            fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        double age = (double)(now.tv_sec - st.st_mtim.tv_sec) + (now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
        if (temp && age > staleSeconds && unlinkat(dirfd(d), e->d_name, 0) == 0) {
            n.removed++;
            continue;
        }
        n.bytes += (unsigned long long)st.st_size;
        n.files++;
    }
    closedir(d);
    return n;
}

void MeasureUploadsAtStart(ServeServer* s) {
    unsigned char random[8];
    char hex[17];
    if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) memset(random, 0, sizeof random);
    for (int i = 0; i < 8; i++) snprintf(hex + 2 * i, 3, "%02x", random[i]);
    s->tempPrefix = std::string(kUploadTempPrefix) + hex + "-";
    UploadCount n = MeasureUploads(s->uploads, s->tempPrefix, s->opts.stallSeconds);
    s->uploadUsed = n.bytes;
    s->uploadFiles = n.files;
    s->quotaScanned = Clock::now();
    s->staleRemoved = n.removed;
}

// Measures the directory again off the event loops, so uploads that were moved away free their space, and other
// receivers' are seen. What is stored meanwhile is added on top: the figure errs on the full side until the next.
static void RescanUploads(ServeServer* s) {
    net::post(s->blocking, [s] {
        UploadCount n = MeasureUploads(s->uploads, s->tempPrefix, kStaleTempSeconds);
        std::lock_guard<std::mutex> hold(s->lock);
        s->uploadUsed = n.bytes + s->storedSinceScan;
        s->uploadFiles = n.files + s->filesSinceScan;
        s->quotaScanning = 0;
        s->quotaScanned = Clock::now();
    });
}

static int ReserveUpload(ServeServer* s, unsigned long long bytes) {
    std::lock_guard<std::mutex> hold(s->lock);
    int limited = s->opts.uploadQuota || s->opts.uploadFiles;
    if (limited && !s->quotaScanning && Clock::now() - s->quotaScanned >= std::chrono::seconds(kQuotaRescanSeconds)) {
        s->quotaScanning = 1;
        s->storedSinceScan = s->filesSinceScan = 0;
        RescanUploads(s);
    }
    if ((s->opts.uploadQuota && s->uploadUsed + s->uploadReserved + bytes > s->opts.uploadQuota) ||
        (s->opts.uploadFiles && s->uploadFiles + s->uploadReservedFiles + 1 > s->opts.uploadFiles))
        return 0;
    s->uploadReserved += bytes;
    s->uploadReservedFiles++;
    return 1;
}

// Gives back the connection's reservation, counting what it stored. Called with the server's lock held.
void SettleUploadLocked(Conn* c, unsigned long long stored) {
    ServeServer* s = c->server;
    if (c->reserved) {
        s->uploadReserved -= c->reserved;
        s->uploadReservedFiles--;
    }
    c->reserved = 0;
    if (!stored) return;
    s->uploadUsed += stored;
    s->uploadFiles++;
    s->storedSinceScan += s->quotaScanning ? stored : 0;
    s->filesSinceScan += s->quotaScanning ? 1 : 0;
}

static void SettleUpload(Conn* c, unsigned long long stored) {
    std::lock_guard<std::mutex> hold(c->server->lock);
    SettleUploadLocked(c, stored);
}

// Gives the finished temporary file its final name. The name cannot be taken twice: the rename refuses to replace,
// and a clash (or a file system without that kind of rename, where a hard link does the same) draws another name.
static int PublishUpload(const char* temp, const char* dir, const char* tag, std::string* stored) {
    for (int attempt = 0; attempt < kUploadNameTries; attempt++) {
        unsigned char random[8];
        char name[kUploadNameCap];
        if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) return 0;
        if (!FormatUploadName(name, sizeof name, tag, time(NULL), random)) return 0;
        *stored = std::string(dir) + "/" + name;
        if (renameat2(AT_FDCWD, temp, AT_FDCWD, stored->c_str(), RENAME_NOREPLACE) == 0) return 1;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return 0;
        if (link(temp, stored->c_str()) == 0) {
            unlink(temp);
            return 1;
        }
        if (errno != EEXIST) return 0;
    }
    errno = EEXIST;
    return 0;
}

static int SyncDirectory(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

static int StatusForWriteError(int err) { return err == ENOSPC || err == EDQUOT ? 507 : 500; }

// Runs on the blocking pool. Syncs the body and only then names it: a 200 means the upload is on disk. Returns the
// status to answer; on failure nothing is left behind.
static int StoreUpload(Conn* c, const char* tag) {
    const char* dir = c->server->uploads.c_str();
    std::string stored;
    int fd = c->uploadFd;
    c->uploadFd = -1;
    int synced = fsync(fd) == 0, err = errno;
    if (close(fd) != 0 && synced) {
        synced = 0;
        err = errno;
    }
    if (!synced) {
        ReportServeError("upload: cannot sync %s: %s", c->uploadTemp.c_str(), strerror(err));
        return StatusForWriteError(err);
    }
    if (!PublishUpload(c->uploadTemp.c_str(), dir, tag, &stored)) {
        ReportServeError("upload: cannot name %s in %s: %s", c->uploadTemp.c_str(), dir, strerror(errno));
        return 500;
    }
    c->uploadTemp.clear();  // it has its final name now
    if (!SyncDirectory(dir)) {  // the name is not durable: take it back rather than claim success
        ReportServeError("upload: cannot sync directory %s: %s", dir, strerror(errno));
        unlink(stored.c_str());
        return 500;
    }
    return 200;
}

static void EndUpload(Conn* c) {
    if (c->uploadFd >= 0) close(c->uploadFd);
    c->uploadFd = -1;
    if (!c->uploadTemp.empty()) unlink(c->uploadTemp.c_str());
    c->uploadTemp.clear();
    SettleUpload(c, 0);
}

static int OpenUploadTemp(Conn* c) {
    std::string pattern = c->server->uploads + "/" + c->server->tempPrefix + "XXXXXX";
    int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        ReportServeError("upload: cannot create a file in %s: %s", c->server->uploads.c_str(), strerror(errno));
        return 0;
    }
    fchmod(fd, 0640);
    c->uploadFd = fd;
    c->uploadTemp = pattern;
    return 1;
}

void BeginUpload(std::shared_ptr<Conn> c, const char* query, size_t queryLen) {
    ServeServer* s = c->server;
    RequestParser& p = *c->parser;
    const RequestHead& h = p.head;
    auto length = p.content_length();
    const char* tag = NULL;
    size_t tagLen = 0;
    if (!p.chunked() && !length) {
        ReplyText(c.get(), 411, "Content-Length required\n");
    } else if (length && *length == 0) {
        ReplyText(c.get(), 400, "empty upload\n");
    } else if (!FindQueryValue(query, queryLen, "tag", &tag, &tagLen) || !IsUploadTag(tag, tagLen)) {
        ReplyText(c.get(), 400, "unknown upload tag\n");
    } else if (!IsOctetStream(h.contentType.data(), h.contentType.size())) {
        ReplyText(c.get(), 415, "uploads are application/octet-stream\n");
    } else if (!TakeUploadSlot(s, c->client)) {
        ReplyText(c.get(), 429, "too many uploads, try again later\n");
        c->headers = "Retry-After: 60\r\n";
    } else if (!ReserveUpload(s, length ? *length : kMaxUploadBytes)) {
        ReplyText(c.get(), 507, "upload space full\n");
    } else {
        c->reserved = length ? *length : kMaxUploadBytes;
        if (!OpenUploadTemp(c.get())) {
            EndUpload(c.get());
            ReplyText(c.get(), 500, "upload not stored\n");
            return ReplyWithoutBody(c);
        }
        if (!h.expectContinue) return ReadBody(c);
        c->out = "HTTP/1.1 100 Continue\r\n\r\n";
        WriteString(c.get());
        c->headLeft = c->out.size();
        Deadline(c.get(), s->opts.stallSeconds);
        return WriteOut(c, ReadBody);
    }
    ReplyWithoutBody(c);
}

// The body could not be read to its end, or not written: nothing is kept, and the peer hears why if it is there.
void UploadBodyFailed(std::shared_ptr<Conn> c, ErrorCode ec, int open) {
    EndUpload(c.get());
    if (c->bodyErrno) {
        ReportServeError("upload: cannot write in %s: %s", c->server->uploads.c_str(), strerror(c->bodyErrno));
        ReplyText(c.get(), StatusForWriteError(c->bodyErrno), "upload not stored\n");
    } else if (ec == http::error::body_limit) {
        ReplyText(c.get(), 413, "upload larger than 67108864 bytes\n");
    } else {
        ReplyText(c.get(), c->timedOut ? 408 : 400, "upload body incomplete\n");
    }
    if (open) return SendReply(c);
    LogRequest(c.get());
}

// The whole body is in the temporary file: it is stored off the event loop, then answered.
void FinishUpload(std::shared_ptr<Conn> c) {
    if (c->bodyBytes == 0) {  // a chunked body can turn out empty
        EndUpload(c.get());
        ReplyText(c.get(), 400, "empty upload\n");
        return SendReply(c);
    }
    const RequestHead& h = c->parser->head;
    const char* value = NULL;
    size_t valueLen = 0;
    size_t q = h.target.find('?');
    FindQueryValue(h.target.data() + q + 1, h.target.size() - q - 1, "tag", &value, &valueLen);
    std::string tag(value, valueLen);  // checked by BeginUpload
    HoldDeadline(c.get());  // storing may take longer than a stall: the answer waits for it, never cut short
    net::post(c->server->blocking, [c, tag] {
        int status = StoreUpload(c.get(), tag.c_str());
        unsigned long long stored = status == 200 ? c->bodyBytes : 0;
        net::post(c->socket.get_executor(), [c, status, stored] {
            EndUpload(c.get());
            SettleUpload(c.get(), stored);
            ReplyText(c.get(), status, status == 200 ? "ok\n" : "upload not stored\n");
            SendReply(c);
        });
    });
}

#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "publish.h"

enum { kReadChunk = 1 << 20 };
static const double kMiB = 1048576.0;

static void ShowProgress(Progress* p) {
    fprintf(p->out, "veq-publish: %s %u/%u files, %.1f/%.1f MiB\n", p->phase, p->filesDone, p->filesTotal,
            p->bytesDone / kMiB, p->bytesTotal / kMiB);
    fflush(p->out);
    p->lastShown = time(NULL);
    p->shown = 1;
    p->shownFiles = p->filesDone;
    p->shownBytes = p->bytesDone;
}

void StartProgress(Progress* p, FILE* out, const char* phase, unsigned files, unsigned long long bytes) {
    memset(p, 0, sizeof *p);
    p->out = out;
    p->phase = phase;
    p->filesTotal = files;
    p->bytesTotal = bytes;
    p->lastShown = time(NULL);
}

void AddProgress(Progress* p, unsigned files, unsigned long long bytes) {
    if (!p) return;
    p->filesDone += files;
    p->bytesDone += bytes;
    if (p->out && time(NULL) - p->lastShown >= 1) ShowProgress(p);
}

void EndProgress(Progress* p) {
    if (p->out && p->shown && (p->shownFiles != p->filesDone || p->shownBytes != p->bytesDone)) ShowProgress(p);
}

void HexDigest(const unsigned char value[32], char hex[kDigestHex + 1]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; i++) {
        hex[2 * i] = kHex[value[i] >> 4];
        hex[2 * i + 1] = kHex[value[i] & 15];
    }
    hex[kDigestHex] = '\0';
}

void DigestBytes(const char* data, size_t size, char hex[kDigestHex + 1]) {
    unsigned char value[32];
    unsigned int len = 0;
    EVP_Digest(data, size, value, &len, EVP_sha256(), NULL);
    HexDigest(value, hex);
}

// Reads `fd` to its end, feeding the digest and, when out >= 0, copying to `out`. Fails unless exactly `size`
// bytes arrive: the file was listed with that size, and a file that grows or shrinks meanwhile is not published.
static int DigestStream(int fd, int out, const char* path, unsigned long long size, unsigned char value[32],
                        Progress* p) {
    int ok = 0;
    unsigned long long total = 0;
    unsigned int len = 0;
    char* buf = (char*)malloc(kReadChunk);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (!buf || !md || !EVP_DigestInit_ex(md, EVP_sha256(), NULL)) {
        fprintf(stderr, "veq-publish: out of memory\n");
        goto done;
    }
    for (;;) {
        ssize_t got = read(fd, buf, kReadChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            fprintf(stderr, "veq-publish: cannot read %s: %s\n", path, strerror(errno));
            goto done;
        }
        if (got == 0) break;
        total += (unsigned long long)got;
        if (total > size) break;
        EVP_DigestUpdate(md, buf, (size_t)got);
        for (ssize_t put = 0; out >= 0 && put < got;) {
            ssize_t n = write(out, buf + put, (size_t)(got - put));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fprintf(stderr, "veq-publish: cannot write a blob for %s: %s\n", path, strerror(errno));
                goto done;
            }
            put += n;
        }
        AddProgress(p, 0, (unsigned long long)got);
    }
    if (total != size) {
        fprintf(stderr, "veq-publish: %s changed while being published (%llu bytes when listed); publish again\n", path,
                size);
        goto done;
    }
    EVP_DigestFinal_ex(md, value, &len);
    ok = 1;
done:
    EVP_MD_CTX_free(md);
    free(buf);
    return ok;
}

int OpenBeneath(int rootFd, const char* rel) {
    char part[4096];
    int dir = rootFd, fd = -1, err = EINVAL;
    for (const char* p = rel;;) {
        const char* slash = strchr(p, '/');
        size_t n = slash ? (size_t)(slash - p) : strlen(p);
        if (n == 0 || n >= sizeof part || (p[0] == '.' && (n == 1 || (n == 2 && p[1] == '.')))) {
            err = EINVAL;
            break;
        }
        memcpy(part, p, n);
        part[n] = '\0';
        fd = openat(dir, part, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (slash ? O_DIRECTORY : 0));
        err = errno;
        if (dir != rootFd) close(dir);
        dir = rootFd;
        if (fd < 0 || !slash) break;
        dir = fd;
        fd = -1;
        p = slash + 1;
    }
    if (dir != rootFd) close(dir);
    errno = fd < 0 ? err : 0;
    return fd;
}

int DigestFd(int fd, const char* path, unsigned long long size, char hex[kDigestHex + 1], Progress* p) {
    unsigned char value[32];
    if (!DigestStream(fd, -1, path, size, value, p)) return 0;
    HexDigest(value, hex);
    return 1;
}

static int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        size -= (size_t)n;
    }
    return 1;
}

int PutBlob(const char* blobsDir, const char* digest, unsigned long long size, int src, const char* name,
            const char* data, int* written) {
    int ok = 0, out = -1;
    char dest[4096], temp[4096], hex[kDigestHex + 1];
    unsigned char value[32];
    struct stat st;
    *written = 0;
    snprintf(dest, sizeof dest, "%s/%s", blobsDir, digest);
    // Content-addressed: a blob of this name holds these bytes, whichever release wrote it.
    if (stat(dest, &st) == 0 && S_ISREG(st.st_mode) && (unsigned long long)st.st_size == size) return 1;
    snprintf(temp, sizeof temp, "%s/.%s.XXXXXX", blobsDir, digest);
    if ((out = mkstemp(temp)) < 0) {
        fprintf(stderr, "veq-publish: cannot create a file in %s: %s\n", blobsDir, strerror(errno));
        temp[0] = '\0';
        goto done;
    }
    if (fchmod(out, 0644) != 0) {  // mkstemp makes it private; a web server's worker must read it
        fprintf(stderr, "veq-publish: cannot set the mode of %s: %s\n", temp, strerror(errno));
        goto done;
    }
    if (src >= 0) {
        if (lseek(src, 0, SEEK_SET) != 0) {
            fprintf(stderr, "veq-publish: cannot read %s: %s\n", name, strerror(errno));
            goto done;
        }
        if (!DigestStream(src, out, name, size, value, NULL)) goto done;
        HexDigest(value, hex);
    } else {
        if (!WriteAll(out, data, (size_t)size)) {
            fprintf(stderr, "veq-publish: cannot write %s: %s\n", temp, strerror(errno));
            goto done;
        }
        DigestBytes(data, (size_t)size, hex);
    }
    if (strcmp(hex, digest) != 0) {
        fprintf(stderr, "veq-publish: %s changed while being published; publish again\n", name);
        goto done;
    }
    if (fsync(out) != 0) {
        fprintf(stderr, "veq-publish: cannot flush %s: %s\n", temp, strerror(errno));
        goto done;
    }
    if (close(out) != 0) {
        out = -1;
        fprintf(stderr, "veq-publish: cannot write %s: %s\n", temp, strerror(errno));
        goto done;
    }
    out = -1;
    if (rename(temp, dest) != 0) {
        fprintf(stderr, "veq-publish: cannot rename %s: %s\n", temp, strerror(errno));
        goto done;
    }
    temp[0] = '\0';
    *written = 1;
    ok = 1;
done:
    if (out >= 0) close(out);
    if (!ok && temp[0]) unlink(temp);
    return ok;
}

int ReadWholeFile(const char* path, size_t cap, char** data, size_t* size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int ok = fd >= 0 && ReadWholeFd(fd, cap, data, size);
    if (fd >= 0) close(fd);
    return ok;
}

int ReadWholeFd(int fd, size_t cap, char** data, size_t* size) {
    int ok = 0;
    char* buf = NULL;
    size_t len = 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || (unsigned long long)st.st_size > cap) goto done;
    if (!(buf = (char*)malloc((size_t)st.st_size + 1))) goto done;
    while (len < (size_t)st.st_size) {
        ssize_t n = read(fd, buf + len, (size_t)st.st_size - len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        len += (size_t)n;
    }
    if (len != (size_t)st.st_size) goto done;
    *data = buf;
    *size = len;
    buf = NULL;
    ok = 1;
done:
    free(buf);
    return ok;
}

int MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return 1;
    fprintf(stderr, "veq-publish: cannot create the folder %s: %s\n", path.c_str(), strerror(errno));
    return 0;
}

int SyncDirectory(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

int WriteFileAtomically(const char* dir, const char* name, const char* bytes, size_t size, WrittenCheck check,
                        void* ctx) {
    int ok = 0, fd = -1;
    char temp[4096], dest[4096], *back = NULL;
    size_t backSize = 0;
    snprintf(dest, sizeof dest, "%s/%s", dir, name);
    snprintf(temp, sizeof temp, "%s/.%s.XXXXXX", dir, name);
    if ((fd = mkstemp(temp)) < 0) {
        fprintf(stderr, "veq-publish: cannot create a file in %s: %s\n", dir, strerror(errno));
        temp[0] = '\0';
        goto done;
    }
    if (fchmod(fd, 0644) != 0 || !WriteAll(fd, bytes, size) || fsync(fd) != 0) {
        fprintf(stderr, "veq-publish: cannot write %s: %s\n", temp, strerror(errno));
        goto done;
    }
    if (close(fd) != 0) {
        fd = -1;
        fprintf(stderr, "veq-publish: cannot write %s: %s\n", temp, strerror(errno));
        goto done;
    }
    fd = -1;
    // What the disk gives back is what a server will send, so that is what gets checked.
    if (!ReadWholeFile(temp, size, &back, &backSize) || backSize != size || memcmp(back, bytes, size) != 0) {
        fprintf(stderr, "veq-publish: %s does not read back as written\n", temp);
        goto done;
    }
    if (check && !check(ctx, back, backSize)) goto done;
    if (rename(temp, dest) != 0) {
        fprintf(stderr, "veq-publish: cannot rename %s to %s: %s\n", temp, dest, strerror(errno));
        goto done;
    }
    temp[0] = '\0';
    if (!SyncDirectory(dir)) {
        fprintf(stderr, "veq-publish: cannot flush the folder %s: %s\n", dir, strerror(errno));
        goto done;
    }
    ok = 1;
done:
    free(back);
    if (fd >= 0) close(fd);
    if (!ok && temp[0]) unlink(temp);
    return ok;
}

void PutPrintablePath(FILE* f, const char* path, size_t len) {
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)path[i];
        if (c == '\t') fputs("\\t", f);
        else if (c < 32 || c > 126 || c == '\\') fprintf(f, "\\x%02x", c);
        else fputc(c, f);
    }
}

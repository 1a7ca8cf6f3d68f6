// The release routes (the manifest and its signature, blobs and their chunk indexes) and the registration pages:
// files, with the caching headers and validators each needs.
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "serve_internal.h"

static const char kBlobCache[] = "public, max-age=31536000, immutable";  // content-addressed: never changes

static int HashManifest(int fd, char tag[33]) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE], buf[kChunkBytes];
    unsigned digestLen = 0;
    off_t at = 0;
    ssize_t got = 0;
    int ok = 0;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (!md || EVP_DigestInit_ex(md, EVP_sha256(), NULL) != 1) goto done;
    while ((got = pread(fd, buf, sizeof buf, at)) > 0) {
        EVP_DigestUpdate(md, buf, (size_t)got);
        at += got;
    }
    if (got < 0 || EVP_DigestFinal_ex(md, digest, &digestLen) != 1) goto done;
    for (int i = 0; i < 16; i++) {
        tag[2 * i] = kHex[digest[i] >> 4];
        tag[2 * i + 1] = kHex[digest[i] & 15];
    }
    tag[32] = '\0';
    ok = 1;
done:
    EVP_MD_CTX_free(md);
    return ok;
}

static int SameFile(const ManifestTag& m, const struct stat& st) {
    return m.tag[0] && m.dev == st.st_dev && m.ino == st.st_ino && m.size == st.st_size &&
           m.mtime.tv_sec == st.st_mtim.tv_sec && m.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

static int ManifestEntityTag(ServeServer* s, int which, int fd, const struct stat& st, char tag[33]) {
    ManifestTag& known = s->manifestTags[which];
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (SameFile(known, st)) {
            memcpy(tag, known.tag, 33);
            return 1;
        }
    }
    if (!HashManifest(fd, tag)) return 0;
    std::lock_guard<std::mutex> hold(s->lock);
    known = ManifestTag{ st.st_dev, st.st_ino, st.st_mtim, st.st_size, {} };
    memcpy(known.tag, tag, 33);
    return 1;
}

// The signature is replaced with its manifest, so it is revalidated the same way.
void ReplyManifest(Conn* c, int signature) {
    const RequestHead& h = c->parser->head;
    char path[4096], tag[33], date[kHttpDateCap];
    struct stat st;
    time_t since = 0;
    if (c->server->release.empty()) return ReplyText(c, 404, "not found\n");
    snprintf(path, sizeof path, "%s/patch/manifest.tsv%s", c->server->release.c_str(), signature ? ".sig" : "");
    if (!ReplyFile(c, path, signature ? kTextType : "text/tab-separated-values; charset=utf-8", &st)) return;
    if (!ManifestEntityTag(c->server, signature, c->fileFd, st, tag)) return ReplyText(c, 500, "cannot read\n");
    FormatHttpDate(st.st_mtime, date, sizeof date);
    // no-cache: a cache may keep it but must ask each time, so a new release is seen at once
    c->headers = std::string("ETag: \"") + tag + "\"\r\nLast-Modified: " + date + "\r\nCache-Control: no-cache\r\n";
    int fresh = h.hasIfNoneMatch ? EntityTagMatches(h.ifNoneMatch.data(), h.ifNoneMatch.size(), tag)
                                 : ParseHttpDate(h.ifModifiedSince.data(), h.ifModifiedSince.size(), &since) &&
                                       st.st_mtime <= since;
    if (fresh) ReplyNotModified(c);
}

// A blob, or a blob's chunk index (folder "chunks"): both are named by the blob's digest and never change.
void ReplyBlob(Conn* c, const char* folder, const char* digest) {
    const RequestHead& h = c->parser->head;
    char path[4096], range[128];
    struct stat st;
    unsigned long long first = 0, last = 0;
    snprintf(path, sizeof path, "%s/patch/%s/%s", c->server->release.c_str(), folder, digest);
    if (c->server->release.empty()) return ReplyText(c, 404, "not found\n");
    if (!ReplyFile(c, path, "application/octet-stream", &st)) return;
    c->headers =
        std::string("ETag: \"") + digest + "\"\r\nCache-Control: " + kBlobCache + "\r\nAccept-Ranges: bytes\r\n";
    if (h.hasIfNoneMatch && EntityTagMatches(h.ifNoneMatch.data(), h.ifNoneMatch.size(), digest))
        return ReplyNotModified(c);
    if (h.range.empty() || (!h.ifRange.empty() && !IfRangeMatches(h.ifRange.data(), h.ifRange.size(), digest)))
        return;
    switch (ParseRange(h.range.data(), h.range.size(), c->contentLength, &first, &last)) {
    case kRangePart:
        c->status = 206;
        c->fileOffset = first;
        c->fileLeft = c->contentLength = last - first + 1;
        snprintf(range, sizeof range, "Content-Range: bytes %llu-%llu/%llu\r\n", first, last,
                 (unsigned long long)st.st_size);
        c->headers += range;
        break;
    case kRangeUnsatisfiable:
        ReplyText(c, 416, "range not satisfiable\n");
        snprintf(range, sizeof range, "Content-Range: bytes */%llu\r\n", (unsigned long long)st.st_size);
        c->headers = range;
        break;
    case kRangeWhole:
        break;
    }
}

void ReplyRegister(Conn* c, const char* path, size_t pathLen) {
    char name[kRegisterNameCap], file[4096];
    struct stat st;
    if (c->server->registerDir.empty() || !MapRegisterPath(path, pathLen, name, sizeof name))
        return ReplyText(c, 404, "not found\n");
    snprintf(file, sizeof file, "%s/%s", c->server->registerDir.c_str(), name);
    if (ReplyFile(c, file, ContentTypeForName(name), &st)) c->headers = "Cache-Control: no-cache\r\n";
}

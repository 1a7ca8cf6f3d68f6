#include "shell/system_dlls.h"

#include "patch/download_rules.h"
#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"

// A read cut off by a dropped line loses what it had received (WinHTTP reports no partial count), so reads stay
// small enough that a line dropping every few hundred KiB still gets a blob through its resumes; larger ones were
// no faster under Wine.
enum { kDownloadChunkBytes = 64 * 1024 };
static const wchar_t kPatcherAgent[] = L"VEQGames-Patcher/2.0";
static const unsigned long long kNoLength = ~0ULL, kBadLength = ~0ULL - 1;

namespace {
// One WinHTTP session and connection to the patch server. A patch run keeps one for all its requests, so they
// share a kept-alive connection instead of a TLS handshake each.
struct PatchLink {
    HINTERNET session, connection;
};

enum Outcome { kDone, kRetry, kGiveUp, kWrongSize };
}  // namespace

static PatchLink s_runLink;  // the patch run's, while it is open; only its thread downloads

static int OpenLink(PatchLink* link) {
    const WinHttpApi* http = WinHttp();
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    link->connection = link->session = NULL;
    if (!http) return 0;
    link->session = http->Open(kPatcherAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    if (!link->session) return 0;
    // Both options are best effort: a platform that refuses them keeps its defaults and the download goes on.
    http->SetOption(link->session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    http->SetTimeouts(link->session, 15000, 15000, 30000, 30000);
    link->connection = http->Connect(link->session, kServiceHostW, INTERNET_DEFAULT_HTTPS_PORT, 0);
    return link->connection != NULL;
}

static void CloseLink(PatchLink* link) {
    const WinHttpApi* http = WinHttp();
    if (link->connection) http->CloseHandle(link->connection);
    if (link->session) http->CloseHandle(link->session);
    link->connection = link->session = NULL;
}

int OpenPatchLink(void) { return OpenLink(&s_runLink); }
void ClosePatchLink(void) { CloseLink(&s_runLink); }

// The body length the response announces; kNoLength when it announces none (chunked, or ended by closing),
// kBadLength when the header is there but is not a plain decimal number. Without this check a connection that
// drops mid-body reads like a complete, shorter body: WinHTTP then reports success and 0 bytes.
static unsigned long long AnnouncedLength(HINTERNET request) {
    const WinHttpApi* http = WinHttp();
    wchar_t text[32];
    DWORD len = sizeof text;
    unsigned long long value = 0;
    if (!http->QueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &len,
                             WINHTTP_NO_HEADER_INDEX))
        return GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND ? kNoLength : kBadLength;
    len /= sizeof text[0];
    for (DWORD i = 0; i < len; i++) {
        if (text[i] < L'0' || text[i] > L'9' || value > (kBadLength - 9) / 10) return kBadLength;
        value = value * 10 + (unsigned)(text[i] - L'0');
    }
    return len ? value : kBadLength;
}

// 1 when the answer's Content-Range is exactly bytes first-last/total.
static int AnswerRangeIs(HINTERNET request, unsigned long long first, unsigned long long last,
                         unsigned long long total) {
    const WinHttpApi* http = WinHttp();
    wchar_t wide[96];
    char text[96];
    DWORD len = sizeof wide;
    if (!http->QueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, wide, &len,
                             WINHTTP_NO_HEADER_INDEX))
        return 0;
    len /= sizeof wide[0];
    for (DWORD i = 0; i < len; i++) text[i] = wide[i] < 128 ? (char)wide[i] : '?';
    return ContentRangeIs(text, len, first, last, total);
}

// 1 when a 206 answer carries the rest of the body after the `have` bytes we hold.
static int AnswerContinues(HINTERNET request, unsigned long long have, unsigned long long total) {
    return total > 0 && AnswerRangeIs(request, have, total - 1, total);
}

static Outcome FailedCall(void) { return IsTransientWinHttpError(GetLastError()) ? kRetry : kGiveUp; }

// Sends a GET (with `range` as its Range header when given) and reads the answer's status. NULL when no status
// came; *outcome then says whether another try may help.
static HINTERNET SendGet(HINTERNET connection, const wchar_t* object, const wchar_t* range, DWORD* status,
                         Outcome* outcome) {
    const WinHttpApi* http = WinHttp();
    DWORD len = sizeof *status;
    HINTERNET request = http->OpenRequest(connection, L"GET", object, NULL, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    *outcome = kGiveUp;
    if (!request) return NULL;
    if (range) http->AddRequestHeaders(request, range, (DWORD)-1L, WINHTTP_ADDREQ_FLAG_ADD);
    if (!http->SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !http->ReceiveResponse(request, NULL)) {
        *outcome = FailedCall();
    } else if (http->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, status, &len, WINHTTP_NO_HEADER_INDEX)) {
        return request;
    }
    http->CloseHandle(request);
    return NULL;
}

// Bytes of a file that a download may go on from: one the disk module appends to (a plain file with no other
// name; through a link or a hard link the appends would land elsewhere). 0 when there is none.
static unsigned long long AppendableBytes(const char* path) {
    LARGE_INTEGER n;
    HANDLE f = DiskCreate(path, 1);
    int ok = f != INVALID_HANDLE_VALUE && GetFileSizeEx(f, &n);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return ok ? (unsigned long long)n.QuadPart : 0;
}

unsigned long long HeldBlobBytes(const char* partPath, unsigned long long size) {
    unsigned long long have = AppendableBytes(partPath);
    return have <= size ? have : 0;  // more than the blob has: not a start of it
}

// The destination to write: appended to when it holds exactly the `have` bytes counted on, else made anew.
static HANDLE OpenDestination(const char* path, unsigned long long have) {
    LARGE_INTEGER n;
    HANDLE f = DiskCreate(path, have != 0);
    if (f == INVALID_HANDLE_VALUE || !have || (GetFileSizeEx(f, &n) && (unsigned long long)n.QuadPart == have)) return f;
    CloseHandle(f);
    return INVALID_HANDLE_VALUE;
}

// The bytes held must come again: the figures count them once more.
static void StartOver(int blob, unsigned long long* have) {
    if (blob) ReportProgress(0, *have);
    *have = 0;
}

// One try. *have is what `dest` already holds of the body (from an earlier try that was cut, or an earlier run);
// with a known size a try asks only for the rest, and keeps it only when the server answers with exactly that rest.
// A blob's try (`blob`) reports its bytes as progress. Any try ends when the player stops the run.
static Outcome TryDownload(HINTERNET connection, const wchar_t* object, const char* dest, unsigned long long maxBytes,
                           unsigned long long expectedBytes, int exactSize, int blob, unsigned long long* have) {
    static unsigned char chunk[kDownloadChunkBytes];  // one download at a time, on the one thread that downloads
    DWORD put = 0;
    const WinHttpApi* http = WinHttp();
    Outcome outcome = kGiveUp;
    HINTERNET request = NULL;
    HANDLE out = INVALID_HANDLE_VALUE;
    DWORD status = 0;
    unsigned long long total = 0, announced = kNoLength;
    int resuming = exactSize && *have > 0 && *have < expectedBytes;
    wchar_t range[48];

    if (resuming) FormatBoundedW(range, sizeof range / sizeof range[0], L"Range: bytes=%I64u-", *have);
    if (!(request = SendGet(connection, object, resuming ? range : NULL, &status, &outcome))) goto done;
    if (IsTransientStatus(status)) outcome = kRetry;
    if (status == 206 && resuming && AnswerContinues(request, *have, expectedBytes)) {
        total = *have;
    } else if (status == 206) {  // not the rest we asked for: start over
        StartOver(blob, have);
        outcome = kRetry;
        goto done;
    } else if (status != 200) {  // no other answer counts, not even another 2xx
        goto done;
    }
    if ((announced = AnnouncedLength(request)) == kBadLength) goto done;
    if ((out = OpenDestination(dest, total)) == INVALID_HANDLE_VALUE) {
        if (total) StartOver(blob, have), outcome = kRetry;  // what we held is no longer ours to append to
        goto done;
    }
    if (!total && *have) StartOver(blob, have);  // the whole body comes
    for (;;) {
        DWORD got = 0;
        if (!http->ReadData(request, chunk, sizeof chunk, &got)) {
            outcome = kRetry;  // the answer was good and broke off: whatever the error says, the line is at fault
            goto done;
        }
        if (got == 0) break;
        if ((total += got) > maxBytes) {  // checked before writing, so an oversized body stops at once
            outcome = kWrongSize;
            goto done;
        }
        if (!WriteFile(out, chunk, got, &put, NULL) || put != got) goto done;
        if (blob) ReportProgress(got, 0);
        if (StopRequested()) goto done;
    }
    if (announced != kNoLength && total - (status == 206 ? *have : 0) != announced) {
        outcome = kRetry;  // cut short: the connection dropped mid-body
        goto done;
    }
    outcome = !exactSize || total == expectedBytes ? kDone : kWrongSize;
done:
    if (out != INVALID_HANDLE_VALUE && !CloseHandle(out)) outcome = kGiveUp;
    if (request) http->CloseHandle(request);
    // What a cut try leaves is the start of the body: the next try continues it.
    if (outcome == kRetry && out != INVALID_HANDLE_VALUE) *have = AppendableBytes(dest);
    return outcome;
}

// GET into `dest`; a blob (`blob`) goes on from what a plain file there holds, into *had.
static int Download(const wchar_t* object, const char* dest, unsigned long long maxBytes,
                    unsigned long long expectedBytes, int exactSize, int blob, unsigned long long* had) {
    PatchLink own = {NULL, NULL};
    PatchLink* link = s_runLink.connection ? &s_runLink : &own;
    unsigned long long have = blob ? HeldBlobBytes(dest, expectedBytes) : 0;
    Outcome outcome = kGiveUp;
    // Before any traffic: a destination we may not write is not worth a request. Behind a folder link the
    // destination is somebody else's file, so on that path it is not deleted either.
    if (!DiskMakeFolders(dest, 0)) return 0;
    if (had) *had = have;
    if (blob && have && have == expectedBytes) return 1;  // whole already: the caller verifies it
    if (link == &s_runLink || OpenLink(&own)) {
        for (int failed = 0;; failed++) {
            outcome = TryDownload(link->connection, object, dest, maxBytes, expectedBytes, exactSize, blob, &have);
            unsigned delay = outcome == kRetry ? RetryDelayMs(failed + 1) : 0;
            if (!delay || WaitForStop(delay)) break;  // the window answers meanwhile, and the player may stop
        }
    }
    CloseLink(&own);
    // No stale or partial copy stays, not even a file that stood there before; but a blob keeps what it has
    // received for the next run, unless the body proved to be another one.
    if (outcome != kDone && (!blob || outcome == kWrongSize)) DiskDelete(dest);
    return outcome == kDone;
}

int DownloadToFile(const wchar_t* object, const char* dest, unsigned long long maxBytes,
                   unsigned long long expectedBytes, int exactSize) {
    return Download(object, dest, maxBytes, expectedBytes, exactSize, 0, NULL);
}

int DownloadBlob(const wchar_t* object, const char* partPath, unsigned long long size, unsigned long long* had) {
    return Download(object, partPath, size, size, 1, 1, had);
}

// A refused answer that is short is read to its end, so the connection stays for the next request.
static void DrainShortAnswer(HINTERNET request, unsigned char* piece, DWORD cap) {
    DWORD got = 0;
    if (AnnouncedLength(request) > cap) return;  // none announced, or long: closing costs less
    while (WinHttp()->ReadData(request, piece, cap, &got) && got > 0) {
    }
}

// One try of a part of `object`: with bytes > 0, what follows the *done bytes taken of the range [first, first +
// bytes), as a 206 with exactly that range; with bytes == 0, the whole body again as a 200, at most `total`
// bytes. Any other answer (a 200 with the whole blob for a range among them) ends the part: the caller has a
// better way to the blob.
static Outcome TryPart(HINTERNET connection, const wchar_t* object, unsigned long long first,
                       unsigned long long bytes, unsigned long long total, PartTake take, void* ctx,
                       unsigned long long* done) {
    static unsigned char piece[kDownloadChunkBytes];  // one download at a time, on the one thread that downloads
    const WinHttpApi* http = WinHttp();
    Outcome outcome = kGiveUp;
    DWORD status = 0;
    unsigned long long from, last = first + bytes - 1, announced, limit = bytes ? bytes : total;
    wchar_t range[64];
    HINTERNET request;
    if (!bytes) *done = 0;
    from = first + *done;
    if (bytes) FormatBoundedW(range, sizeof range / sizeof range[0], L"Range: bytes=%I64u-%I64u", from, last);
    if (!(request = SendGet(connection, object, bytes ? range : NULL, &status, &outcome))) return outcome;
    announced = AnnouncedLength(request);
    if (bytes ? status != 206 || !AnswerRangeIs(request, from, last, total) : status != 200) {
        if (IsTransientStatus(status)) outcome = kRetry;
        DrainShortAnswer(request, piece, sizeof piece);
        goto done;
    }
    if (announced == kBadLength ||
        (announced != kNoLength && (bytes ? announced != last + 1 - from : announced > total)))
        goto done;
    for (;;) {
        DWORD got = 0;
        if (!http->ReadData(request, piece, sizeof piece, &got)) {
            outcome = kRetry;
            goto done;
        }
        if (got == 0) break;
        if (got > limit - *done || !take(ctx, *done, piece, got)) goto done;
        *done += got;
        if (StopRequested()) goto done;
    }
    // Short: the connection dropped mid-body.
    outcome = (bytes ? *done == bytes : announced == kNoLength || *done == announced) ? kDone : kRetry;
done:
    http->CloseHandle(request);
    return outcome;
}

int DownloadPart(const wchar_t* object, unsigned long long first, unsigned long long bytes,
                 unsigned long long total, PartTake take, void* ctx) {
    PatchLink own = {NULL, NULL};
    PatchLink* link = s_runLink.connection ? &s_runLink : &own;
    unsigned long long done = 0;
    Outcome outcome = kGiveUp;
    if (bytes > total || first > total - bytes) return 0;
    if (link == &s_runLink || OpenLink(&own)) {
        for (int failed = 0;; failed++) {
            outcome = TryPart(link->connection, object, first, bytes, total, take, ctx, &done);
            unsigned delay = outcome == kRetry ? RetryDelayMs(failed + 1) : 0;
            if (!delay || WaitForStop(delay)) break;
        }
    }
    CloseLink(&own);
    return outcome == kDone;
}

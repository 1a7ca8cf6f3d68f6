#include <windows.h>
#include <winhttp.h>

#include <stdio.h>

#include "patch/patch.h"
#include "shell/shell.h"

enum { kDownloadChunkBytes = 64 * 1024 };
static const wchar_t kPatcherAgent[] = L"VEQGames-Patcher/2.0";
static const unsigned long long kNoLength = ~0ULL, kBadLength = ~0ULL - 1;

// Static, not on the stack: the read loop pumps messages, so this call may sit under a re-entered window procedure.
// One thread, and the busy flag keeps a second download from starting inside a pump.
static unsigned char s_downloadChunk[kDownloadChunkBytes];

// Request sent and answered with exactly 200; any other status, even another 2xx, is a failure.
static int SendAndExpect200(HINTERNET request) {
    DWORD status = 0, len = sizeof status;
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) return 0;
    if (!WinHttpReceiveResponse(request, NULL)) return 0;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &len, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return status == 200;
}

// The body length the response announces; kNoLength when it announces none (chunked, or ended by closing),
// kBadLength when the header is there but is not a plain decimal number. Without this check a connection that
// drops mid-body reads like a complete, shorter body: WinHTTP then reports success and 0 bytes (Windows as well
// as Wine), and a manifest cut at a line end would still look valid.
static unsigned long long AnnouncedLength(HINTERNET request) {
    wchar_t text[32];
    DWORD len = sizeof text;
    unsigned long long value = 0;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &len,
                             WINHTTP_NO_HEADER_INDEX))
        return GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND ? kNoLength : kBadLength;
    len /= sizeof text[0];
    for (DWORD i = 0; i < len; i++) {
        if (text[i] < L'0' || text[i] > L'9' || value > (kBadLength - 9) / 10) return kBadLength;
        value = value * 10 + (unsigned)(text[i] - L'0');
    }
    return len ? value : kBadLength;
}

int DownloadToFile(const wchar_t* object, const char* dest, unsigned long long maxBytes,
                   unsigned long long expectedBytes, int exactSize) {
    int ok = 0, mayDelete = 0;
    HINTERNET session = NULL, connection = NULL, request = NULL;
    FILE* out = NULL;
    unsigned long long total = 0, announced = kNoLength;
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;

    // Before any traffic: a destination we may not write is not worth a request. Behind a folder link the
    // destination is somebody else's file, so on that path it is not deleted either.
    if (!EnsureParentDirectories(dest)) goto done;
    mayDelete = 1;
    session = WinHttpOpen(kPatcherAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) goto done;
    // Both options are best effort: a platform that refuses them keeps its defaults and the download goes on.
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    WinHttpSetTimeouts(session, 15000, 15000, 30000, 30000);
    if (!(connection = WinHttpConnect(session, kServiceHostW, INTERNET_DEFAULT_HTTPS_PORT, 0))) goto done;
    request = WinHttpOpenRequest(connection, L"GET", object, NULL, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 WINHTTP_FLAG_SECURE);
    if (!request || !SendAndExpect200(request)) goto done;
    if ((announced = AnnouncedLength(request)) == kBadLength) goto done;
    if (!(out = fopen(dest, "wb"))) goto done;  // binary: the body lands byte for byte

    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request, s_downloadChunk, sizeof s_downloadChunk, &got)) goto done;
        if (got == 0) break;
        total += got;
        if (total > maxBytes) goto done;  // checked before writing, so an oversized body stops at once
        if (fwrite(s_downloadChunk, 1, got, out) != got) goto done;
        PumpMessages();
    }
    ok = (!exactSize || total == expectedBytes) && (announced == kNoLength || total == announced);
done:
    if (out && fclose(out) != 0) ok = 0;  // a failed flush means the file does not hold the body
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    if (!ok && mayDelete) DeleteFileA(dest);  // also a file that stood there before: no stale or partial copy
    return ok;
}

#include "upload/upload.h"

#include "shell/disk.h"
#include "shell/shell.h"
#include "shell/system_dlls.h"

#include <stdlib.h>

#include "upload/upload_rules.h"

static const wchar_t kUploadAgent[] = L"tarqo-launcher/1.0";
static const wchar_t kUploadHeaders[] = L"Content-Type: application/octet-stream\r\n";
static const INTERNET_PORT kUploadPort = 443;
enum { kUploadObjectCap = 32 };  // "/legacy/upload?tag=" and the longest tag, "zqlog"

// Reads the whole file into one block of exactly its size. NULL when it cannot be sent; the reason is shown once
// the file is closed and the block released.
static char* ReadUploadFile(const char* path, long* size) {
    char problem[kStatusCap] = "";
    char* block = NULL;
    HANDLE f = INVALID_HANDLE_VALUE;
    LARGE_INTEGER measured;
    long n = 0;
    DWORD got = 0;
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        FormatBounded(problem, sizeof problem, "fail tak ada: %s", path);
    } else if ((f = DiskOpenPlain(path, FILE_SHARE_READ | FILE_SHARE_WRITE)) == INVALID_HANDLE_VALUE) {
        // through a link the elevated launcher could send a file the player may not read
        FormatBounded(problem, sizeof problem, "tak boleh buka fail");
    } else {
        // -1 when it cannot be measured or is past what a long holds: refused with the rest
        n = GetFileSizeEx(f, &measured) && measured.QuadPart <= 0x7FFFFFFF ? (long)measured.QuadPart : -1;
        if (!UploadSizeAllowed(n))
            FormatBounded(problem, sizeof problem, "saiz fail tak sah (%ld B)", n);
        else if (!(block = (char*)malloc((size_t)n)))
            FormatBounded(problem, sizeof problem, "out of memory");
        else if (!ReadFile(f, block, (DWORD)n, &got, NULL) || got < (DWORD)n)  // a read error, or the file shrank
            FormatBounded(problem, sizeof problem, "gagal baca fail");
        CloseHandle(f);
    }
    if (problem[0]) {
        free(block);
        block = NULL;
        ShowStatus("%s", problem);
    }
    *size = n;
    return block;
}

// One POST of the whole block. Platform defaults throughout: no TLS, time-out or proxy option is set, unlike
// the patch download, so a slow link is never cut short by us.
static void PostUpload(const char* tag, const char* body, long size) {
    wchar_t object[kUploadObjectCap];
    FormatBoundedW(object, kUploadObjectCap, L"/legacy/upload?tag=%hs", tag);
    HINTERNET net = NULL, conn = NULL, req = NULL;
    DWORD status = 0, statusLen = sizeof status;
    const WinHttpApi* http = WinHttp();
    if (!http || !(net = http->Open(kUploadAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0))) {
        ShowStatus("WinHTTP init gagal");
        return;
    }
    if (!(conn = http->Connect(net, kServiceHostW, kUploadPort, 0)) ||
        !(req = http->OpenRequest(conn, L"POST", object, NULL, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                   WINHTTP_FLAG_SECURE))) {
        ShowStatus("Hantar %s gagal (status %lu)", tag, 0UL);
        goto done;
    }
    // The body goes in one piece with the request; status stays 0 unless a reply was actually read.
    if (!http->SendRequest(req, kUploadHeaders, (DWORD)-1L, (LPVOID)body, (DWORD)size, (DWORD)size, 0) ||
        !http->ReceiveResponse(req, NULL) ||
        !http->QueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &statusLen, WINHTTP_NO_HEADER_INDEX)) {
        ShowStatus("Hantar %s gagal (status %lu)", tag, (unsigned long)status);
        goto done;
    }
    if (status == 200)
        ShowStatus("Dihantar: %s (%ld B)", tag, size);
    else  // 201, 204 and every other answer: only 200 says the endpoint kept the file
        ShowStatus("Hantar %s gagal (status %lu)", tag, (unsigned long)status);
done:
    if (req) http->CloseHandle(req);
    if (conn) http->CloseHandle(conn);
    http->CloseHandle(net);
}

namespace {
struct Upload {
    const char* path;
    const char* tag;
};
}  // namespace

static int ReadAndPost(void* arg) {
    const Upload* u = (const Upload*)arg;
    long size = 0;
    char* block = ReadUploadFile(u->path, &size);
    if (!block) return 0;
    PostUpload(u->tag, block, size);
    free(block);  // held from the read to here, across the whole transfer
    return 1;
}

void UploadDiagnosticsFile(const char* path, const char* tag) {
    Upload u = {path, tag};
    RunOffWindow(ReadAndPost, &u);  // up to 64 MiB read and sent: the window answers meanwhile
}

void CmdSendLog(void) {
    char path[kPathCap];
    InstallPath(path, "System\\ZQ.log");
    UploadDiagnosticsFile(path, "zqlog");
}

// The newest *.dmp in the dumps directory by last-write time. Only a strictly later time wins, so among equal
// times the first one enumerated stays chosen. 0 when there is none.
static int FindNewestDump(char* chosen) {
    char dumps[kPathCap], pattern[kPathCap];
    InstallPath(dumps, "dumps");
    FormatBounded(pattern, sizeof pattern, "%s\\*.dmp", dumps);
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) return 0;  // no match, or no dumps directory
    FILETIME newest = {0, 0};
    int found = 0;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (CompareFileTime(&fd.ftLastWriteTime, &newest) > 0) {
            newest = fd.ftLastWriteTime;
            found = 1;
            FormatBounded(chosen, kPathCap, "%s\\%s", dumps, fd.cFileName);
        }
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return found;
}

void CmdSendDump(void) {
    char path[kPathCap];
    if (FindNewestDump(path)) {
        UploadDiagnosticsFile(path, "dump");
        return;
    }
    // No crash caught by us: the client may have written its own minidump.
    InstallPath(path, "System\\minidump-v3369.dmp");
    DWORD attrs = GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        UploadDiagnosticsFile(path, "dump");
        return;
    }
    ShowStatus("Tiada .dmp dalam %s\\dumps", g_shell.installDir);
}

#include "support/upload_support.h"

#include <ctype.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/test_support.h"

static std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::vector<ServerRequest> ParseServerLog(const std::string& text) {
    std::vector<ServerRequest> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> f = SplitTabs(text.substr(start, end - start));
        start = end + 1;
        if (f.size() < 7) continue;
        ServerRequest r;
        r.method = f[0];
        r.target = f[1];
        r.agent = f[2];
        r.contentType = f[3];
        r.bodyBytes = strtoull(f[4].c_str(), NULL, 10);
        r.status = atoi(f[5].c_str());
        r.stored = f[6];
        out.push_back(r);
    }
    return out;
}

std::vector<ServerRequest> UploadRequests() {
    std::vector<ServerRequest> out;
    for (const ServerRequest& r : ParseServerLog(ServerLog()))
        if (r.target.compare(0, 14, "/legacy/upload") == 0) out.push_back(r);
    return out;
}

static std::string QueryEscape(const std::string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            out += (char)c;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool ResetServerWithUploadsIn(const std::string& winDir) {
    CreateDirectoryA(winDir.c_str(), NULL);
    if (ServerCtl("POST", "/ctl/reset").empty()) return false;
    return !ServerCtl("POST", "/ctl/uploads?dir=" + QueryEscape(UnixPath(winDir))).empty();
}

std::string StoredUploadPath(const std::string& serverPath) {
    // Uploads go to a folder on T:, so the server's path lies below the test root's Unix folder.
    const char* rootUnix = getenv("VEQ_TEST_ROOT_UNIX");
    const char* root = getenv("VEQ_TEST_ROOT");
    std::string rest = serverPath;
    std::string prefix = "Z:";  // Wine's view of the whole Unix tree, for anything elsewhere
    if (rootUnix && *rootUnix && serverPath.compare(0, strlen(rootUnix), rootUnix) == 0) {
        rest = serverPath.substr(strlen(rootUnix));
        prefix = root && *root ? root : "T:";
    }
    for (char& c : rest)
        if (c == '/') c = '\\';
    return prefix + rest;
}

static char PatternByte(size_t i, unsigned seed) {
    return (char)((i * 131u + (i >> 12) + seed * 7919u) & 0xFF);
}

std::string PatternBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = PatternByte(i, seed);
    return s;
}

bool WritePatternFile(const std::string& path, size_t n, unsigned seed) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = true;
    char buf[65536];
    for (size_t done = 0; done < n && ok;) {
        size_t k = n - done < sizeof buf ? n - done : sizeof buf;
        for (size_t i = 0; i < k; i++) buf[i] = PatternByte(done + i, seed);
        ok = fwrite(buf, 1, k, f) == k;
        done += k;
    }
    return fclose(f) == 0 && ok;
}

bool FileHasPattern(const std::string& path, size_t n, unsigned seed) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bool ok = true;
    size_t at = 0;
    char buf[65536];
    size_t got;
    while (ok && (got = fread(buf, 1, sizeof buf, f)) > 0) {
        for (size_t i = 0; i < got && ok; i++) ok = at + i < n && buf[i] == PatternByte(at + i, seed);
        at += got;
    }
    fclose(f);
    return ok && at == n;
}

bool SetWriteTime(const std::string& path, ULONGLONG time) {
    // Directories open only with backup semantics.
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)time;
    ft.dwHighDateTime = (DWORD)(time >> 32);
    bool ok = SetFileTime(h, NULL, NULL, &ft) != 0;
    CloseHandle(h);
    return ok;
}

bool SampleMemory(HANDLE process, MemorySample* out) {
    PROCESS_MEMORY_COUNTERS c;
    ZeroMemory(&c, sizeof c);
    c.cb = sizeof c;
    if (!GetProcessMemoryInfo(process, &c, sizeof c)) return false;
    out->workingSet = c.WorkingSetSize;
    out->peakWorkingSet = c.PeakWorkingSetSize;
    return true;
}

#include "support/patch_support.h"

#include <windows.h>
#include <winhttp.h>

#include "shell/shell.h"
#include "support/test_support.h"

void PatchTest::SetUp() {
    g_shell.busy = 0;
    window = CreateMainWindow(GetModuleHandleA(NULL));
    ASSERT_TRUE(window != NULL);
    UseInstallDir(FreshTestDir());
    dir = g_shell.installDir;
}

void PatchTest::TearDown() {
    g_shell.busy = 0;
    if (IsWindow(window)) DestroyWindow(window);
    g_shell.statusLine = NULL;
    g_shell.mainWindow = NULL;
    g_shell.installDir[0] = '\0';
    MSG m;
    while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {}
}

std::string PatchTest::Status() const { return StatusTextOf(window); }

void PatchTest::UseInstallDir(const std::string& installDir) {
    ASSERT_LT(installDir.size(), sizeof g_shell.installDir);
    FormatBounded(g_shell.installDir, sizeof g_shell.installDir, "%s", installDir.c_str());
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string PatternBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)(unsigned char)(i * 31 + (i >> 8));
    return s;
}

std::string FillerBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)('a' + i % 26);
    return s;
}

std::string PathOfLength(const std::string& parent, size_t len) {
    std::string p = parent + "\\";
    return p.size() < len ? p + std::string(len - p.size(), 'x') : p;
}

static bool IsReparsePoint(const std::string& path) {
    DWORD attrs = GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeLink(const std::string& link, const std::string& target, bool directory) {
    if (CreateSymbolicLinkA(link.c_str(), target.c_str(), directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) &&
        IsReparsePoint(link))
        return true;
    // Wine starts ELF programs as Unix processes.
    std::string cmd = "/bin/ln -s \"" + UnixPath(target) + "\" \"" + UnixPath(link) + "\"";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // The handle of a Unix process is not a reliable way to wait for it, so wait for the link itself.
    for (int i = 0; i < 250; i++) {
        if (IsReparsePoint(link)) return true;
        Sleep(20);
    }
    return false;
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL; }

bool ProbeHttps(const wchar_t* object, DWORD protocols) {
    HINTERNET s = WinHttpOpen(L"veq-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, NULL, NULL, 0);
    if (s && protocols) WinHttpSetOption(s, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    HINTERNET c = s ? WinHttpConnect(s, kServiceHostW, INTERNET_DEFAULT_HTTPS_PORT, 0) : NULL;
    HINTERNET r = c ? WinHttpOpenRequest(c, L"GET", object, NULL, NULL, NULL, WINHTTP_FLAG_SECURE) : NULL;
    DWORD status = 0, len = sizeof status;
    bool ok = r && WinHttpSendRequest(r, NULL, 0, NULL, 0, 0, 0) && WinHttpReceiveResponse(r, NULL) &&
              WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, NULL, &status, &len,
                                  NULL) &&
              status == 200;
    if (r) WinHttpCloseHandle(r);
    if (c) WinHttpCloseHandle(c);
    if (s) WinHttpCloseHandle(s);
    return ok;
}

bool ServerFault(const std::string& query) { return !ServerCtl("POST", "/ctl/fault?" + query).empty(); }

bool ServerTls(const char* mode) { return !ServerCtl("POST", std::string("/ctl/tls?mode=") + mode).empty(); }

std::vector<std::vector<std::string>> ServerLogEntries() {
    std::vector<std::vector<std::string>> entries;
    std::string log = ServerLog();
    if (log.empty()) {
        ADD_FAILURE() << "test server log not readable";
        return entries;
    }
    if (log == "ok") return entries;  // ServerCtl's answer for an empty body
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        if (end == std::string::npos) end = log.size();
        std::vector<std::string> fields;
        size_t f = pos;
        for (;;) {
            size_t tab = log.find('\t', f);
            if (tab == std::string::npos || tab > end) {
                fields.push_back(log.substr(f, end - f));
                break;
            }
            fields.push_back(log.substr(f, tab - f));
            f = tab + 1;
        }
        entries.push_back(fields);
        pos = end + 1;
    }
    return entries;
}

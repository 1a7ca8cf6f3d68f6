#include "support/patch_support.h"

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

bool MakeDirectoryLink(const std::string& link, const std::string& target) {
    if (CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && IsReparsePoint(link))
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

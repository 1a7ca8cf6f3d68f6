#include "support/test_support.h"

#include <gtest/gtest.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

static std::string EnvOr(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

static std::string SlashesToBackslashes(std::string s) {
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

std::string BinDir() { return "Z:" + SlashesToBackslashes(EnvOr("VEQ_BIN_DIR", "/nonexistent")); }

std::string UnixPath(const std::string& winPath) {
    std::string root = EnvOr("VEQ_TEST_ROOT", "T:");
    std::string rest = winPath.substr(root.size());
    for (char& c : rest)
        if (c == '\\') c = '/';
    return EnvOr("VEQ_TEST_ROOT_UNIX", "/nonexistent") + rest;
}

void RemoveTree(const std::string& path) {
    DWORD attrs = GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return;
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (attrs & FILE_ATTRIBUTE_DIRECTORY) RemoveDirectoryA(path.c_str());
        else DeleteFileA(path.c_str());
        return;
    }
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n != "." && n != "..") RemoveTree(path + "\\" + n);
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(path.c_str());
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..") names.push_back(n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

std::string FreshTestDir(const char* suffix) {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "adhoc";
    std::string dir = EnvOr("VEQ_TEST_ROOT", "T:") + "\\" + name + suffix;
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes->clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool FileExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string DescribeFile(const std::string& path) {
    std::string b;
    if (!ReadFileBytes(path, &b)) return path + ": (missing)";
    return path + ": " + std::to_string(b.size()) + " bytes";
}

std::string WindowText(HWND hwnd) {
    char buf[1024] = "";
    GetWindowTextA(hwnd, buf, sizeof buf);
    return buf;
}

bool WaitFor(bool (*pred)(void*), void* arg, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (pred(arg)) return true;
        if (GetTickCount() - start > ms) return false;
        MSG m;
        while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        Sleep(20);
    }
}

struct FindArgs {
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK FindLauncherWindow(HWND hwnd, LPARAM lp) {
    FindArgs* a = (FindArgs*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[64] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid == a->pid && strcmp(cls, "TARQOLauncher") == 0) {
        a->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

bool LauncherProcess::Start(const std::string& dir, WORD showWindow, bool useShowWindow) {
    installDir = dir;
    std::string exe = JoinPath(dir, "veq-launcher.exe");
    if (!CopyFileA(JoinPath(BinDir(), "veq-launcher.exe").c_str(), exe.c_str(), FALSE)) return false;
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (useShowWindow) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = showWindow;
    }
    std::string cmd = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), &cmd[0], NULL, NULL, FALSE, 0, NULL, dir.c_str(), &si, &pi)) return false;
    WaitForInputIdle(pi.hProcess, 15000);
    FindArgs a = {pi.dwProcessId, NULL};
    for (int i = 0; i < 750 && !a.found; i++) {
        EnumWindows(FindLauncherWindow, (LPARAM)&a);
        if (!a.found) Sleep(20);
    }
    window = a.found;
    return window != NULL;
}

std::string LauncherProcess::Status() const { return WindowText(Control(2001)); }

LRESULT LauncherProcess::Command(WPARAM wp) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_COMMAND, wp, 0, SMTO_NORMAL, 170000, &result);
    return (LRESULT)result;
}

void LauncherProcess::Click(int id) { Command(MAKEWPARAM(id, BN_CLICKED)); }

DWORD LauncherProcess::WaitExit(DWORD ms) {
    if (!pi.hProcess) return STILL_ACTIVE;
    WaitForSingleObject(pi.hProcess, ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

void LauncherProcess::Kill() {
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
}

LauncherProcess::~LauncherProcess() {
    Kill();
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
}

std::string ServerCtl(const char* method, const std::string& pathAndQuery) {
    std::string body;
    std::wstring wmethod(method, method + strlen(method));
    std::wstring wpath(pathAndQuery.begin(), pathAndQuery.end());
    int port = atoi(EnvOr("VEQ_CTL_PORT", "8081").c_str());
    HINTERNET s = WinHttpOpen(L"veq-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, NULL, NULL, 0);
    HINTERNET c = s ? WinHttpConnect(s, L"127.0.0.1", (INTERNET_PORT)port, 0) : NULL;
    HINTERNET r = c ? WinHttpOpenRequest(c, wmethod.c_str(), wpath.c_str(), NULL, NULL, NULL, 0) : NULL;
    DWORD status = 0, len = sizeof status;
    if (r && WinHttpSendRequest(r, NULL, 0, NULL, 0, 0, 0) && WinHttpReceiveResponse(r, NULL) &&
        WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, NULL, &status, &len, NULL) &&
        status == 200) {
        char buf[8192];
        DWORD got = 0;
        while (WinHttpReadData(r, buf, sizeof buf, &got) && got > 0) body.append(buf, got);
        if (body.empty()) body = "ok";
    }
    if (r) WinHttpCloseHandle(r);
    if (c) WinHttpCloseHandle(c);
    if (s) WinHttpCloseHandle(s);
    return body;
}

void ServerReset() { ASSERT_FALSE(ServerCtl("POST", "/ctl/reset").empty()) << "test server control not reachable"; }

std::string ServerLog() { return ServerCtl("GET", "/ctl/log"); }

#include "support/launch_support.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <dbghelp.h>

#include "support/test_support.h"

std::string InstallFakeClient(const std::string& installDir, const char* mode) {
    std::string system = JoinPath(installDir, "System");
    CreateDirectoryA(system.c_str(), NULL);
    std::string exe = JoinPath(system, "ZQ.exe");
    if (!CopyFileA(JoinPath(BinDir(), "fake_client.exe").c_str(), exe.c_str(), FALSE)) return "";
    if (!SetFakeClientMode(installDir, mode)) return "";
    return exe;
}

bool SetFakeClientMode(const std::string& installDir, const char* mode) {
    return WriteFileBytes(JoinPath(JoinPath(installDir, "System"), "fake-client.mode"), mode);
}

std::vector<FakeClientStart> FakeClientStarts(const std::string& installDir) {
    std::vector<FakeClientStart> starts;
    std::string text;
    if (!ReadFileBytes(JoinPath(JoinPath(installDir, "System"), "fake-client.out"), &text)) return starts;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.compare(0, 8, "cmdline=") == 0) {
            starts.emplace_back();
            starts.back().cmdline = line.substr(8);
        } else if (starts.empty()) {
            continue;
        } else if (line.compare(0, 4, "cwd=") == 0) {
            starts.back().cwd = line.substr(4);
        } else if (line.compare(0, 5, "mode=") == 0) {
            starts.back().mode = line.substr(5);
        } else if (line.compare(0, 4, "tid=") == 0) {
            starts.back().tid = strtoul(line.c_str() + 4, NULL, 10);
        }
    }
    return starts;
}

bool WaitForFakeClientStarts(const std::string& installDir, size_t count, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<FakeClientStart> s = FakeClientStarts(installDir);
        if (s.size() >= count && s[count - 1].tid != 0) return true;  // the last record is complete
        if (GetTickCount() - start > ms) return false;
        Sleep(20);
    }
}

bool MinidumpFacts::HasStream(unsigned type) const {
    return std::find(streamTypes.begin(), streamTypes.end(), type) != streamTypes.end();
}

// Copies `size` bytes at `rva` of the file into out; false when they lie outside it.
static bool Take(const std::string& file, unsigned long long rva, size_t size, void* out) {
    if (rva > file.size() || size > file.size() - rva) return false;
    memcpy(out, file.data() + rva, size);
    return true;
}

MinidumpFacts ReadMinidump(const std::string& path) {
    MinidumpFacts f;
    std::string file;
    MINIDUMP_HEADER header;
    if (!ReadFileBytes(path, &file)) f.error = "cannot read " + path;
    else if (!Take(file, 0, sizeof header, &header)) f.error = "shorter than a minidump header";
    else if (memcmp(file.data(), "MDMP", 4) != 0) f.error = "signature is not MDMP";
    if (!f.error.empty()) return f;
    f.flags = (unsigned)header.Flags;
    bool sawException = false;
    for (ULONG32 i = 0; i < header.NumberOfStreams; i++) {
        MINIDUMP_DIRECTORY dir;
        if (!Take(file, header.StreamDirectoryRva + (unsigned long long)i * sizeof dir, sizeof dir, &dir)) {
            f.error = "stream directory outside the file";
            return f;
        }
        f.streamTypes.push_back(dir.StreamType);
        if (dir.StreamType != ExceptionStream) continue;
        MINIDUMP_EXCEPTION_STREAM ex;
        if (dir.Location.DataSize < sizeof ex || !Take(file, dir.Location.Rva, sizeof ex, &ex)) {
            f.error = "exception stream outside the file";
            return f;
        }
        sawException = true;
        f.threadId = ex.ThreadId;
        f.exceptionCode = ex.ExceptionRecord.ExceptionCode;
        f.exceptionAddress = ex.ExceptionRecord.ExceptionAddress;
        f.numberParameters = ex.ExceptionRecord.NumberParameters;
        for (int p = 0; p < 15; p++) f.parameters[p] = ex.ExceptionRecord.ExceptionInformation[p];
        f.contextBytes = ex.ThreadContext.DataSize;
        CONTEXT ctx;
        if (ex.ThreadContext.DataSize >= sizeof ctx && Take(file, ex.ThreadContext.Rva, sizeof ctx, &ctx)) {
#ifdef _WIN64
            f.contextPc = ctx.Rip;
#else
            f.contextPc = ctx.Eip;
#endif
        }
    }
    if (!sawException) f.error = "no exception stream";
    return f;
}

struct BoxSearch {
    DWORD pid;
    HWND box;
};

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM lp) {
    BoxSearch* s = (BoxSearch*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[16] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid == s->pid && strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
        s->box = hwnd;
        return FALSE;
    }
    return TRUE;
}

MessageBoxSeen CloseMessageBoxOf(DWORD pid, DWORD ms, const volatile LONG* stop) {
    MessageBoxSeen seen;
    BoxSearch s = {pid, NULL};
    DWORD start = GetTickCount();
    while (!s.box && GetTickCount() - start < ms && !(stop && *stop)) {
        EnumWindows(FindBox, (LPARAM)&s);
        if (!s.box) Sleep(20);
    }
    if (!s.box) return seen;
    seen.found = true;
    seen.owner = GetWindow(s.box, GW_OWNER);
    seen.caption = WindowText(s.box);
    HICON hand = LoadIconA(NULL, IDI_HAND);
    for (HWND c = GetWindow(s.box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[16] = "";
        GetClassNameA(c, cls, sizeof cls);
        LONG style = GetWindowLongA(c, GWL_STYLE);
        if (_stricmp(cls, "Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                HICON icon = (HICON)SendMessageA(c, STM_GETICON, 0, 0);
                seen.hasIcon = icon != NULL;
                seen.errorIcon = icon == hand;
            }
            else if (seen.text.empty()) seen.text = WindowText(c);
        } else if (_stricmp(cls, "Button") == 0 && (style & WS_VISIBLE)) {
            seen.visibleButtons.push_back(GetDlgCtrlID(c));
        }
    }
    PostMessageA(s.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(s.box, IDOK));
    // Gone before we return: a message sent to the owner meanwhile would be answered from the box's own modal
    // loop, so it cannot tell whether the command has finished.
    for (DWORD closing = GetTickCount(); IsWindow(s.box) && GetTickCount() - closing < ms;) Sleep(20);
    return seen;
}

std::set<ULONG_PTR> OpenHandles(HANDLE process) {
    // GetProcessHandleCount is a stub under Wine (always 0), so probe: a value is an open handle when it can be
    // duplicated. Handle values are small multiples of 4, the lowest free one is reused.
    enum { kLastProbed = 0x10000 };
    std::set<ULONG_PTR> values;
    for (ULONG_PTR v = 4; v <= kLastProbed; v += 4) {
        HANDLE copy = NULL;
        if (DuplicateHandle(process, (HANDLE)v, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            values.insert(v);
            CloseHandle(copy);
        }
    }
    return values;
}

// "File", "Process", ... from NtQueryObject(ObjectTypeInformation); "?" when it cannot be asked.
static std::string ObjectType(HANDLE h) {
    typedef LONG(WINAPI * QueryObject)(HANDLE, int, void*, ULONG, ULONG*);
    QueryObject query = (QueryObject)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject");
    union {
        struct {
            USHORT length, maximum;
            WCHAR* buffer;
        } name;  // UNICODE_STRING, the first member of the answer
        char bytes[1024];
    } info;
    ULONG got = 0;
    if (!query || query(h, 2, &info, sizeof info, &got) != 0) return "?";
    std::string type;
    for (USHORT i = 0; i < info.name.length / 2; i++) type += (char)info.name.buffer[i];
    return type;
}

// 1 when `h` (a handle of ours) is the process `pid` or one of its threads.
static bool RefersTo(HANDLE h, const std::string& type, DWORD pid) {
    return (type == "Process" && GetProcessId(h) == pid) || (type == "Thread" && GetProcessIdOfThread(h) == pid);
}

std::string NewHandles(HANDLE process, const std::set<ULONG_PTR>& before, DWORD debuggedPid) {
    std::map<std::string, int> byType;
    for (ULONG_PTR v : OpenHandles(process)) {
        if (before.count(v)) continue;
        HANDLE copy = NULL;
        if (!DuplicateHandle(process, (HANDLE)v, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        std::string type = ObjectType(copy);
        // Windows closes the process and thread handles of the debug events itself when the exit event is
        // continued (the debugger must not); Wine keeps them. They are the system's, not a leak of ours.
        if (!(debuggedPid != 0 && RefersTo(copy, type, debuggedPid))) byType[type]++;
        CloseHandle(copy);
    }
    std::string found;
    for (const auto& t : byType) found += std::to_string(t.second) + " " + t.first + "; ";
    return found;
}

int HandlesTo(HANDLE holder, DWORD pid) {
    int n = 0;
    for (ULONG_PTR v : OpenHandles(holder)) {
        HANDLE copy = NULL;
        if (!DuplicateHandle(holder, (HANDLE)v, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        if (RefersTo(copy, ObjectType(copy), pid)) n++;
        CloseHandle(copy);
    }
    return n;
}

bool StartDebugged(const std::string& exe, PROCESS_INFORMATION* pi) {
    std::string folder = exe.substr(0, exe.rfind('\\'));
    std::string cmd = "\"" + exe + "\" -log";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    // Wine (not Windows) now and then refuses a debugged start with ERROR_INTERNAL_ERROR while the machine is
    // busy; a second try tells that apart from a real fault.
    for (int attempt = 0; attempt < 2; attempt++) {
        ZeroMemory(pi, sizeof *pi);
        if (CreateProcessA(exe.c_str(), &cmd[0], NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, folder.c_str(),
                           &si, pi))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    return false;
}

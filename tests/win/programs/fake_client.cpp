// Stand-in for the game client, and for other programs that get in the launcher's way. The mode is the first
// argument, else the word in "fake-client.mode" beside the exe (as System\ZQ.exe it gets the client's arguments):
//   exit | debugstrings (a few OutputDebugString lines) | threadname (names its thread the debugger way)
//   crash (write to address 0x10) | custom (RaiseException(0xE0000001), caught by itself)
//   run (keep running, up to 120 s) | linger (2 s) | dlls (load and free version.dll 64 times) | window (hidden window until ended)
//   hold PATH SHARE EVENT   keeps PATH open for reading with SHARE ("none" or letters of "rwd"), sets EVENT
//   scribble PATH SIZE EVENT  sets EVENT, then flips the last byte of PATH once it holds SIZE bytes and
//                             PATH.veq-new is gone: a scanner touching a file just moved into place
//   holdafter TRIGGER SIZE PATH SHARE EVENT  sets EVENT, waits likewise for TRIGGER, then holds PATH as hold does
// As the client (or a browser), every start appends "cmdline=", "token=" (its elevation type), "cwd=", "mode=",
// "tid=" and "parent=" (the image name of its parent) lines to "fake-client.out".
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void BesideExe(char* out, size_t cap, const char* name) {
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(NULL, exe, sizeof exe);
    char* slash = strrchr(exe, '\\');
    if (slash) *slash = '\0';
    snprintf(out, cap, "%s\\%s", exe, name);
}

static void Ready(const char* eventName) {
    HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    if (e) SetEvent(e), CloseHandle(e);
}

// Waits (60 s at most) until `path` holds `size` bytes and its ".veq-new" is gone: just moved into place.
static int WaitInPlace(const char* path, unsigned long long size) {
    char tmp[MAX_PATH];
    snprintf(tmp, sizeof tmp, "%s.veq-new", path);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; SwitchToThread()) {
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (GetFileAttributesA(tmp) == INVALID_FILE_ATTRIBUTES && GetFileAttributesExA(path, GetFileExInfoStandard, &a) &&
            (((unsigned long long)a.nFileSizeHigh << 32) | a.nFileSizeLow) == size)
            return 1;
    }
    return 0;
}

static int Hold(const char* path, const char* share, const char* eventName) {
    DWORD mode = (strchr(share, 'r') ? FILE_SHARE_READ : 0) | (strchr(share, 'w') ? FILE_SHARE_WRITE : 0) |
                 (strchr(share, 'd') ? FILE_SHARE_DELETE : 0);
    // A file just moved into place can still be open for the move itself for a moment.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (DWORD start = GetTickCount(); h == INVALID_HANDLE_VALUE && GetTickCount() - start < 5000; SwitchToThread()) {
        h = CreateFileA(path, GENERIC_READ, mode, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) return 2;
    }
    if (h == INVALID_HANDLE_VALUE) return 2;
    Ready(eventName);
    Sleep(120000);
    return 3;
}

static int Scribble(const char* path, unsigned long long size, const char* eventName) {
    Ready(eventName);
    while (WaitInPlace(path, size)) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 7, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) continue;
        LARGE_INTEGER last;
        last.QuadPart = (LONGLONG)size - 1;
        unsigned char b = 0;
        DWORD n = 0;
        int done = SetFilePointerEx(h, last, NULL, FILE_BEGIN) && ReadFile(h, &b, 1, &n, NULL) && n == 1;
        b ^= 0xFF;
        done = done && SetFilePointerEx(h, last, NULL, FILE_BEGIN) && WriteFile(h, &b, 1, &n, NULL) && n == 1;
        CloseHandle(h);
        if (done) return 0;
    }
    return 2;
}

static const char* ElevationName(void) {
    static const char* const kTypes[] = {"?", "default", "full", "limited"};
    TOKEN_ELEVATION_TYPE type = (TOKEN_ELEVATION_TYPE)0;
    HANDLE t;
    DWORD n;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t)) {
        if (!GetTokenInformation(t, TokenElevationType, &type, sizeof type, &n) || type > 3) type = (TOKEN_ELEVATION_TYPE)0;
        CloseHandle(t);
    }
    return kTypes[type];
}

static void ParentName(char* out, size_t cap) {
    DWORD parent = 0;
    snprintf(out, cap, "?");
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e;
    e.dwSize = sizeof e;
    for (int pass = 0; pass < 2; pass++)  // our own entry names the parent; the parent's entry its name
        for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e))
            if (pass == 0 && e.th32ProcessID == GetCurrentProcessId()) parent = e.th32ParentProcessID;
            else if (pass == 1 && e.th32ProcessID == parent) snprintf(out, cap, "%s", e.szExeFile);
    CloseHandle(snap);
}

// What a client does with its own software exceptions: handles them and goes on.
static LONG WINAPI GoOn(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_EXECUTION; }

int main(int argc, char** argv) {
    char path[MAX_PATH], mode[32] = "exit", cwd[MAX_PATH] = "", parent[MAX_PATH];
    if (argc == 5 && strcmp(argv[1], "hold") == 0) return Hold(argv[2], argv[3], argv[4]);
    if (argc == 5 && strcmp(argv[1], "scribble") == 0) return Scribble(argv[2], _strtoui64(argv[3], NULL, 10), argv[4]);
    if (argc == 7 && strcmp(argv[1], "holdafter") == 0) {
        Ready(argv[6]);
        return WaitInPlace(argv[2], _strtoui64(argv[3], NULL, 10)) ? Hold(argv[4], argv[5], "") : 2;
    }
    if (argc == 2 && strcmp(argv[1], "window") == 0) {
        // A hidden window keeps Wine's desktop in use; invisible to the tests' searches by class.
        if (!CreateWindowExA(0, "STATIC", "", WS_OVERLAPPED, 0, 0, 1, 1, NULL, NULL, NULL, NULL)) return 1;
        MSG m;
        while (GetMessageA(&m, NULL, 0, 0) > 0) DispatchMessageA(&m);
        return 0;
    }
    BesideExe(path, sizeof path, "fake-client.mode");
    if (FILE* f = fopen(path, "rb")) {
        if (fscanf(f, "%31s", mode) != 1) strcpy(mode, "exit");
        fclose(f);
    }
    GetCurrentDirectoryA(sizeof cwd, cwd);
    ParentName(parent, sizeof parent);
    BesideExe(path, sizeof path, "fake-client.out");
    if (FILE* f = fopen(path, "ab")) {
        fprintf(f, "cmdline=%s\ntoken=%s\ncwd=%s\nmode=%s\ntid=%lu\nparent=%s\n", GetCommandLineA(), ElevationName(), cwd,
                mode, (unsigned long)GetCurrentThreadId(), parent);
        fclose(f);
    }
    if (strcmp(mode, "debugstrings") == 0) {
        for (int i = 0; i < 5; i++) OutputDebugStringA("fake client says hello\n");
    } else if (strcmp(mode, "threadname") == 0) {
        // The usual way to name a thread: an exception that only an attached debugger is meant to see.
        ULONG_PTR info[4] = {0x1000, (ULONG_PTR) "worker", (ULONG_PTR)-1, 0};
        AddVectoredExceptionHandler(1, GoOn);
        RaiseException(0x406D1388, 0, sizeof info / sizeof info[0], info);
    } else if (strcmp(mode, "crash") == 0) {
        SetErrorMode(0);
        SetUnhandledExceptionFilter(NULL);
        volatile ULONG_PTR address = 0x10;
        *(volatile int*)address = 1;
        return 2;
    } else if (strcmp(mode, "custom") == 0) {
        AddVectoredExceptionHandler(1, GoOn);
        RaiseException(0xE0000001, 0, 0, NULL);
    } else if (strcmp(mode, "dlls") == 0) {
        for (int i = 0; i < 64; i++) {
            HMODULE m = LoadLibraryA("version.dll");
            if (!m) return 4;
            FreeLibrary(m);
        }
    } else if (strcmp(mode, "linger") == 0) {
        Sleep(2000);
    } else if (strcmp(mode, "run") == 0) {
        Sleep(120000);
        return 3;
    }
    return 0;
}

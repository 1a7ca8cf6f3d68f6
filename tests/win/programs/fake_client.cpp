// Stand-in for the game client in tests. Placed as System\ZQ.exe; what it does comes from "fake-client.mode" beside
// it (one word; default "exit"):
//   exit          exit 0 at once           debugstrings  OutputDebugString a few lines, then exit 0
//   crash         write to address 0x10    custom        RaiseException(0xE0000001), caught by its own handler
//   run           keep running (up to 120 s, then exit 3)
//   dlls          load and free version.dll 64 times (a debugger sees 64 library loads), then exit 0
// Every start appends "cmdline=<GetCommandLineA()>", "cwd=<current directory>", "mode=<mode>" and
// "tid=<main thread id>" lines to "fake-client.out".
#include <windows.h>

#include <stdio.h>
#include <string.h>

static void BesideExe(char* out, size_t cap, const char* name) {
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(NULL, exe, sizeof exe);
    char* slash = strrchr(exe, '\\');
    if (slash) *slash = '\0';
    snprintf(out, cap, "%s\\%s", exe, name);
}

static LONG WINAPI SwallowCustom(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

int main() {
    char path[MAX_PATH], mode[32] = "exit", cwd[MAX_PATH] = "";
    BesideExe(path, sizeof path, "fake-client.mode");
    if (FILE* f = fopen(path, "rb")) {
        if (fscanf(f, "%31s", mode) != 1) strcpy(mode, "exit");
        fclose(f);
    }
    GetCurrentDirectoryA(sizeof cwd, cwd);
    BesideExe(path, sizeof path, "fake-client.out");
    if (FILE* f = fopen(path, "ab")) {
        fprintf(f, "cmdline=%s\ncwd=%s\nmode=%s\ntid=%lu\n", GetCommandLineA(), cwd, mode,
                (unsigned long)GetCurrentThreadId());
        fclose(f);
    }
    if (strcmp(mode, "debugstrings") == 0) {
        for (int i = 0; i < 5; i++) OutputDebugStringA("fake client says hello\n");
        return 0;
    }
    if (strcmp(mode, "crash") == 0) {
        SetErrorMode(0);
        SetUnhandledExceptionFilter(NULL);
        volatile ULONG_PTR address = 0x10;
        *(volatile int*)address = 1;  // access violation writing address 0x10
        return 2;
    }
    if (strcmp(mode, "custom") == 0) {
        // A software exception the client handles itself: a debugger still sees its first chance.
        SetUnhandledExceptionFilter(SwallowCustom);
        RaiseException(0xE0000001, 0, 0, NULL);
        return 0;
    }
    if (strcmp(mode, "dlls") == 0) {
        for (int i = 0; i < 64; i++) {
            HMODULE m = LoadLibraryA("version.dll");
            if (!m) return 4;
            FreeLibrary(m);
        }
        return 0;
    }
    if (strcmp(mode, "run") == 0) {
        Sleep(120000);
        return 3;
    }
    return 0;
}

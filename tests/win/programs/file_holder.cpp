// Another program that gets in the launcher's way, for the patch run and configuration tests:
//   file_holder hold <path> <share> <event>
//       opens <path> for reading with the given sharing ("none", or letters r, w, d for read, write, delete), sets
//       the named event, and keeps the file open until it is killed (at most 120 s, then exit 3). Exit 2 when the
//       file cannot be opened.
//   file_holder scribble <path> <size> <event>
//       sets the named event, then waits (at most 60 s, else exit 2) until <path> is exactly <size> bytes long
//       while "<path>.veq-new" does not exist, that is just after the launcher moved a new file into place, and
//       flips the file's last byte, the way an over-eager scanner or the game itself might touch it. Exit 0.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void Ready(const char* eventName) {
    HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    if (e) {
        SetEvent(e);
        CloseHandle(e);
    }
}

static DWORD ShareOf(const char* letters) {
    DWORD share = 0;
    if (strchr(letters, 'r')) share |= FILE_SHARE_READ;
    if (strchr(letters, 'w')) share |= FILE_SHARE_WRITE;
    if (strchr(letters, 'd')) share |= FILE_SHARE_DELETE;
    return share;
}

static int Hold(const char* path, const char* share, const char* eventName) {
    HANDLE h = CreateFileA(path, GENERIC_READ, ShareOf(share), NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 2;
    Ready(eventName);
    Sleep(120000);
    CloseHandle(h);
    return 3;
}

static int Scribble(const char* path, unsigned long long size, const char* eventName) {
    char tmp[MAX_PATH];
    snprintf(tmp, sizeof tmp, "%s.veq-new", path);
    Ready(eventName);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (GetFileAttributesA(tmp) == INVALID_FILE_ATTRIBUTES && GetFileAttributesExA(path, GetFileExInfoStandard, &a) &&
            (((unsigned long long)a.nFileSizeHigh << 32) | a.nFileSizeLow) == size && size > 0) {
            HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
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
        SwitchToThread();
    }
    return 2;
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "hold") == 0) return Hold(argv[2], argv[3], argv[4]);
    if (argc == 5 && strcmp(argv[1], "scribble") == 0) return Scribble(argv[2], _strtoui64(argv[3], NULL, 10), argv[4]);
    fprintf(stderr, "usage: file_holder hold <path> <share> <event> | scribble <path> <size> <event>\n");
    return 1;
}

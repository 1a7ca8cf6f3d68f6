// press.exe: drives a running launcher for scripts/run, from inside Wine.
//   press.exe wait      waits (up to 60 s) for the launcher's window; prints "window LEFT TOP RIGHT BOTTOM"
//   press.exe ID        sends the command of button ID as a click does, prints every status text shown while
//                       it runs, and returns once the command has run to completion
// Exit code 0 on success, 1 when there is no launcher window, 2 on a usage error.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kStatusId = 2001, kTextCap = 1024 };

static HWND FindLauncher(DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND w = FindWindowA("TARQOLauncher", NULL);
        if (w || GetTickCount() - start > waitMs) return w;
        Sleep(100);
    }
}

static void StatusText(HWND window, char* buf, size_t cap) {
    DWORD_PTR got = 0;
    buf[0] = '\0';
    // The launcher answers only between steps of its work; never hang on it.
    if (!SendMessageTimeoutA(GetDlgItem(window, kStatusId), WM_GETTEXT, (WPARAM)cap, (LPARAM)buf, SMTO_NORMAL, 250,
                             &got))
        buf[0] = '\0';
    buf[cap - 1] = '\0';
}

struct Press {
    HWND window;
    int id;
};

static DWORD WINAPI SendCommand(void* arg) {
    Press* p = (Press*)arg;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(p->window, WM_COMMAND, MAKEWPARAM(p->id, BN_CLICKED), 0, SMTO_NORMAL, 600000, &result);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: press.exe wait | press.exe BUTTON-ID\n");
        return 2;
    }
    HWND window = FindLauncher(strcmp(argv[1], "wait") == 0 ? 60000 : 2000);
    if (!window) {
        fprintf(stderr, "press: no launcher window\n");
        return 1;
    }
    if (strcmp(argv[1], "wait") == 0) {
        RECT r;
        GetWindowRect(window, &r);
        printf("window %ld %ld %ld %ld\n", (long)r.left, (long)r.top, (long)r.right, (long)r.bottom);
        return 0;
    }

    Press p = { window, atoi(argv[1]) };
    char last[kTextCap] = "", now[kTextCap];
    int changes = 0;
    StatusText(window, last, sizeof last);
    HANDLE sender = CreateThread(NULL, 0, SendCommand, &p, 0, NULL);
    if (!sender) return 1;
    for (;;) {
        int done = WaitForSingleObject(sender, 20) == WAIT_OBJECT_0;
        StatusText(window, now, sizeof now);
        if (now[0] && strcmp(now, last) != 0) {
            printf("  status: %s\n", now);
            fflush(stdout);
            strcpy(last, now);
            changes++;
        }
        if (done) break;
    }
    if (changes == 0) printf("  status (unchanged): %s\n", last);
    CloseHandle(sender);
    return 0;
}

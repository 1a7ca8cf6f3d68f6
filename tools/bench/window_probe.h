#pragma once
// Sends a window WM_NULL again and again from a thread of its own and keeps the longest wait for an answer: how long
// the window left a message unanswered while a command ran. Shared by veq-bench and the Windows tests.
#include <windows.h>

struct WindowProbe {
    HWND window;
    volatile LONG stop = 0;
    DWORD longest = 0;
    int answers = 0;
    HANDLE thread;

    explicit WindowProbe(HWND w) : window(w) { thread = CreateThread(NULL, 0, Run, this, 0, NULL); }
    ~WindowProbe() { Stop(); }

    // The longest wait in ms. The probe may be waiting on this very thread's window: it is answered meanwhile.
    DWORD Stop() {
        InterlockedExchange(&stop, 1);
        while (thread && MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
            MSG m;
            while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        }
        if (thread) CloseHandle(thread);
        thread = NULL;
        return longest;
    }

private:
    static DWORD WINAPI Run(void* arg) {
        WindowProbe* p = (WindowProbe*)arg;
        for (DWORD_PTR result; !p->stop; Sleep(2)) {
            DWORD start = GetTickCount();
            if (!SendMessageTimeoutA(p->window, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result)) break;
            if (GetTickCount() - start > p->longest) p->longest = GetTickCount() - start;
            p->answers++;
        }
        return 0;
    }
};

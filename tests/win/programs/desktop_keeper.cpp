// Keeps Wine's desktop process alive for a whole test run. Wine ends its desktop (explorer /desktop) once no
// program uses it; the next program to need one starts it again, and it inherits that program's stdout - under
// CTest, the pipe CTest waits on, so the test would "hang" until the run ends. The test bed starts this once, with
// its output elsewhere, and ends it with the wineserver.
#include <windows.h>

static LRESULT CALLBACK KeeperProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(hwnd, msg, wp, lp);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = KeeperProc;
    wc.hInstance = instance;
    wc.lpszClassName = "VeqDesktopKeeper";
    RegisterClassA(&wc);
    // A hidden top-level window: enough to hold the desktop, invisible to the tests' window searches by class.
    if (!CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 1, 1, NULL, NULL, instance, NULL)) return 1;
    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) DispatchMessageA(&m);
    return 0;
}

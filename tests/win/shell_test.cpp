// The launcher shell under Wine: the real window, its controls, the busy state and the process lifecycle.
#include <gtest/gtest.h>

#include <string>

#include "shell/shell.h"
#include "support/test_support.h"

namespace {

// One main window per test, built through the program's own code.
struct ShellWindow : testing::Test {
    HWND w = NULL;
    void SetUp() override {
        g_shell.busy = 0;
        w = CreateMainWindow(GetModuleHandleA(NULL));
        ASSERT_TRUE(w != NULL);
    }
    void TearDown() override {
        g_shell.busy = 0;
        if (IsWindow(w)) DestroyWindow(w);
        g_shell.statusLine = NULL;
        g_shell.mainWindow = NULL;
        MSG m;
        while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {}
    }
    RECT ChildRect(HWND child) {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(HWND_DESKTOP, w, (POINT*)&r, 2);
        return r;
    }
};

const struct {
    const char* caption;
    int id, x, y, w, h;
} kExpectedChildren[] = {
    {"PLAY", 1001, 24, 92, 372, 42},        {"REGISTER", 1002, 24, 144, 180, 38},
    {"UPDATE CLIENT", 1003, 216, 144, 180, 38}, {"PLAY (DEBUG)", 1008, 24, 186, 372, 32},
    {"SEND LOG", 1006, 24, 226, 180, 30},   {"SEND DUMP", 1007, 216, 226, 180, 30},
    {"OPEN FOLDER", 1004, 24, 264, 180, 30}, {"EXIT", 1005, 216, 264, 180, 30},
    {"Sedia.", 2001, 24, 306, 372, 56},
};

TEST_F(ShellWindow, ClassCaptionStyleAndClientArea) {
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    EXPECT_STREQ(cls, "TARQOLauncher");
    EXPECT_EQ(WindowText(w), "VEQ Games Launcher");
    EXPECT_EQ((DWORD)GetWindowLongA(w, GWL_STYLE) & 0x00CF0000u, 0x00CA0000u);  // caption, sysmenu, minimize only
    RECT r;
    GetClientRect(w, &r);
    EXPECT_EQ(r.right - r.left, 420);
    EXPECT_EQ(r.bottom - r.top, 386);
}

TEST_F(ShellWindow, ChildrenInTableOrderWithIdsCaptionsAndRectangles) {
    HWND child = GetWindow(w, GW_CHILD);
    for (const auto& e : kExpectedChildren) {
        ASSERT_TRUE(child != NULL) << "missing child " << e.caption;
        EXPECT_EQ(GetDlgCtrlID(child), e.id) << e.caption;
        EXPECT_EQ(WindowText(child), e.caption);
        char cls[32] = "";
        GetClassNameA(child, cls, sizeof cls);
        EXPECT_STREQ(cls, e.id == 2001 ? "Static" : "Button") << e.caption;
        EXPECT_EQ((DWORD)GetWindowLongA(child, GWL_STYLE) & 0xFFFF00FFu, 0x50000000u) << e.caption;
        RECT r = ChildRect(child);
        EXPECT_EQ(r.left, e.x) << e.caption;
        EXPECT_EQ(r.top, e.y) << e.caption;
        EXPECT_EQ(r.right - r.left, e.w) << e.caption;
        EXPECT_EQ(r.bottom - r.top, e.h) << e.caption;
        EXPECT_EQ((HFONT)SendMessageA(child, WM_GETFONT, 0, 0), g_shell.uiFont) << e.caption;
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_TRUE(child == NULL) << "unexpected extra child";
}

TEST_F(ShellWindow, BusyStateDisablesButtonsBlocksCommandsAndRefusesClose) {
    g_shell.mainWindow = w;
    EnterBusy();
    EXPECT_EQ(g_shell.busy, 1);
    for (int id = 1001; id <= 1008; id++) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, id))) << "button " << id;
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, 2001))) << "status line must stay untouched";

    EnableWindow(GetDlgItem(w, 1005), TRUE);  // even an enabled button's command is ignored while busy
    EXPECT_EQ(SendMessageA(w, WM_COMMAND, 1005, 0), 0);
    EXPECT_TRUE(IsWindow(w)) << "EXIT ran while busy";
    EXPECT_EQ(SendMessageA(w, WM_COMMAND, 1002, 0), 0);
    EXPECT_EQ(StatusTextOf(w), "Sedia.") << "REGISTER ran while busy";

    EXPECT_EQ(SendMessageA(w, WM_CLOSE, 0, 0), 0);
    EXPECT_TRUE(IsWindow(w)) << "closed while busy";
    EXPECT_EQ(StatusTextOf(w), "Patch sedang dipasang. Tunggu sehingga siap.");

    LeaveBusy();
    EXPECT_EQ(g_shell.busy, 0);
    for (int id = 1001; id <= 1008; id++) EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, id))) << "button " << id;
    SendMessageA(w, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(w)) << "close refused after the run ended";
}

TEST_F(ShellWindow, UnknownCommandIdsDoNothingAndExitIgnoresNotificationCode) {
    g_shell.mainWindow = w;
    for (int id : {1000, 1009, 2001, 0, 0xFFFF}) {
        EXPECT_EQ(SendMessageA(w, WM_COMMAND, MAKEWPARAM(id, 0), 0), 0) << id;
        EXPECT_TRUE(IsWindow(w)) << id;
        EXPECT_EQ(StatusTextOf(w), "Sedia.") << id;
    }
    EXPECT_EQ(SendMessageA(w, WM_COMMAND, MAKEWPARAM(1005, BN_DOUBLECLICKED), 0), 0);
    EXPECT_FALSE(IsWindow(w)) << "EXIT with a notification code in the high word must still close";
}

TEST_F(ShellWindow, StatusLineKeepsExactly511Characters) {
    std::string longText(600, 'm');
    ShowStatus("%s", longText.c_str());
    EXPECT_EQ(StatusTextOf(w), longText.substr(0, 511));
    ShowStatus("Semak manifest patch...");
    EXPECT_EQ(StatusTextOf(w), "Semak manifest patch...");
    ShowStatus("Download %u / %u: %s", 2u, 9u, "Maps/x.ut2");
    EXPECT_EQ(StatusTextOf(w), "Download 2 / 9: Maps/x.ut2");
}

TEST_F(ShellWindow, PumpSwallowsQuitAndDispatchesTheRest) {
    PostQuitMessage(7);
    PostMessageA(w, WM_SETTEXT, 0, (LPARAM) "unused");  // not sent cross-thread; just has to be dispatched
    PostMessageA(w, WM_CLOSE, 0, 0);
    g_shell.busy = 1;  // the close must be refused, proving it went through the window procedure
    PumpMessages();
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) << "pump left message " << m.message;
    EXPECT_TRUE(IsWindow(w));
    EXPECT_EQ(StatusTextOf(w), "Patch sedang dipasang. Tunggu sehingga siap.");
    DWORD start = GetTickCount();
    PumpMessages();  // an empty queue returns at once
    EXPECT_LT(GetTickCount() - start, 200u);
}

TEST_F(ShellWindow, RegisterShowsItsMessageWhateverTheBrowser) {
    g_shell.mainWindow = w;
    SendMessageA(w, WM_COMMAND, 1002, 0);
    EXPECT_EQ(StatusTextOf(w), "Register dibuka dalam browser.");
}

TEST_F(ShellWindow, PaintingAndColouringCreateNoGdiObjects) {
    g_shell.mainWindow = w;
    ShowWindow(w, SW_SHOWNORMAL);
    UpdateWindow(w);
    DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    for (int i = 0; i < 200; i++) {
        RedrawWindow(w, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        ShowStatus("status %d", i);
    }
    DWORD after = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    EXPECT_EQ(before, after);
    // The status colours are answered with the one background brush.
    HDC dc = GetDC(w);
    EXPECT_EQ((HBRUSH)SendMessageA(w, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)GetDlgItem(w, 2001)), g_shell.background);
    EXPECT_EQ(GetTextColor(dc), RGB(150, 162, 176));
    EXPECT_EQ(GetBkColor(dc), RGB(12, 14, 18));
    ReleaseDC(w, dc);
}

// The real executable, in an install folder of its own.
TEST(LauncherProcessTest, ExitClosesWithCodeZero) {
    LauncherProcess p;
    ASSERT_TRUE(p.Start(FreshTestDir()));
    RECT r;
    GetClientRect(p.window, &r);
    EXPECT_EQ(r.right, 420);
    EXPECT_EQ(r.bottom, 386);
    EXPECT_EQ(p.Status(), "Sedia.");
    EXPECT_TRUE(IsWindowVisible(p.window));
    PostMessageA(p.window, WM_COMMAND, MAKEWPARAM(1005, 1), 0);
    EXPECT_EQ(p.WaitExit(15000), 0u);
}

TEST(LauncherProcessTest, CloseButtonEndsWithCodeZeroAndShowCommandIsHonoured) {
    LauncherProcess p;
    ASSERT_TRUE(p.Start(FreshTestDir(), SW_SHOWMINIMIZED, true));
    EXPECT_TRUE(IsIconic(p.window)) << "STARTF_USESHOWWINDOW with a minimized show command";
    PostMessageA(p.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(p.WaitExit(15000), 0u);
}

}  // namespace

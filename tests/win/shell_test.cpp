// The launcher's window, status line, message pump and busy state, built by the launcher's own code in this
// process, and the real exe as a process.
#include "shell/shell.h"
#include "support.h"

namespace {

using Shell = LauncherTest;

TEST_F(Shell, FixedWindowWithEightButtonsNoOtherCommandAStatusLineOf511AndAPumpThatDropsOnlyQuit) {
    char cls[64] = "", caption[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, caption, sizeof caption);
    EXPECT_STREQ(cls, "TARQOLauncher");
    EXPECT_STREQ(caption, "VEQ Games Launcher");
    EXPECT_EQ((DWORD)GetWindowLongA(window, GWL_STYLE) & 0x00CF0000u, 0x00CA0000u) << "no sizing border, no maximize";
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 420);
    EXPECT_EQ(client.bottom, 386);
    int children = 0;  // the eight buttons (each found by its id in the busy test) and the status line
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children++;
    EXPECT_EQ(children, 9);
    EXPECT_EQ(Status(), "Sedia.");
    for (int id : {1000, 1009, 2001}) EXPECT_EQ(SendMessageA(window, WM_COMMAND, id, 0), 0) << id;
    EXPECT_TRUE(trail.empty()) << "an unknown id did something:" << Trail();
    HDC dc = GetDC(g_shell.statusLine);  // the status line's colours come with the one brush made at the start
    EXPECT_EQ(SendMessageA(window, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)g_shell.statusLine), (LRESULT)g_shell.background);
    EXPECT_EQ(GetTextColor(dc), RGB(150, 162, 176));
    ReleaseDC(g_shell.statusLine, dc);
    ShowStatus("%s", std::string(600, 'x').c_str());
    EXPECT_EQ(Status(), std::string(511, 'x'));
    ShowStatus("Semak manifest patch...");
    EXPECT_EQ(Status(), "Semak manifest patch...");
    HFONT font = (HFONT)GetStockObject(SYSTEM_FONT);
    PostQuitMessage(7);
    PostMessageA(g_shell.statusLine, WM_SETFONT, (WPARAM)font, 0);  // any message for a window
    PumpMessages();
    EXPECT_EQ((HFONT)SendMessageA(g_shell.statusLine, WM_GETFONT, 0, 0), font) << "the other message was dispatched";
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit message was left queued";
}

TEST_F(Shell, BusyBlocksEveryCommandClosingAndLogoffUntilItEnds) {
    EnterBusy();
    EXPECT_EQ(SendMessageA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    for (int id = 1001; id <= 1008; id++) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, id))) << id;
    EXPECT_TRUE(IsWindowEnabled(g_shell.statusLine));
    EnableWindow(GetDlgItem(window, 1005), TRUE);  // even an enabled EXIT is ignored while busy
    Press(1005);
    Press(1002);
    SendMessageA(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(trail, std::vector<std::string>(2, "Patch sedang dipasang. Tunggu sehingga siap."));
    LeaveBusy();
    EXPECT_EQ(g_shell.busy, 0);
    EXPECT_EQ(SendMessageA(window, WM_QUERYENDSESSION, 0, 0), TRUE);
    for (int id = 1001; id <= 1008; id++) EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, id))) << id;
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    window = NULL;
}

TEST(LauncherExe, ExitsWithZeroAfterExitOrCloseAndHonoursTheShowCommand) {
    std::string dir = FreshDir();
    LauncherProcess byExit, byClose, minimized;
    ASSERT_TRUE(byExit.Start(dir));
    PostMessageA(byExit.window, WM_COMMAND, MAKEWPARAM(1005, 0x1234), 0);  // whatever the notification code
    EXPECT_EQ(byExit.Wait(15000), 0u);
    ASSERT_TRUE(byClose.Start(dir));
    PostMessageA(byClose.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(byClose.Wait(15000), 0u);
    ASSERT_TRUE(minimized.Start(dir, SW_SHOWMINNOACTIVE));
    EXPECT_TRUE(IsIconic(minimized.window));
}

}  // namespace

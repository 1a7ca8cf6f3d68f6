#pragma once
#include <windows.h>

#include "shell/format_rules.h"
#include "shell/service.h"

enum {
    kPathCap = 260,       // every path buffer
    kStatusCap = 512,     // one status message
    kClientWidth = 420,
    kClientHeight = 386,
    kStatusId = 2001,
    kFirstCommandId = 1001,
    kLastCommandId = 1008,
};

static const wchar_t kServiceHostW[] = L"" VEQ_SERVICE_HOST;
static const char kAppCaption[] = "VEQ Games Launcher";
static const char kBusyText[] = "Patch sedang dipasang. Tunggu sehingga siap.";

// The process-wide values of the launcher shell. Other subsystems read them; only the busy state writes `busy`.
struct ShellState {
    HINSTANCE instance;
    HWND mainWindow;
    HWND statusLine;
    char installDir[kPathCap];
    int busy;
    int working;          // a command waits for work off the window thread: other commands are ignored
    volatile int closeRequested;  // closing was asked for while a command worked; it closes once that ends
    HFONT uiFont;
    HFONT titleFont;
    HBRUSH background;
};
extern ShellState g_shell;

// Replaces the status line's text with the formatted message (cut at 511 characters).
void ShowStatus(const char* fmt, ...);
// Dispatches every waiting message without waiting; a WM_QUIT met here is dropped.
void PumpMessages(void);
void EnterBusy(void);
void LeaveBusy(void);
// Runs work(ctx) on a thread of its own while this thread keeps answering the window (pumping its messages), and
// returns work's result. Blocking calls (network, disk, hashing, the debugger's wait) go through here so that the
// window never looks frozen. The work may call ShowStatus; it must not touch windows otherwise.
int RunOffWindow(int (*work)(void* ctx), void* ctx);

// "%s\%s" of the install directory and name, into buf[kPathCap]; a '/' in name (as manifests write paths)
// becomes '\'.
void InstallPath(char* buf, const char* name);

// Sets g_shell.installDir from the launcher's own module path.
void SetInstallDirFromModule(void);
// Registers the class and creates the (hidden) main window; null on failure. Sets g_shell.mainWindow.
HWND CreateMainWindow(HINSTANCE instance);
LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
int LauncherMain(HINSTANCE instance, int showCommand);

// Commands carried out by the other subsystems; the window procedure routes to them.
void CmdPlay(void);        // src/launch
void CmdPlayDebug(void);   // src/launch
void CmdRegister(void);    // src/launch
void CmdUpdateClient(void);// src/patch
void CmdSendLog(void);     // src/upload
void CmdSendDump(void);    // src/upload

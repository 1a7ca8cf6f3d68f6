#pragma once
#include <windows.h>

#include "shell/format_rules.h"
#include "shell/progress_rules.h"
#include "shell/service.h"

enum {
    kPathCap = 260,       // every path buffer
    kStatusCap = 512,     // one status message
    kClientWidth = 420,
    kClientHeight = 386,
    kStatusId = 2001,
    kFirstCommandId = 1001,
    kLastCommandId = 1008,
    kProgressMessage = WM_APP + 1,  // posted by the work when a progress phase begins or ends
    kProgressTimerId = 1,
    kStoppedTimerId = 2,
};

static const COLORREF kBackgroundColour = RGB(12, 14, 18);
static const COLORREF kTitleColour = RGB(255, 106, 0);
static const COLORREF kStatusTextColour = RGB(150, 162, 176);

static const wchar_t kServiceHostW[] = L"" VEQ_SERVICE_HOST;
static const char kAppCaption[] = "VEQ Games Launcher";
static const char kBusyText[] = "Patch sedang dipasang. Tunggu sehingga siap.";
static const char kStopQuestion[] =
    "Hentikan muat turun? Fail yang sudah dimuat turun disimpan untuk kali seterusnya.";
static const char kStoppedText[] = "Muat turun dihentikan. Tiada fail ditukar.";

// Whether closing the window may stop the patch run: only while it downloads, before it changes anything.
enum StopState { kStopNever, kStopAllowed, kStopAsking, kStopRequested };

// The process-wide values of the launcher shell. Other subsystems read them; only the busy state writes `busy`.
struct ShellState {
    HINSTANCE instance;
    HWND mainWindow;
    HWND statusLine;
    char installDir[kPathCap];
    int busy;
    int working;          // a command waits for work off the window thread: other commands are ignored
    volatile int closeRequested;  // closing was asked for while a command worked; it closes once that ends
    volatile LONG stopState;      // a StopState
    HANDLE stopEvent;             // set when the player chose to stop
    HFONT uiFont;
    HFONT titleFont;
    HFONT smallFont;
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
// window never looks frozen. The work may call ShowStatus; it must not touch windows otherwise. Once the player has
// chosen to stop, the work gets a moment to end and is then left to end by itself (a blocked read may hold it for
// its whole time-out): the result is then 0.
int RunOffWindow(int (*work)(void* ctx), void* ctx);

// Stopping a patch run by closing the window. The work allows it as its downloads begin and forbids it before it
// changes anything: ForbidStop is 0 when the stop came first, and waits for the player's answer to an open question.
void AllowStop(void);
int ForbidStop(void);
int StopRequested(void);
int WaitForStop(DWORD ms);  // sleeps; 1 at once when the player chooses to stop
// On closing: 1 when the run may be stopped, after asking the player (a Yes stops it); 0 when closing is refused.
int AskToStop(void);

// Progress under the status line and on the taskbar button. The work reports from any thread; only the window
// thread draws, on kProgressMessage and on its timer.
void BeginProgress(int phase);  // a ProgressPhase; its figures start at 0 of 0 bytes
// The small call any downloader or hasher makes: `added` bytes more done, `moreTotal` bytes more to do.
void ReportProgress(unsigned long long added, unsigned long long moreTotal);
// Bytes counted on that will not come after all (an old file held them): off the total, never counted as done.
void DropFromProgress(unsigned long long bytes);
void OnProgressChange(HWND hwnd);
void EndProgress(int failed);  // after a run: hidden, and the taskbar button red when it failed
void PaintProgress(HDC dc);

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

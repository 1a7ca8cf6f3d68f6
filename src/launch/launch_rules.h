#pragma once
// Decisions of the game launch and the crash catcher that need no Windows: who starts the client and the browser,
// the client's command line, which debug exceptions count as a crash, and the crash note line.
#include <stddef.h>

enum {
    kLaunchPlay = 0,   // PLAY: the client in a window
    kLaunchDebug = 1,  // PLAY (DEBUG): the client writes its log and runs under the crash catcher
    kCrashNoteCap = 64,
};

// "\"<exe>\" -updated -BishopIP=<host> -BishopPort=7451 -window" (or "-log" for kLaunchDebug), cut to cap - 1.
void FormatClientCommandLine(char* buf, size_t cap, const char* exePath, const char* host, int mode);

// 1 when an exception a debugged client raises is one of its own crashes, 0 for breakpoints and the notes a
// program leaves for its debugger (debug strings, thread names).
// `launcherIs64Bit`: a 32-bit client under a 64-bit debugger raises its breakpoints, the initial one included, as
// STATUS_WX86_BREAKPOINT; a 32-bit debugger sees them as EXCEPTION_BREAKPOINT.
int CountsAsCrash(unsigned long code, int launcherIs64Bit);

// "exception=0x%08lx address=<hex>\r\n": the address in lower-case hex, zero-padded to at least 8 digits, so a
// 32-bit address always takes exactly 8 and a 64-bit one is never cut. Cut to cap - 1 like every bounded format.
void FormatCrashNote(char* buf, size_t cap, unsigned long code, unsigned long long address);

// Who starts a program for the launcher, which runs as administrator from a folder the player can often write to.
enum {
    kStartAsLauncher = 0,    // with the launcher's own token (CreateProcess, ShellExecute)
    kStartAsPlayer = 1,      // with the player's own non-elevated token; a debuggee is attached while suspended
    kStartThroughShell = 2,  // by the desktop's unelevated shell: Windows asks the player if it demands elevation
    kStartNothing = 3,       // no sound way is left; the failure is shown
    // Win32 errors that say a way is not there (rather than that the program cannot start), so the next is tried.
    kErrorElevationRequired = 740,
    kErrorNoToken = 1008,
    kErrorServiceDisabled = 1058,  // the secondary logon service, which starts a program with another's token
    kErrorPrivilegeNotHeld = 1314,
};
struct StartFacts {
    int elevated;          // the launcher's token is elevated
    int linkedToken;       // Windows linked a non-elevated token of the player's to it (not with UAC off, nor for
                           // the built-in Administrator)
    int playerMayReplace;  // that token may replace System\ZQ.exe: 1, 0, or -1 when it cannot be told
    int inheritsAdmin;     // built with VEQ_CLIENT_INHERITS_ADMIN: the client keeps the launcher's rights
    int browser;           // the registration page rather than the client
};

// The way to try first (failedWay < 0), or the next one after failedWay failed with the Win32 `error`. The
// launcher's own token is never what a failed way falls back to.
int NextStartWay(const StartFacts* f, int failedWay, unsigned long error);

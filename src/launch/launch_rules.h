#pragma once
// Decisions of the game launch and the crash catcher that need no Windows: the client's command line, which
// debug exceptions count as a crash, and the crash note line.
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

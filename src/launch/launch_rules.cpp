#include "launch/launch_rules.h"

#include "shell/format_rules.h"
#include "shell/service.h"

int NextStartWay(const StartFacts* f, int failedWay, unsigned long error) {
    if (failedWay < 0) {
        if (!f->elevated) return kStartAsLauncher;
        if (f->browser) return kStartThroughShell;  // a browser has no use for administrator rights
        // Without a linked token the player's programs run as administrator already: a swapped client gains nothing.
        if (f->inheritsAdmin || !f->linkedToken || f->playerMayReplace == 0) return kStartAsLauncher;
        return kStartAsPlayer;
    }
    // Any other failure (a held or broken exe) would fail through the shell too, and only confuse the player there.
    if (failedWay == kStartAsPlayer && (error == kErrorElevationRequired || error == kErrorNoToken ||
                                        error == kErrorServiceDisabled || error == kErrorPrivilegeNotHeld))
        return kStartThroughShell;
    return kStartNothing;
}

void FormatClientCommandLine(char* buf, size_t cap, const char* exePath, const char* host, int mode) {
    FormatBounded(buf, cap, "\"%s\" -updated -BishopIP=%s -BishopPort=%s %s", exePath, host, kLoginPort,
                  mode == kLaunchDebug ? "-log" : "-window");
}

int CountsAsCrash(unsigned long code, int launcherIs64Bit) {
    code &= 0xFFFFFFFFul;  // an NTSTATUS, whatever the width of long
    if (code == 0x80000003ul) return 0;                     // EXCEPTION_BREAKPOINT, the initial one included
    if (code == 0x40010006ul) return 0;                     // DBG_PRINTEXCEPTION_C: OutputDebugStringA
    if (code == 0x4001000Aul) return 0;                     // DBG_PRINTEXCEPTION_WIDE_C: OutputDebugStringW
    if (code == 0x406D1388ul) return 0;                     // a thread's name, told to an attached debugger
    if (code == 0x4000001Ful && launcherIs64Bit) return 0;  // STATUS_WX86_BREAKPOINT
    return 1;  // single steps too: nobody here sets the trap flag, so one comes from the client itself
}

void FormatCrashNote(char* buf, size_t cap, unsigned long code, unsigned long long address) {
    // Hex by hand: %p differs in case and width between runtimes, and %llx is not in every MS runtime.
    char digits[17];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[address & 0xF];
        address >>= 4;
    } while (address != 0);
    while (n < 8) digits[n++] = '0';
    char hex[17];
    for (int i = 0; i < n; i++) hex[i] = digits[n - 1 - i];
    hex[n] = '\0';
    FormatBounded(buf, cap, "exception=0x%08lx address=%s\r\n", code & 0xFFFFFFFFul, hex);
}

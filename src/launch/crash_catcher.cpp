#include "launch/launch.h"

// Placeholder until the crash catcher lands.
void RunCrashCatcher(const PROCESS_INFORMATION* pi, const char*) {
    CloseHandle(pi->hThread);
    CloseHandle(pi->hProcess);
}

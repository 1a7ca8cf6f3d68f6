#pragma once
#include <windows.h>

// Runs the debug-event loop of a client started with DEBUG_ONLY_THIS_PROCESS until it ends; the first crash becomes
// a minidump and crash.txt in dumpsDir. Takes ownership of pi's handles and closes them.
void RunCrashCatcher(const PROCESS_INFORMATION* pi, const char* dumpsDir);

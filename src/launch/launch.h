#pragma once
#include <windows.h>

#include "launch/launch_rules.h"

// The client start that follows a successful patch run and configuration rewrite: tests System\ZQ.exe and starts
// it with the login arguments. For kLaunchDebug it also creates the dumps directory and hands the client to the
// crash catcher, returning only when the client has ended. 1 when the client was started; every failure is shown
// where it happens (message box for a missing client, status line otherwise).
int StartClient(int mode);

// Runs the debug-event loop of a client started with DEBUG_ONLY_THIS_PROCESS until it ends; the first crash becomes
// a minidump and crash.txt in dumpsDir. Takes ownership of pi's handles and closes them.
void RunCrashCatcher(const PROCESS_INFORMATION* pi, const char* dumpsDir);

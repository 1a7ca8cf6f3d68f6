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

// The facts that decide who starts the client (or, with `browser`, the registration page): the launcher's token, the
// player's linked token, and whether that token may replace System\ZQ.exe.
void ReadStartFacts(StartFacts* f, int browser);
// Starts cmdLine with the player's own non-elevated token, in dir, with CreateProcess `flags`. 0 with the error set
// (ERROR_NO_TOKEN when the player's token cannot be had).
int StartAsPlayer(const char* exePath, const char* cmdLine, const char* dir, DWORD flags, PROCESS_INFORMATION* pi);
// Has the desktop's shell, which runs with the player's own token, open `file` with `args` in `dir`, as the player
// would: Windows asks the player first when the program demands elevation. Sets *shellPid. 0 with the error set.
int StartThroughShell(const char* file, const char* args, const char* dir, DWORD* shellPid);
// Attaches as debugger to the exePath that shellPid started after `since`, waiting while the player answers Windows'
// prompt (a crash before that goes uncaught). Sets pi's process handle and id; 0 when none came.
int AttachStartedByShell(const char* exePath, DWORD shellPid, const FILETIME* since, PROCESS_INFORMATION* pi);

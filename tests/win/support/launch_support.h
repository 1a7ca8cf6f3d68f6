#pragma once
// Helpers for the game launch and crash catcher tests: the fake client in place, what it recorded, minidumps,
// message boxes and handle counts.
#include <windows.h>

#include <set>
#include <string>
#include <vector>

// Copies fake_client.exe to <installDir>\System\ZQ.exe with "fake-client.mode" = mode beside it; returns the exe.
std::string InstallFakeClient(const std::string& installDir, const char* mode);
// Changes the mode of an installed fake client; false when it cannot be written.
bool SetFakeClientMode(const std::string& installDir, const char* mode);

// One start of the fake client, as it recorded itself in System\fake-client.out.
struct FakeClientStart {
    std::string cmdline, cwd, mode;
    unsigned long tid = 0;
};
std::vector<FakeClientStart> FakeClientStarts(const std::string& installDir);
// Waits until the fake client has recorded `count` starts; false on time-out.
bool WaitForFakeClientStarts(const std::string& installDir, size_t count, DWORD ms);

// Names in a folder (no "." and ".."), sorted; empty if it cannot be listed.

// What a test checks in a minidump, read by hand from the file (no dbghelp involved).
struct MinidumpFacts {
    std::string error;  // empty when the file is a readable minidump with an exception stream
    unsigned flags = 0; // the dump type the writer was given
    std::vector<unsigned> streamTypes;
    unsigned exceptionCode = 0, threadId = 0, numberParameters = 0;
    unsigned long long exceptionAddress = 0, parameters[15] = {};
    unsigned long long contextPc = 0;  // instruction pointer of the exception stream's thread context
    unsigned contextBytes = 0;
    bool HasStream(unsigned type) const;
};
MinidumpFacts ReadMinidump(const std::string& path);

// A message box seen on screen, read and then closed with its OK button.
struct MessageBoxSeen {
    bool found = false;
    HWND owner = NULL;
    std::string caption, text;
    bool hasIcon = false;
    bool errorIcon = false;            // the icon is the system's error (hand) icon; only for our own boxes
    std::vector<int> visibleButtons;   // control ids
};
// Waits up to ms for a message box ("#32770") of process pid, reads it, presses OK and waits until it is gone.
// Stops early once *stop is set (the caller finished without showing one).
MessageBoxSeen CloseMessageBoxOf(DWORD pid, DWORD ms, const volatile LONG* stop = NULL);

// Open handle values of a process (one we may duplicate from).
std::set<ULONG_PTR> OpenHandles(HANDLE process);
// The handles of `process` that are not in `before`, counted by type ("64 File; 1 Thread; "), "" for none. Handles to the
// process `debuggedPid` and its threads are left out (see the comment in the .cpp).
std::string NewHandles(HANDLE process, const std::set<ULONG_PTR>& before, DWORD debuggedPid = 0);
// Handles that `holder` has open to the process `pid` or its threads.
int HandlesTo(HANDLE holder, DWORD pid);

// Starts exe with DEBUG_ONLY_THIS_PROCESS, current directory its folder, the way PLAY (DEBUG) does.
bool StartDebugged(const std::string& exe, PROCESS_INFORMATION* pi);

#pragma once
// Helpers of the patch run and configuration tests: an in-process launcher window whose status messages are all
// recorded, release trees, other programs that get in the way, and the small disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/release_support.h"

// Every text set on a status line, in order, captured by subclassing the control (in-process only).
struct StatusTrail {
    std::vector<std::string> texts;
    HWND control = NULL;
    void Attach(HWND statusLine);
    void Detach();
    bool Saw(const std::string& text) const;
    std::string Joined() const;  // for failure messages
};

// The launcher's own main window in this process, g_shell.installDir at `dir`, and the test server reset to
// serve `releaseDir`. Tests may move the install folder with UseInstallDir (e.g. onto the small disk).
struct PatchRunFixture : testing::Test {
    HWND window = NULL;
    std::string dir, releaseDir;
    StatusTrail trail;
    void SetUp() override;
    void TearDown() override;
    void UseInstallDir(const std::string& installDir);
    // Writes the release to releaseDir and has the server serve it.
    void Publish(const std::string& releaseId, const std::vector<ReleaseFile>& files);
    std::string Status() const;
};

// n bytes of a pattern that depends on `seed`, so equal sizes never mean equal contents.
std::string SeededBytes(size_t n, unsigned seed);
std::string FileIn(const std::string& dir, const std::string& relPath);  // '/' becomes '\'
std::string ReadAll(const std::string& path);                             // "<missing>" when unreadable
// Creates and returns a folder inside `parent` whose full path is exactly `len` characters long.
std::string DirOfLength(const std::string& parent, size_t len);
// The backup directories ("delta-...") under <dir>\patch-backups.
std::vector<std::string> BackupDirs(const std::string& dir);
// POST /ctl/fault?<query> to the test server; false when it did not answer.
bool SetServerFault(const std::string& query);
// Number of requests for the blob with this digest in the server log.
int BlobRequests(const std::string& log, const std::string& digest);
int ManifestRequests(const std::string& log);

// A helper process (fake client, file_holder) that the test ends by pid.
struct OtherProgram {
    PROCESS_INFORMATION pi{};
    // Starts exe with args; when readyEvent is true, waits (10 s) until it sets the event it is given as last arg.
    bool Start(const std::string& exe, const std::string& args, bool readyEvent);
    DWORD Wait(DWORD ms);  // exit code, or STILL_ACTIVE
    void Kill();
    ~OtherProgram();
};
// fake_client.exe copied to <dir>\<relExe> with "fake-client.mode" = "run" beside it, started and left running.
bool StartRunningClient(OtherProgram* p, const std::string& dir, const std::string& relExe);
// file_holder hold: <path> open with sharing "none" or letters of "rwd", until killed.
bool HoldFile(OtherProgram* p, const std::string& path, const char* share);
// file_holder scribble: flips the last byte of <path> as soon as it is moved into place with `size` bytes.
bool ScribbleAfterMove(OtherProgram* p, const std::string& path, unsigned long long size);

// The small disk (a 64 MiB tmpfs as drive VEQ_SMALL_DISK, see tests/harness/smalldisk.sh): wiped, then a folder
// for the current test on it. "" when the test bed has none.
std::string SmallDiskDir();
unsigned long long FreeBytes(const std::string& dir);
// Writes `fillerPath` so that exactly `leave` bytes stay free (leave a multiple of the disk's 4 KiB pages);
// 0 = until the disk is full. True when the free space is then exactly `leave`.
bool FillDisk(const std::string& fillerPath, unsigned long long leave);

#pragma once
// Helpers of the Wine suite: install folders and files, the test server, releases, other programs, and the
// launcher itself (its own main window in this process, or the real exe as a process). Helpers return what they
// found; the tests assert.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// ---- Files (on the test drive T:, a plain folder) ----
std::string FreshDir(const std::string& suffix = "");  // T:\<Suite>.<Test><suffix>, empty
std::string In(const std::string& dir, const std::string& rel);  // '/' in rel becomes '\'
std::string UnixPath(const std::string& winPath);       // the same file as the test server sees it
std::string BinDir();                                   // this build's programs
std::string Bytes(size_t n, unsigned seed);             // differs by seed and position: a cut or shift shows
bool Write(const std::string& path, const std::string& bytes);  // creates the folders on the way
std::string Read(const std::string& path);              // "<missing>" when it cannot be read
bool Exists(const std::string& path);
std::vector<std::string> List(const std::string& dir);  // names, sorted
void RemoveTree(const std::string& path);
std::string Sha256(const std::string& bytes);
// A link made from the Unix side (a folder link Wine reports as a reparse point; a file link it does not); with
// `once`, as soon as the name is free.
bool Link(const std::string& link, const std::string& target, bool once = false);
int RunUnix(const std::string& command, const std::string& dir);  // sh -c COMMAND; its status, -1 when it never ends

// ---- The test server (tests/harness/testserver.py) ----
// "POST /ctl/reset", "POST /ctl/fault?path=...", "GET /ctl/log": true on 200, with the body in *body.
bool Ctl(const std::string& call, std::string* body = nullptr);
struct Request {
    std::string method, target, agent, contentType, stored, range;
    unsigned long long bodyBytes = 0;
    int status = 0, connection = 0;
};
std::vector<Request> ServerLog();
int Requests(const std::vector<Request>& log, const std::string& targetPrefix);
bool ServeRelease(const std::string& dir);  // faults and log cleared, serving the release tree in `dir`

// ---- Releases ----
struct File {
    std::string path, content;  // path as the manifest names it
};
std::string ReleaseId(const std::string& name);  // 32 hex digits, stable per name
std::string ManifestText(const std::string& id, const std::vector<File>& files);
bool WriteRelease(const std::string& dir, const std::string& id, const std::vector<File>& files);
bool Install(const std::string& dir, const std::vector<File>& files);
testing::AssertionResult HasFiles(const std::string& dir, const std::vector<File>& files);

// ---- Other programs ----
struct Program {
    PROCESS_INFORMATION pi{};
    // Starts "exe args" in cwd (default: the exe's folder), with showCommand unless -1; with an event, waits until
    // the program sets it.
    bool Start(const std::string& exe, const std::string& args, const std::string& cwd = "", bool ready = false,
               int showCommand = -1);
    DWORD Wait(DWORD ms);  // exit code, or STILL_ACTIVE
    void Kill();
    ~Program();
};
// The first message box up (waiting up to `ms`), and "caption|text"; NULL and "" when none came.
HWND ShownBox(std::string* captionAndText, DWORD ms);
// fake_client.exe (this build's, or `from`) as <dir>\System\ZQ.exe, in `mode`; the exe's path, "" on failure.
std::string InstallClient(const std::string& dir, const char* mode, const std::string& from = "");
std::vector<std::string> ClientStarts(const std::string& dir);  // "cmdline|cwd|token type" of each start
DWORD ClientPid(const std::string& dir);  // a running <dir>\System\ZQ.exe, or 0
// fake_client.exe in one of its meddling modes (hold, scribble, holdafter: see programs/fake_client.cpp), started
// and ready; the path arguments are quoted here.
bool Meddle(Program* p, const char* mode, const std::string& path, const std::string& more = "",
            const std::string& path2 = "", const char* share = "");
inline bool Hold(Program* p, const std::string& path, const char* share) { return Meddle(p, "hold", path, share); }
inline bool HoldAfterMove(Program* p, const std::string& trigger, size_t size, const std::string& path, const char* share) {
    return Meddle(p, "holdafter", trigger, std::to_string(size), path, share);
}

// ---- The launcher in this process: its real main window, with g_shell.installDir at `dir` ----
struct LauncherTest : testing::Test {
    HWND window = NULL;
    std::string dir, releaseDir;
    std::vector<std::string> trail;  // every text the status line was given, in order
    void SetUp() override;
    void TearDown() override;
    void UseDir(const std::string& installDir);
    void Press(int id);  // as a click: returns when the command has run
    // Press, with the window probed meanwhile: the longest wait for an answer in ms (printed for the record).
    DWORD PressProbed(int id);
    std::string Status() const;
    std::string Trail() const;  // for failure messages
    bool Publish(const std::string& id, const std::vector<File>& files);  // served from releaseDir
    bool ResetServer() { return ServeRelease(releaseDir); }
};

// ---- The real exe as a process, copied into its install folder ----
struct LauncherProcess : Program {
    HWND window = NULL;
    bool Start(const std::string& dir, int showCommand = -1);
    std::string Status() const;
    void Click(int id);  // returns when the command has run
    void Post(int id);   // returns at once
    bool WaitStatus(const std::string& prefix, DWORD ms) const;
};

// The small disk (a 256 MiB tmpfs as drive S:), wiped, with a folder "game" on it; "" when the test bed has none.
std::string SmallDisk();
// Fills the small disk until exactly `leave` bytes are free (a multiple of 4096; 0: full).
bool FillDisk(unsigned long long leave);

#pragma once
// Helpers shared by the Wine test suite: fresh install folders, files, the launcher process, the test server.
#include <windows.h>

#include <string>
#include <vector>

// A new, empty folder for the current test on the test drive (T:), e.g. "T:\Suite.Name". Removes leftovers first.
std::string FreshTestDir(const char* suffix = "");
std::string JoinPath(const std::string& dir, const std::string& name);
std::string UnixPath(const std::string& winPath);  // Windows path on the test drive -> path the native server sees
std::string BinDir();                               // the win64 build directory, as a Windows path
std::string DescribeFile(const std::string& path);  // for failure messages

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string* bytes);
bool FileExists(const std::string& path);
bool DirExists(const std::string& path);
void RemoveTree(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);  // names, sorted; empty when missing

std::string WindowText(HWND hwnd);


// The real launcher, copied into an install folder and started as its own process.
struct LauncherProcess {
    PROCESS_INFORMATION pi{};
    HWND window = NULL;
    std::string installDir;

    // Copies veq-launcher.exe into installDir and starts it; waits until its main window exists.
    bool Start(const std::string& installDir, WORD showWindow = SW_SHOWNORMAL, bool useShowWindow = true);
    HWND Control(int id) const { return GetDlgItem(window, id); }
    std::string Status() const;
    // Presses a button the way a click does (BM_CLICK), and waits until the launcher is idle again.
    void Click(int id);
    // Sends WM_COMMAND and returns once the launcher has handled it.
    LRESULT Command(WPARAM wp);
    // Waits for the process to end; returns its exit code, or STILL_ACTIVE on time-out.
    DWORD WaitExit(DWORD ms);
    void Kill();
    ~LauncherProcess();
};

// Waits until pred() holds or ms elapse, pumping this thread's messages meanwhile.
bool WaitFor(bool (*pred)(void*), void* arg, DWORD ms);

// Control channel of the test HTTPS server (plain HTTP on 127.0.0.1:8081). Returns the body; "" on failure.
std::string ServerCtl(const char* method, const std::string& pathAndQuery);
void ServerReset();
std::string ServerLog();

inline std::string StatusTextOf(HWND mainWindow) { return WindowText(GetDlgItem(mainWindow, 2001)); }

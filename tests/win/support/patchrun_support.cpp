#include "support/patchrun_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "shell/shell.h"
#include "support/test_support.h"

static StatusTrail* s_trail;
static WNDPROC s_statusProc;

static LRESULT CALLBACK RecordingStatusProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_SETTEXT && s_trail && lp) s_trail->texts.push_back((const char*)lp);
    return CallWindowProcA(s_statusProc, hwnd, msg, wp, lp);
}

void StatusTrail::Attach(HWND statusLine) {
    control = statusLine;
    s_trail = this;
    s_statusProc = (WNDPROC)SetWindowLongPtrA(statusLine, GWLP_WNDPROC, (LONG_PTR)RecordingStatusProc);
}

void StatusTrail::Detach() {
    if (control && IsWindow(control) && s_statusProc) SetWindowLongPtrA(control, GWLP_WNDPROC, (LONG_PTR)s_statusProc);
    control = NULL;
    s_trail = NULL;
}

bool StatusTrail::Saw(const std::string& text) const {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string StatusTrail::Joined() const {
    std::string all;
    for (const std::string& t : texts) all += "  [" + t + "]\n";
    return all;
}

void PatchRunFixture::SetUp() {
    g_shell.busy = 0;
    window = CreateMainWindow(GetModuleHandleA(NULL));
    ASSERT_TRUE(window != NULL);
    trail.Attach(g_shell.statusLine);
    UseInstallDir(FreshTestDir());
    releaseDir = FreshTestDir("-release");
    ServerReset();
}

void PatchRunFixture::TearDown() {
    trail.Detach();
    g_shell.busy = 0;
    if (IsWindow(window)) DestroyWindow(window);
    g_shell.statusLine = NULL;
    g_shell.mainWindow = NULL;
    MSG m;
    while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {}
}

void PatchRunFixture::UseInstallDir(const std::string& installDir) {
    dir = installDir;
    snprintf(g_shell.installDir, sizeof g_shell.installDir, "%s", dir.c_str());
}

void PatchRunFixture::Publish(const std::string& releaseId, const std::vector<ReleaseFile>& files) {
    ASSERT_TRUE(WriteRelease(releaseDir, releaseId, files));
    ASSERT_TRUE(ServeRelease(releaseDir)) << "test server control not reachable";
}

std::string PatchRunFixture::Status() const { return StatusTextOf(window); }

std::string SeededBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

std::string FileIn(const std::string& dir, const std::string& relPath) {
    std::string p = dir + "\\" + relPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

std::string ReadAll(const std::string& path) {
    std::string b;
    return ReadFileBytes(path, &b) ? b : std::string("<missing>");
}

std::string DirOfLength(const std::string& parent, size_t len) {
    std::string d = parent + "\\" + std::string(len - parent.size() - 1, 'x');
    CreateDirectoryA(d.c_str(), NULL);
    return d;
}

std::vector<std::string> BackupDirs(const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& n : ListDir(dir + "\\patch-backups"))
        if (n.compare(0, 6, "delta-") == 0) found.push_back(dir + "\\patch-backups\\" + n);
    return found;
}

bool SetServerFault(const std::string& query) { return !ServerCtl("POST", "/ctl/fault?" + query).empty(); }

static int CountLines(const std::string& log, const std::string& prefix) {
    int n = 0;
    size_t pos = 0;
    while ((pos = log.find(prefix, pos)) != std::string::npos) {
        if (pos == 0 || log[pos - 1] == '\n') n++;
        pos += prefix.size();
    }
    return n;
}

int BlobRequests(const std::string& log, const std::string& digest) {
    return CountLines(log, "GET\t/patch/blobs/" + digest);
}

int ManifestRequests(const std::string& log) { return CountLines(log, "GET\t/patch/manifest.tsv"); }

bool OtherProgram::Start(const std::string& exe, const std::string& args, bool readyEvent) {
    static unsigned serial;
    char eventName[64] = "";
    HANDLE ready = NULL;
    std::string cmd = "\"" + exe + "\" " + args;
    if (readyEvent) {
        snprintf(eventName, sizeof eventName, "veq-test-ready-%lu-%u", GetCurrentProcessId(), ++serial);
        ready = CreateEventA(NULL, TRUE, FALSE, eventName);
        cmd += std::string(" ") + eventName;
    }
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    bool ok = CreateProcessA(exe.c_str(), &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi) != 0;
    if (ok && ready) {
        HANDLE both[2] = {ready, pi.hProcess};
        ok = WaitForMultipleObjects(2, both, FALSE, 10000) == WAIT_OBJECT_0;
    }
    if (ready) CloseHandle(ready);
    return ok;
}

DWORD OtherProgram::Wait(DWORD ms) {
    if (!pi.hProcess) return STILL_ACTIVE;
    WaitForSingleObject(pi.hProcess, ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

void OtherProgram::Kill() {
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
}

OtherProgram::~OtherProgram() {
    Kill();
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
}

bool StartRunningClient(OtherProgram* p, const std::string& dir, const std::string& relExe) {
    std::string exe = FileIn(dir, relExe);
    std::string folder = exe.substr(0, exe.rfind('\\'));
    CreateDirectoryA(folder.c_str(), NULL);
    if (!CopyFileA(JoinPath(BinDir(), "fake_client.exe").c_str(), exe.c_str(), FALSE)) return false;
    if (!WriteFileBytes(folder + "\\fake-client.mode", "run")) return false;
    if (!p->Start(exe, "", false)) return false;
    // Running once it has logged its start: ToolHelp sees it from then on.
    for (int i = 0; i < 500; i++) {
        if (FileExists(folder + "\\fake-client.out")) return true;
        Sleep(20);
    }
    return false;
}

static std::string HolderExe() { return JoinPath(BinDir(), "file_holder.exe"); }

bool HoldFile(OtherProgram* p, const std::string& path, const char* share) {
    return p->Start(HolderExe(), "hold \"" + path + "\" " + share, true);
}

bool ScribbleAfterMove(OtherProgram* p, const std::string& path, unsigned long long size) {
    return p->Start(HolderExe(), "scribble \"" + path + "\" " + std::to_string(size), true);
}

std::string SmallDiskDir() {
    const char* root = getenv("VEQ_SMALL_DISK");
    if (!root || !*root) return "";
    for (const std::string& n : ListDir(root)) RemoveTree(std::string(root) + "\\" + n);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string dir = std::string(root) + "\\" + info->test_suite_name() + "." + info->name();
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

unsigned long long FreeBytes(const std::string& dir) {
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExA(dir.c_str(), &avail, NULL, NULL)) return 0;
    return avail.QuadPart;
}

bool FillDisk(const std::string& fillerPath, unsigned long long leave) {
    FILE* f = fopen(fillerPath.c_str(), "wb");
    if (!f) return false;
    static char block[64 * 1024];
    memset(block, 'f', sizeof block);
    unsigned long long free = FreeBytes(fillerPath.substr(0, 3));
    if (leave > 0) {
        // tmpfs hands out whole pages, so writing exactly the difference leaves exactly `leave` free.
        unsigned long long todo = free > leave ? free - leave : 0;
        while (todo > 0) {
            size_t n = (size_t)std::min<unsigned long long>(todo, sizeof block);
            if (fwrite(block, 1, n, f) != n) break;
            todo -= n;
        }
    } else {
        while (fwrite(block, 1, 4096, f) == 4096 && fflush(f) == 0) {}
    }
    fclose(f);
    return FreeBytes(fillerPath.substr(0, 3)) == leave;
}

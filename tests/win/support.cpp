#include "support.h"

#include <tlhelp32.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "bench/window_probe.h"
#include "shell/shell.h"

static std::string Env(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

std::string FreshDir(const std::string& suffix) {
    const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
    // A root per build: the two builds run the same tests, and Wine cannot always remove what links leave.
    std::string root = Env("VEQ_TEST_ROOT", "T:") + (sizeof(void*) == 8 ? "\\64" : "\\32");
    CreateDirectoryA(root.c_str(), NULL);
    std::string dir = root + "\\" + t->test_suite_name() + "." + t->name() + suffix;
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

std::string In(const std::string& dir, const std::string& rel) {
    std::string p = dir + "\\" + rel;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

std::string UnixPath(const std::string& winPath) {
    std::string rest = winPath.substr(2), drive = winPath.substr(0, 2);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    if (drive == "Z:") return rest;
    return Env(drive == "S:" ? "VEQ_SMALL_DISK_UNIX" : "VEQ_TEST_ROOT_UNIX", "/none") + rest;
}

std::string BinDir() {
    std::string d = "Z:" + Env("VEQ_BIN_DIR", "/none");
    std::replace(d.begin(), d.end(), '/', '\\');
    return d;
}

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        s[i] = (char)(x >> 24);
    }
    return s;
}

bool Write(const std::string& path, const std::string& bytes) {
    for (size_t i = 3; (i = path.find('\\', i)) != std::string::npos; i++) CreateDirectoryA(path.substr(0, i).c_str(), NULL);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return f ? std::string(std::istreambuf_iterator<char>(f), {}) : "<missing>";
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (strcmp(fd.cFileName, ".") && strcmp(fd.cFileName, "..")) names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesA(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    if (a & FILE_ATTRIBUTE_DIRECTORY) {
        if (!(a & FILE_ATTRIBUTE_REPARSE_POINT))  // a link goes, never what it points to
            for (const std::string& n : List(path)) RemoveTree(path + "\\" + n);
        RemoveDirectoryA(path.c_str());
    } else {
        DeleteFileA(path.c_str());
    }
}

std::string Sha256(const std::string& bytes) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    BYTE v[32];
    DWORD len = sizeof v;
    std::string hex;
    if (CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, (const BYTE*)bytes.data(), (DWORD)bytes.size(), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, v, &len, 0))
        for (BYTE b : v) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    if (hash) CryptDestroyHash(hash);
    if (prov) CryptReleaseContext(prov, 0);
    return hex;
}

// Wine starts a Unix program from a Unix path, but its handle is no way to wait for it.
static bool StartUnix(std::string cmd) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// The shell says when the command is done through a file. It may not hold double quotes; its output goes to
// <dir>\unix.log.
int RunUnix(const std::string& command, const std::string& dir) {
    const std::string done = UnixPath(dir) + "/unix.status";
    DeleteFileA(In(dir, "unix.status").c_str());
    if (!StartUnix("/bin/sh -c \"(" + command + ") >'" + UnixPath(dir) + "/unix.log' 2>&1; echo $? >'" + done +
                   ".tmp' && mv '" + done + ".tmp' '" + done + "'\""))
        return -1;
    for (int i = 0; i < 6000 && !Exists(In(dir, "unix.status")); i++) Sleep(20);
    return Exists(In(dir, "unix.status")) ? atoi(Read(In(dir, "unix.status")).c_str()) : -1;
}

// Wine 8 has CreateSymbolicLinkA succeed without making anything, but reports a Unix symbolic link to a folder as a
// reparse point, as Windows does its own links: so links are made with ln, through Wine's start of a Unix program.
// With `once`, the link is made as soon as nothing stands at its name any more (up to 20 s), by a program that
// already runs: no later than a moment after another program moved the folder there away.
bool Link(const std::string& link, const std::string& target, bool once) {
    std::string ln = "ln -s \"" + UnixPath(target) + "\" \"" + UnixPath(link) + "\"";
    std::string cmd = once ? "/usr/bin/timeout 20 /bin/sh -c \"while [ -e '" + UnixPath(link) + "' ]; do :; done; " + ln + "\""
                           : "/bin/" + ln;
    if (!StartUnix(cmd)) return false;
    // Wait for the link itself.
    for (int i = 0; i < 250 && !once; i++, Sleep(20))
        if (GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    return once;
}

bool Ctl(const std::string& call, std::string* body) {
    size_t space = call.find(' ');
    std::wstring method(call.begin(), call.begin() + space), path(call.begin() + space + 1, call.end());
    HINTERNET s = WinHttpOpen(L"veq-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, NULL, NULL, 0);
    HINTERNET c = s ? WinHttpConnect(s, L"127.0.0.1", 8081, 0) : NULL;
    HINTERNET r = c ? WinHttpOpenRequest(c, method.c_str(), path.c_str(), NULL, NULL, NULL, 0) : NULL;
    DWORD status = 0, len = sizeof status, got = 0;
    char buf[65536];
    std::string text;
    if (r && WinHttpSendRequest(r, NULL, 0, NULL, 0, 0, 0) && WinHttpReceiveResponse(r, NULL))
        WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, NULL, &status, &len, NULL);
    while (status && WinHttpReadData(r, buf, sizeof buf, &got) && got > 0) text.append(buf, got);
    if (r) WinHttpCloseHandle(r);
    if (c) WinHttpCloseHandle(c);
    if (s) WinHttpCloseHandle(s);
    if (body) *body = text;
    return status == 200;
}

std::vector<Request> ServerLog() {
    std::vector<Request> log;
    std::string text, line, bytes, status, connection;
    Ctl("GET /ctl/log", &text);
    std::istringstream lines(text);
    while (std::getline(lines, line)) {
        Request r;
        std::istringstream f(line);
        for (std::string* field : {&r.method, &r.target, &r.agent, &r.contentType, &bytes, &status, &r.stored, &r.range})
            std::getline(f, *field, '\t');
        std::getline(f, connection);
        r.bodyBytes = strtoull(bytes.c_str(), NULL, 10), r.status = atoi(status.c_str()), r.connection = atoi(connection.c_str());
        log.push_back(r);
    }
    return log;
}

int Requests(const std::vector<Request>& log, const std::string& targetPrefix) {
    int n = 0;
    for (const Request& r : log) n += r.target.compare(0, targetPrefix.size(), targetPrefix) == 0;
    return n;
}

bool ServeRelease(const std::string& dir) {
    return Ctl("POST /ctl/reset") && Ctl("POST /ctl/release?dir=" + UnixPath(dir));
}

std::string ReleaseId(const std::string& name) { return Sha256(name).substr(0, 32); }

std::string ManifestText(const std::string& id, const std::vector<File>& files) {
    std::string m = "VEQPATCH1\t" + id + "\n";
    for (const File& f : files) m += Sha256(f.content) + "\t" + std::to_string(f.content.size()) + "\t" + f.path + "\n";
    return m;
}

bool WriteRelease(const std::string& dir, const std::string& id, const std::vector<File>& files) {
    for (const File& f : files)
        if (!Write(dir + "\\patch\\blobs\\" + Sha256(f.content), f.content)) return false;
    return Write(dir + "\\patch\\manifest.tsv", ManifestText(id, files));
}

bool Install(const std::string& dir, const std::vector<File>& files) {
    for (const File& f : files)
        if (!Write(In(dir, f.path), f.content)) return false;
    return true;
}

testing::AssertionResult HasFiles(const std::string& dir, const std::vector<File>& files) {
    std::string why;
    for (const File& f : files) {
        std::string have = Read(In(dir, f.path));
        if (have != f.content) why += f.path + (have == "<missing>" ? " missing; " : " differs; ");
    }
    return why.empty() ? testing::AssertionSuccess() : testing::AssertionFailure() << why;
}

bool Program::Start(const std::string& exe, const std::string& args, const std::string& cwd, bool ready,
                    int showCommand) {
    char event[64] = "";
    HANDLE e = NULL;
    std::string cmd = "\"" + exe + "\" " + args;
    if (ready) {
        snprintf(event, sizeof event, "veq-ready-%lu-%lu", GetCurrentProcessId(), GetTickCount());
        e = CreateEventA(NULL, TRUE, FALSE, event);
        cmd += std::string(" ") + event;
    }
    std::string dir = cwd.empty() ? exe.substr(0, exe.rfind('\\')) : cwd;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (showCommand >= 0) si.dwFlags = STARTF_USESHOWWINDOW, si.wShowWindow = (WORD)showCommand;
    bool ok = CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, dir.c_str(), &si, &pi) &&
              (!e || WaitForSingleObject(e, 10000) == WAIT_OBJECT_0);
    if (e) CloseHandle(e);
    return ok;
}

DWORD Program::Wait(DWORD ms) {
    DWORD code = STILL_ACTIVE;
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

void Program::Kill() {
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
}

Program::~Program() {
    Kill();
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
}

std::string InstallClient(const std::string& dir, const char* mode, const std::string& from) {
    std::string exe = In(dir, "System/ZQ.exe");
    CreateDirectoryA(In(dir, "System").c_str(), NULL);
    bool ok = CopyFileA((from.empty() ? BinDir() + "\\fake_client.exe" : from).c_str(), exe.c_str(), FALSE) &&
              Write(In(dir, "System/fake-client.mode"), mode);
    return ok ? exe : "";
}

std::vector<std::string> ClientStarts(const std::string& dir) {
    std::vector<std::string> starts;
    std::istringstream text(Read(In(dir, "System/fake-client.out")));
    for (std::string line, cmdline, token; std::getline(text, line);) {
        if (line.compare(0, 8, "cmdline=") == 0) cmdline = line.substr(8);
        if (line.compare(0, 6, "token=") == 0) token = line.substr(6);
        if (line.compare(0, 4, "cwd=") == 0) starts.push_back(cmdline + "|" + line.substr(4) + "|" + token);
    }
    return starts;
}

DWORD ClientPid(const std::string& dir) {
    DWORD pid = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e = {};
    e.dwSize = sizeof e;
    for (BOOL more = Process32First(snap, &e); more && !pid; more = Process32Next(snap, &e)) {
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
        char image[MAX_PATH] = "";
        DWORD len = sizeof image;
        if (p && QueryFullProcessImageNameA(p, 0, image, &len) && _stricmp(image, In(dir, "System/ZQ.exe").c_str()) == 0)
            pid = e.th32ProcessID;
        if (p) CloseHandle(p);
    }
    CloseHandle(snap);
    return pid;
}

bool Meddle(Program* p, const char* mode, const std::string& path, const std::string& more, const std::string& path2,
            const char* share) {
    std::string args = std::string(mode) + " \"" + path + "\" " + more + (path2.empty() ? "" : " \"" + path2 + "\" " + share);
    return p->Start(BinDir() + "\\fake_client.exe", args, "", true);
}

HWND ShownBox(std::string* captionAndText, DWORD ms) {
    char caption[64] = "", text[512] = "";
    HWND box = NULL;
    for (DWORD start = GetTickCount(); !box && GetTickCount() - start < ms; Sleep(20)) {
        box = FindWindowA("#32770", NULL);  // read once it is up: its text control, in Windows and Wine
        if (box && !(IsWindowVisible(box) && GetDlgItemTextA(box, 0xFFFF, text, sizeof text))) box = NULL;
    }
    GetWindowTextA(box, caption, sizeof caption);
    *captionAndText = box ? std::string(caption) + "|" + text : "";
    return box;
}

// ---- The launcher in this process ----

static std::string StatusOf(HWND window) {
    char text[1024] = "";
    GetWindowTextA(GetDlgItem(window, 2001), text, sizeof text);
    return text;
}

static std::vector<std::string>* s_trail;
static WNDPROC s_statusProc;

static LRESULT CALLBACK RecordStatus(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_SETTEXT && s_trail) s_trail->push_back((const char*)lp);
    return CallWindowProcA(s_statusProc, hwnd, msg, wp, lp);
}

void LauncherTest::SetUp() {
    releaseDir = FreshDir("-release");
    ASSERT_TRUE(ResetServer()) << "the test server does not answer";
    UseDir(FreshDir());
    window = CreateMainWindow(GetModuleHandleA(NULL));
    ASSERT_TRUE(window != NULL);
    s_trail = &trail;
    s_statusProc = (WNDPROC)SetWindowLongPtrA(g_shell.statusLine, GWLP_WNDPROC, (LONG_PTR)RecordStatus);
}

void LauncherTest::TearDown() {
    s_trail = NULL;
    if (window) DestroyWindow(window);
    MSG m;
    while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

void LauncherTest::UseDir(const std::string& installDir) {
    dir = installDir;
    snprintf(g_shell.installDir, sizeof g_shell.installDir, "%s", dir.c_str());
}

void LauncherTest::Press(int id) { SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

DWORD LauncherTest::PressProbed(int id) {
    WindowProbe probe(window);
    Press(id);
    DWORD longest = probe.Stop();
    printf("longest wait %lu ms over %d answers\n", longest, probe.answers);
    EXPECT_GT(probe.answers, 5) << "the window never answered while the command ran";
    return longest;
}

std::string LauncherTest::Status() const { return StatusOf(window); }

std::string LauncherTest::Trail() const {
    std::string all;
    for (const std::string& t : trail) all += "\n  " + t;
    return all;
}

bool LauncherTest::Publish(const std::string& id, const std::vector<File>& files) {
    return WriteRelease(releaseDir, id, files);
}

// ---- The real exe as a process ----

static BOOL CALLBACK FindMain(HWND hwnd, LPARAM lp) {
    LauncherProcess* l = (LauncherProcess*)lp;
    DWORD pid = 0;
    char cls[32] = "";
    GetWindowThreadProcessId(hwnd, &pid);
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid != l->pi.dwProcessId || strcmp(cls, "TARQOLauncher") != 0) return TRUE;
    l->window = hwnd;
    return FALSE;
}

bool LauncherProcess::Start(const std::string& dir, int showCommand) {
    std::string exe = dir + "\\veq-launcher.exe";
    // Already there when another launcher runs from the same folder through another path.
    if (!CopyFileA((BinDir() + "\\veq-launcher.exe").c_str(), exe.c_str(), FALSE) && !Exists(exe)) return false;
    if (!Program::Start(exe, "", dir, false, showCommand)) return false;
    for (int i = 0; i < 750 && !window; i++) {
        EnumWindows(FindMain, (LPARAM)this);
        if (!window) Sleep(20);
    }
    WaitForInputIdle(pi.hProcess, 15000);  // shown, and in its message loop
    return window != NULL;
}

std::string LauncherProcess::Status() const { return StatusOf(window); }

void LauncherProcess::Click(int id) {
    DWORD_PTR result;
    SendMessageTimeoutA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0, SMTO_NORMAL, 170000, &result);
}

void LauncherProcess::Post(int id) { PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

bool LauncherProcess::WaitStatus(const std::string& prefix, DWORD ms) const {
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(5))
        if (Status().compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::string SmallDisk() {
    std::string root = Env("VEQ_SMALL_DISK", "");
    if (root.empty()) return "";
    for (const std::string& n : List(root + "\\")) RemoveTree(root + "\\" + n);
    CreateDirectoryA((root + "\\game").c_str(), NULL);
    return root + "\\game";
}

bool FillDisk(unsigned long long leave) {
    std::string root = Env("VEQ_SMALL_DISK", "S:") + "\\";
    ULARGE_INTEGER free;
    if (!GetDiskFreeSpaceExA(root.c_str(), &free, NULL, NULL) || free.QuadPart < leave) return false;
    FILE* f = fopen((root + "filler").c_str(), "ab");
    static char zeros[65536];
    for (unsigned long long left = free.QuadPart - leave; f && left > 0; left -= left < sizeof zeros ? left : sizeof zeros)
        if (fwrite(zeros, 1, left < sizeof zeros ? (size_t)left : sizeof zeros, f) == 0) break;
    if (f) fclose(f);
    return f && GetDiskFreeSpaceExA(root.c_str(), &free, NULL, NULL) && (leave == 0 || free.QuadPart == leave);
}

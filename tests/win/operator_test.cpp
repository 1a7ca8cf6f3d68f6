// The operator's path end to end: a release published by veq-publish (the build makes one from the demo client,
// in native/tools/demo), served over HTTPS, and the real launcher process updating an older install from it.
// OperatorNginx runs only from the native test operator.nginx-update, which serves the same release with nginx
// on 127.0.0.1:443 in a network namespace of its own.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "shell/shell.h"
#include "support/test_support.h"

namespace {

// native/tools/demo of this build tree, as the Unix path and as the Z: path Wine sees.
std::string DemoUnixDir() {
    const char* bin = getenv("VEQ_BIN_DIR");  // .../win64
    std::string dir = bin ? bin : "/nonexistent/win64";
    return dir.substr(0, dir.find_last_of('/')) + "/native/tools/demo";
}

std::string WinPath(const std::string& unixPath) {
    std::string p = "Z:" + unixPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

std::string Demo(const std::string& rel) { return WinPath(DemoUnixDir() + "/" + rel); }

std::string Bytes(const std::string& path) {
    std::string b;
    return ReadFileBytes(path, &b) ? b : "<missing " + path + ">";
}

// Relative paths ('\') of every file under dir.
void ListTree(const std::string& dir, const std::string& rel, std::vector<std::string>* out) {
    WIN32_FIND_DATAA fd;
    std::string base = rel.empty() ? dir : JoinPath(dir, rel);
    HANDLE h = FindFirstFileA((base + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        std::string childRel = rel.empty() ? name : rel + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(dir, childRel, out);
        else out->push_back(childRel);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

bool CopyTree(const std::string& from, const std::string& to) {
    std::vector<std::string> files;
    ListTree(from, "", &files);
    for (const std::string& rel : files) {
        std::string dest = JoinPath(to, rel);
        for (size_t i = to.size() + 1; i < dest.size(); i++)
            if (dest[i] == '\\') CreateDirectoryA(dest.substr(0, i).c_str(), NULL);
        if (!CopyFileA(JoinPath(from, rel).c_str(), dest.c_str(), FALSE)) return false;
    }
    return !files.empty();
}

struct Entry {
    std::string digest, path;  // path with '/'
};

// The published manifest, read the simple way: the launcher's own loader is what the update itself exercises.
std::vector<Entry> PublishedEntries() {
    std::vector<Entry> entries;
    std::string text = Bytes(Demo("release/patch/manifest.tsv"));
    size_t pos = text.find('\n');
    while (pos != std::string::npos && pos + 1 < text.size()) {
        size_t end = text.find('\n', pos + 1);
        std::string line = text.substr(pos + 1, end - pos - 1);
        size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos) break;
        entries.push_back({ line.substr(0, t1), line.substr(t2 + 1) });
        pos = end;
    }
    return entries;
}

// Equal bytes, reported by size and first difference: the files are megabytes of binary data.
testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want) return testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) i++;
    return testing::AssertionFailure() << got.size() << " bytes, want " << want.size() << ", first difference at "
                                       << i;
}

std::string Backslashes(std::string s) {
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

// Digests of the blobs fetched, from the test server's log, one per request.
std::multiset<std::string> BlobRequests(const std::string& log) {
    std::multiset<std::string> blobs;
    const std::string prefix = "GET\t/patch/blobs/";
    for (size_t pos = log.find(prefix); pos != std::string::npos; pos = log.find(prefix, pos + 1))
        blobs.insert(log.substr(pos + prefix.size(), 64));
    return blobs;
}

size_t ManifestRequests(const std::string& log) {
    size_t n = 0;
    for (size_t pos = log.find("GET\t/patch/manifest.tsv"); pos != std::string::npos;
         pos = log.find("GET\t/patch/manifest.tsv", pos + 1))
        n++;
    return n;
}

// The install folder a player has: the older demo client with the launcher beside it.
std::string OldInstall() {
    std::string dir = FreshTestDir();
    EXPECT_TRUE(CopyTree(Demo("client-old"), dir)) << "no demo client at " << Demo("client-old")
                                                   << " (the native build makes it)";
    return dir;
}

// Every file the release names holds the published bytes: the demo client's own, and for autoupdate.ini the
// rewritten file veq-publish published. Files the release does not name are as the old client had them.
void ExpectClientIsTheRelease(const std::string& dir) {
    std::vector<Entry> entries = PublishedEntries();
    ASSERT_EQ(entries.size(), 13u) << "demo release changed? " << Demo("release/patch/manifest.tsv");
    std::set<std::string> named;
    for (const Entry& e : entries) {
        std::string installed = Bytes(JoinPath(dir, Backslashes(e.path)));
        EXPECT_TRUE(SameBytes(installed, Bytes(Demo("release/patch/blobs/" + e.digest)))) << e.path;
        if (e.path != "autoupdate.ini") {
            EXPECT_TRUE(SameBytes(installed, Bytes(Demo("client/" + e.path)))) << e.path;
        }
        named.insert(Backslashes(e.path));
    }
    std::string ini = Bytes(JoinPath(dir, "autoupdate.ini"));
    EXPECT_NE(ini.find(std::string("\r\nBishopIP=") + kServiceHost + "\r\nBishopPort=7451\r\n"), std::string::npos)
        << ini;
    EXPECT_NE(ini.find("ShowIntro=0\r\n"), std::string::npos) << "the newer client's own line: " << ini;

    std::vector<std::string> old;
    ListTree(Demo("client-old"), "", &old);
    for (const std::string& rel : old) {
        if (named.count(rel)) continue;
        EXPECT_TRUE(SameBytes(Bytes(JoinPath(dir, rel)), Bytes(JoinPath(Demo("client-old"), rel)))) << rel;
    }
}

// The patch run in this process against the same install: its own status line says whether anything differs.
// Called while the launcher process still runs: a window made here after the last window of the test bed's
// desktop is gone can meet that desktop shutting down, and a window kept here through the launcher's exit, with
// this thread not pumping, can hold up the messages that exit sends.
std::string PatchRunStatus(const std::string& dir) {
    HWND w = CreateMainWindow(GetModuleHandleA(NULL));
    if (!w) return "no window";
    lstrcpynA(g_shell.installDir, dir.c_str(), sizeof g_shell.installDir);
    int ok = RunPatch();
    std::string status = StatusTextOf(w);
    DestroyWindow(w);
    g_shell.statusLine = NULL;
    g_shell.mainWindow = NULL;
    return (ok ? "ok: " : "failed: ") + status;
}

// Wine starts its desktop process for whichever process first needs the desktop. If that is at once this test
// (looking for the launcher's window) and the launcher (making it), two start, and the one left over keeps this
// test's output pipe open until CTest gives up. So this process brings the desktop up first, alone.
void BringUpDesktop() {
    ASSERT_TRUE(GetDesktopWindow() != NULL);
    RECT r;
    GetWindowRect(GetDesktopWindow(), &r);
}

bool ProcessEnded(void* process) { return WaitForSingleObject((HANDLE)process, 0) == WAIT_OBJECT_0; }

// EXIT, then wait for the launcher to end while answering messages: this thread has had a window (the patch run
// above), and a launcher that is closing may send it messages.
DWORD ExitLauncher(LauncherProcess* launcher) {
    launcher->Click(1005);
    WaitFor(ProcessEnded, launcher->pi.hProcess, 10000);
    return launcher->WaitExit(0);
}

const std::string kPatched = std::string("Patched: 3 baris (Bishop ") + kServiceHost + ":7451)";
const std::string kCurrent = "ok: Client terkini. 13 fail disemak; tiada download.";

}  // namespace

TEST(Operator, PublishedReleaseBringsAnOldInstallToItByteForByte) {
    BringUpDesktop();
    ServerReset();
    ASSERT_FALSE(ServerCtl("POST", "/ctl/release?dir=" + DemoUnixDir() + "/release").empty());
    std::string dir = OldInstall();

    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(dir));
    launcher.Click(1003);
    EXPECT_EQ(launcher.Status(), kPatched) << "UPDATE CLIENT ends with the rewrite of autoupdate.ini";
    ExpectClientIsTheRelease(dir);

    // Only what differs was fetched, each blob once: the two equal textures share one download.
    std::map<std::string, std::string> oldByPath;
    std::multiset<std::string> changed;
    for (const Entry& e : PublishedEntries()) {
        std::string old = Bytes(JoinPath(Demo("client-old"), Backslashes(e.path)));
        if (old != Bytes(Demo("release/patch/blobs/" + e.digest)) && !changed.count(e.digest)) changed.insert(e.digest);
    }
    std::string log = ServerLog();
    EXPECT_EQ(BlobRequests(log), changed) << log;
    EXPECT_EQ(changed.size(), 7u);

    // Published already rewritten, autoupdate.ini is current after the launcher's own rewrite: a second
    // UPDATE CLIENT fetches the manifest and nothing else.
    ServerCtl("POST", "/ctl/reset");
    ASSERT_FALSE(ServerCtl("POST", "/ctl/release?dir=" + DemoUnixDir() + "/release").empty());
    launcher.Click(1003);
    EXPECT_EQ(launcher.Status(), kPatched);
    log = ServerLog();
    EXPECT_EQ(ManifestRequests(log), 1u) << log;
    EXPECT_TRUE(BlobRequests(log).empty()) << log;
    EXPECT_EQ(PatchRunStatus(dir), kCurrent);
    EXPECT_EQ(ExitLauncher(&launcher), 0u);
    ExpectClientIsTheRelease(dir);
}

TEST(Operator, PublishedReleaseInstallsIntoAnEmptyFolder) {
    BringUpDesktop();
    ServerReset();
    ASSERT_FALSE(ServerCtl("POST", "/ctl/release?dir=" + DemoUnixDir() + "/release").empty());
    std::string dir = FreshTestDir();
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(dir));
    launcher.Click(1003);
    EXPECT_EQ(launcher.Status(), kPatched);
    EXPECT_EQ(PatchRunStatus(dir), kCurrent);
    EXPECT_EQ(ExitLauncher(&launcher), 0u);
    for (const Entry& e : PublishedEntries()) {
        std::string published = Bytes(Demo("release/patch/blobs/" + e.digest));
        EXPECT_TRUE(SameBytes(Bytes(JoinPath(dir, Backslashes(e.path))), published)) << e.path;
    }
}

// Started by tests/operator/nginx-update with nginx on 127.0.0.1:443 and no test server.
TEST(OperatorNginx, DISABLED_OldInstallUpdatesFromNginx) {
    BringUpDesktop();
    std::string dir = OldInstall();
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(dir));
    launcher.Click(1003);
    EXPECT_EQ(launcher.Status(), kPatched);
    EXPECT_EQ(PatchRunStatus(dir), kCurrent);
    EXPECT_EQ(ExitLauncher(&launcher), 0u);
    ExpectClientIsTheRelease(dir);
}

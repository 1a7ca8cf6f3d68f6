// The patch run and UPDATE CLIENT under Wine, end to end against the test server: what ends up in the client
// folder, the cache, the backups and the journal, every status message in order, and the faults a run must survive
// (bad blobs, a running client, a full disk, files held or changed by other programs, a killed launcher).
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "shell/shell.h"
#include "support/patchrun_support.h"
#include "support/release_support.h"
#include "support/test_support.h"

namespace {

const char kInstallFailed[] = "Pemasangan patch gagal. Backup/fail asal dikekalkan; jangan buka game dahulu.";
const char kFolderTooLong[] = "Folder game terlalu panjang. Pindahkan game ke folder yang lebih pendek.";

std::string PatchedMessage(int lines) {
    return "Patched: " + std::to_string(lines) + " baris (Bishop " + kServiceHost + ":7451)";
}

std::string CacheDirOf(const std::string& dir, const std::string& id) { return dir + "\\patch-cache\\" + id; }

void PressUpdateClient(HWND window) { SendMessageA(window, WM_COMMAND, MAKEWPARAM(1003, BN_CLICKED), 0); }

// A client of `count` files under System/, of `size` bytes each, with contents that depend on `seed`.
std::vector<ReleaseFile> Client(const char* stem, int count, size_t size, unsigned seed) {
    std::vector<ReleaseFile> files;
    for (int i = 0; i < count; i++)
        files.push_back({std::string("System/") + stem + std::to_string(i) + ".u", SeededBytes(size, seed + i)});
    return files;
}

struct PatchRun : PatchRunFixture {};

TEST_F(PatchRun, AllCurrentNeedsNoDownloadNoBackupEvenWhileTheClientRuns) {
    std::vector<ReleaseFile> files = {{"System/Core.u", SeededBytes(1000, 1)},
                                      {"Textures/Big.utx", SeededBytes(200000, 2)},
                                      {"autoupdate.ini", "BishopIP=127.0.0.1\r\n"}};
    ASSERT_TRUE(InstallFiles(dir, files));
    std::string id = ReleaseId("all-current");
    Publish(id, files);
    OtherProgram client;
    ASSERT_TRUE(StartRunningClient(&client, dir, "System/ZQ.exe"));

    EXPECT_EQ(RunPatch(), 1);
    EXPECT_EQ(Status(), "Client terkini. 3 fail disemak; tiada download.");
    EXPECT_FALSE(DirExists(dir + "\\patch-backups"));
    EXPECT_EQ(Listing(dir + "\\patch-cache"), std::vector<std::string>{"manifest.tsv"});
    std::string log = ServerLog();
    EXPECT_EQ(ManifestRequests(log), 1) << log;
    EXPECT_EQ(log.find("/patch/blobs/"), std::string::npos) << log;
    EXPECT_EQ(g_shell.busy, 0);
    for (int id = 1001; id <= 1008; id++) EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, id))) << id;
}

// Changed entries at positions 0, 5 and 9 (9 in a folder that does not exist yet is new), the rest current.
TEST_F(PatchRun, ChangedNewAndUnchangedFilesTogether) {
    std::vector<ReleaseFile> now;
    for (int i = 0; i < 10; i++) now.push_back({"System/F" + std::to_string(i) + ".int", SeededBytes(100 + i, 10 + i)});
    now[0] = {"Textures/Zero.utx", SeededBytes(300000, 20)};  // several 64 KiB chunks
    now[5] = {"Sounds/New Dir/five.uax", SeededBytes(777, 25)};
    now[9] = {"Maps/Nine.ut2", SeededBytes(5000, 29)};
    std::vector<ReleaseFile> before = now;
    before[0].content = SeededBytes(1234, 30);
    before[9].content = SeededBytes(5000, 39);  // same size, other bytes
    before.erase(before.begin() + 5);
    ASSERT_TRUE(InstallFiles(dir, before));
    ASSERT_TRUE(WriteFileBytes(dir + "\\autoupdate.ini", "[Login]\r\nBishopIP=10.1.1.1\r\n"));
    std::string id = ReleaseId("together");
    Publish(id, now);

    PressUpdateClient(window);

    std::vector<std::string> expected = {"Semak manifest patch...",
                                         "Download 1 / 3: Textures/Zero.utx",
                                         "Download 2 / 3: Sounds/New Dir/five.uax",
                                         "Download 3 / 3: Maps/Nine.ut2",
                                         "Patch siap: 3 fail berubah, 7 fail sedia ada dikekalkan.",
                                         PatchedMessage(1)};
    EXPECT_EQ(trail.texts, expected) << trail.Joined();
    for (const ReleaseFile& f : now) {
        EXPECT_TRUE(ReadAll(FileIn(dir, f.path)) == f.content) << DescribeFile(FileIn(dir, f.path));
        EXPECT_FALSE(FileExists(FileIn(dir, f.path) + ".veq-new")) << f.path;
    }
    EXPECT_EQ(ReadAll(dir + "\\autoupdate.ini"), std::string("[Login]\r\nBishopIP=") + kServiceHost + "\r\n");

    std::vector<std::string> backups = BackupDirs(dir);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].find(dir + "\\patch-backups\\delta-" + id + "-"), 0u) << backups[0];
    EXPECT_EQ(Listing(backups[0]), (std::vector<std::string>{"0.bak", "9.bak", "files.tsv"}));
    EXPECT_EQ(ReadAll(backups[0] + "\\files.tsv"),
              "0\t1\tTextures/Zero.utx\n5\t0\tSounds/New Dir/five.uax\n9\t1\tMaps/Nine.ut2\n");
    EXPECT_TRUE(ReadAll(backups[0] + "\\0.bak") == before[0].content);
    EXPECT_TRUE(ReadAll(backups[0] + "\\9.bak") == before[8].content);

    std::vector<std::string> blobs = {Sha256Hex(now[0].content), Sha256Hex(now[5].content), Sha256Hex(now[9].content)};
    std::vector<std::string> sorted = blobs;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Listing(CacheDirOf(dir, id)), sorted);
    EXPECT_TRUE(ReadAll(CacheDirOf(dir, id) + "\\" + blobs[1]) == now[5].content);
    EXPECT_EQ(Listing(dir + "\\patch-cache"), (std::vector<std::string>{id, "manifest.tsv"}));
    EXPECT_EQ(ReadAll(dir + "\\patch-cache\\manifest.tsv"), ManifestText(id, now));
}

TEST_F(PatchRun, CachedBlobIsReusedWithoutARequestAndAStaleOneIsFetchedAgain) {
    std::vector<ReleaseFile> now = Client("Cached", 3, 4000, 40);
    ASSERT_TRUE(InstallFiles(dir, Client("Cached", 3, 4000, 50)));
    std::string id = ReleaseId("cached");
    Publish(id, now);
    std::string cache = CacheDirOf(dir, id);
    ASSERT_TRUE(CreateDirectoryA((dir + "\\patch-cache").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(cache.c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(cache + "\\" + Sha256Hex(now[0].content), now[0].content));
    ASSERT_TRUE(WriteFileBytes(cache + "\\" + Sha256Hex(now[1].content), SeededBytes(4000, 99)));  // stale

    EXPECT_EQ(RunPatch(), 1);
    std::string log = ServerLog();
    EXPECT_EQ(BlobRequests(log, Sha256Hex(now[0].content)), 0) << log;
    EXPECT_EQ(BlobRequests(log, Sha256Hex(now[1].content)), 1) << log;
    EXPECT_EQ(BlobRequests(log, Sha256Hex(now[2].content)), 1) << log;
    EXPECT_TRUE(trail.Saw("Download 1 / 3: System/Cached0.u")) << trail.Joined();
    EXPECT_EQ(Status(), "Patch siap: 3 fail berubah, 0 fail sedia ada dikekalkan.");
    for (const ReleaseFile& f : now) EXPECT_TRUE(ReadAll(FileIn(dir, f.path)) == f.content) << f.path;
    EXPECT_TRUE(ReadAll(cache + "\\" + Sha256Hex(now[1].content)) == now[1].content);
}

// The second of two changed files arrives wrong. Nothing in the client may change; the next run fetches it again.
TEST_F(PatchRun, BadBlobLeavesTheClientAloneAndIsFetchedAgain) {
    const struct {
        const char* why;
        int bodyDelta;  // 0: right size, wrong bytes
    } kCases[] = {{"wrong content", 0}, {"body one byte too long", 1}, {"body one byte too short", -1}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.why);
        UseInstallDir(FreshTestDir((std::string("-") + std::to_string(c.bodyDelta + 1)).c_str()));
        ServerReset();
        trail.texts.clear();
        std::vector<ReleaseFile> before = Client("Bad", 3, 70000, 60);
        std::vector<ReleaseFile> now = before;
        now[0].content = SeededBytes(70000, 70);
        now[1].content = SeededBytes(70000, 71);
        ASSERT_TRUE(InstallFiles(dir, before));
        std::string id = ReleaseId(c.why), bad = Sha256Hex(now[1].content);
        Publish(id, now);
        if (c.bodyDelta == 0)
            ASSERT_TRUE(WriteFileBytes(releaseDir + "\\patch\\blobs\\" + bad, SeededBytes(70000, 72)));
        else
            ASSERT_TRUE(SetServerFault("path=/patch/blobs/" + bad + "&body=" + std::to_string(70000 + c.bodyDelta)));

        EXPECT_EQ(RunPatch(), 0);
        EXPECT_EQ(Status(), "Checksum/download gagal: System/Bad1.u. Fail asal dikekalkan.");
        for (const ReleaseFile& f : before) {
            EXPECT_TRUE(ReadAll(FileIn(dir, f.path)) == f.content) << f.path;
            EXPECT_FALSE(FileExists(FileIn(dir, f.path) + ".veq-new")) << f.path;
        }
        EXPECT_FALSE(DirExists(dir + "\\patch-backups"));
        // A body of the wrong size never lands; one of the right size stays, and is never trusted again.
        EXPECT_EQ(FileExists(CacheDirOf(dir, id) + "\\" + bad), c.bodyDelta == 0);
        EXPECT_TRUE(ReadAll(CacheDirOf(dir, id) + "\\" + Sha256Hex(now[0].content)) == now[0].content);

        ServerReset();
        ASSERT_TRUE(WriteRelease(releaseDir, id, now));
        ASSERT_TRUE(ServeRelease(releaseDir));
        EXPECT_EQ(RunPatch(), 1) << trail.Joined();
        std::string log = ServerLog();
        EXPECT_EQ(BlobRequests(log, bad), 1) << log;
        EXPECT_EQ(BlobRequests(log, Sha256Hex(now[0].content)), 0) << log;
        for (const ReleaseFile& f : now) EXPECT_TRUE(ReadAll(FileIn(dir, f.path)) == f.content) << f.path;
    }
}

// Entries 0 (changed), 1 (new), 2 (current), 3 (changed: the third change) and 4 (changed).
struct RollbackCase {
    std::vector<ReleaseFile> before, now;
    RollbackCase(size_t thirdSize) {
        now = {{"System/A.u", SeededBytes(3000, 80)},
               {"Sounds/B.uax", SeededBytes(2000, 81)},
               {"System/Same.int", SeededBytes(500, 82)},
               {"Maps/D.ut2", SeededBytes(thirdSize, 83)},
               {"Textures/E.utx", SeededBytes(4000, 84)}};
        before = {{"System/A.u", SeededBytes(3001, 90)},
                  {"System/Same.int", now[2].content},
                  {"Maps/D.ut2", SeededBytes(6000, 93)},
                  {"Textures/E.utx", SeededBytes(4000, 94)}};
    }
    const std::string& Old(const char* path) const {
        for (const ReleaseFile& f : before)
            if (f.path == path) return f.content;
        static const std::string none = "<missing>";
        return none;
    }
};

void ExpectRolledBackJournal(const std::string& dir) {
    std::vector<std::string> backups = BackupDirs(dir);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(ReadAll(backups[0] + "\\files.tsv"),
              "0\t1\tSystem/A.u\n1\t0\tSounds/B.uax\n3\t1\tMaps/D.ut2\n4\t1\tTextures/E.utx\n");
    EXPECT_EQ(Listing(backups[0]), (std::vector<std::string>{"0.bak", "3.bak", "4.bak", "files.tsv"}));
}

// The third changed file is open in another program that allows reading (so it can be backed up) but not
// deleting, so the replacing move fails. The two files replaced before it are put back (A restored, the new B
// removed); D keeps its old bytes and its ".veq-new" stays; E was never touched. UPDATE CLIENT then leaves
// autoupdate.ini alone.
TEST_F(PatchRun, MoveFailureOnTheThirdChangeRollsBackTheFirstTwo) {
    RollbackCase c(7000);
    ASSERT_TRUE(InstallFiles(dir, c.before));
    ASSERT_TRUE(WriteFileBytes(dir + "\\autoupdate.ini", "BishopIP=10.1.1.1\r\n"));
    Publish(ReleaseId("move-fails"), c.now);
    OtherProgram holder;
    ASSERT_TRUE(HoldFile(&holder, FileIn(dir, "Maps/D.ut2"), "r"));

    PressUpdateClient(window);
    holder.Kill();

    EXPECT_EQ(Status(), kInstallFailed);
    EXPECT_EQ(trail.texts.back(), kInstallFailed) << trail.Joined();
    EXPECT_TRUE(ReadAll(FileIn(dir, "System/A.u")) == c.Old("System/A.u"));
    EXPECT_FALSE(FileExists(FileIn(dir, "Sounds/B.uax")));
    EXPECT_TRUE(ReadAll(FileIn(dir, "System/Same.int")) == c.now[2].content);
    EXPECT_TRUE(ReadAll(FileIn(dir, "Maps/D.ut2")) == c.Old("Maps/D.ut2"));
    EXPECT_TRUE(ReadAll(FileIn(dir, "Maps/D.ut2") + ".veq-new") == c.now[3].content);
    EXPECT_TRUE(ReadAll(FileIn(dir, "Textures/E.utx")) == c.Old("Textures/E.utx"));
    EXPECT_FALSE(FileExists(FileIn(dir, "Textures/E.utx") + ".veq-new"));
    ExpectRolledBackJournal(dir);
    EXPECT_EQ(ReadAll(dir + "\\autoupdate.ini"), "BishopIP=10.1.1.1\r\n");
    EXPECT_FALSE(FileExists(dir + "\\autoupdate.ini.bak"));
}

// The third changed file is moved into place, and another program (a scanner, the game) writes into it before
// the launcher has read it back: the verification catches it. All three replaced files are put back, including
// the one that failed; E was never touched. D is large so that reading it back outlasts the other program's
// reaction by far.
TEST_F(PatchRun, VerificationFailureOnTheThirdChangeRollsBackAllThree) {
    const size_t kThirdSize = 24 * 1024 * 1024;
    RollbackCase c(kThirdSize);
    ASSERT_TRUE(InstallFiles(dir, c.before));
    Publish(ReleaseId("verify-fails"), c.now);
    OtherProgram scribbler;
    ASSERT_TRUE(ScribbleAfterMove(&scribbler, FileIn(dir, "Maps/D.ut2"), kThirdSize));

    EXPECT_EQ(RunPatch(), 0);
    EXPECT_EQ(scribbler.Wait(10000), 0u) << "the other program never saw D in place";

    EXPECT_EQ(Status(), kInstallFailed);
    EXPECT_TRUE(ReadAll(FileIn(dir, "System/A.u")) == c.Old("System/A.u"));
    EXPECT_FALSE(FileExists(FileIn(dir, "Sounds/B.uax")));
    EXPECT_TRUE(ReadAll(FileIn(dir, "Maps/D.ut2")) == c.Old("Maps/D.ut2")) << DescribeFile(FileIn(dir, "Maps/D.ut2"));
    EXPECT_FALSE(FileExists(FileIn(dir, "Maps/D.ut2") + ".veq-new"));
    EXPECT_TRUE(ReadAll(FileIn(dir, "Textures/E.utx")) == c.Old("Textures/E.utx"));
    ExpectRolledBackJournal(dir);
}

struct StallWatch {
    std::string blob;
    HWND window;
    volatile LONG posted;
};

DWORD WINAPI PostCloseDuringDownload(void* arg) {
    StallWatch* w = (StallWatch*)arg;
    for (int i = 0; i < 1000; i++) {
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (GetFileAttributesExA(w->blob.c_str(), GetFileExInfoStandard, &a) && a.nFileSizeLow >= 65536) {
            PostMessageA(w->window, WM_CLOSE, 0, 0);
            PostMessageA(w->window, WM_COMMAND, MAKEWPARAM(1003, BN_CLICKED), 0);
            PostMessageA(w->window, WM_COMMAND, MAKEWPARAM(1005, BN_CLICKED), 0);  // EXIT
            InterlockedExchange(&w->posted, 1);
            return 0;
        }
        Sleep(10);
    }
    return 1;
}

// The server stalls a blob after its first 64 KiB; meanwhile the player closes the window and presses UPDATE
// CLIENT and EXIT. The run refuses the close with its message, ignores both commands, and goes on to the end.
TEST_F(PatchRun, CloseAndCommandsAreRefusedWhileADownloadStalls) {
    std::vector<ReleaseFile> now = {{"Music/Theme.ogg", SeededBytes(300000, 100)}};
    std::string id = ReleaseId("stall");
    Publish(id, now);
    std::string digest = Sha256Hex(now[0].content);
    ASSERT_TRUE(SetServerFault("path=/patch/blobs/" + digest + "&stall_ms=2500&stall_after=65536"));
    StallWatch watch = {CacheDirOf(dir, id) + "\\" + digest, window, 0};
    HANDLE poster = CreateThread(NULL, 0, PostCloseDuringDownload, &watch, 0, NULL);

    PressUpdateClient(window);
    WaitForSingleObject(poster, 15000);
    CloseHandle(poster);

    ASSERT_EQ(watch.posted, 1);
    std::vector<std::string> expected = {"Semak manifest patch...", "Download 1 / 1: Music/Theme.ogg",
                                         "Patch sedang dipasang. Tunggu sehingga siap.",
                                         "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.",
                                         "autoupdate.ini tak dijumpai"};
    EXPECT_EQ(trail.texts, expected) << trail.Joined();
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(ReadAll(FileIn(dir, "Music/Theme.ogg")) == now[0].content);
}

// A cached blob path is the install folder + 110 characters: 149 is the longest folder whose paths all fit in
// 259. A longer one is refused before the first request, so nothing is written anywhere.
TEST_F(PatchRun, InstallFolderTooLongForItsPathsIsRefusedBeforeAnyRequest) {
    std::vector<ReleaseFile> now = {{"System/A.u", SeededBytes(100, 110)}};
    Publish(ReleaseId("long"), now);
    for (size_t len : {149, 150}) {
        SCOPED_TRACE("install folder of " + std::to_string(len) + " characters");
        ServerReset();
        ASSERT_TRUE(ServeRelease(releaseDir));
        UseInstallDir(DirOfLength(FreshTestDir(("-" + std::to_string(len)).c_str()), len));
        ASSERT_TRUE(InstallFiles(dir, {{"System/A.u", "old"}}));
        int result = RunPatch();
        if (len == 149) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(Status(), "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.");
            EXPECT_TRUE(ReadAll(FileIn(dir, "System/A.u")) == now[0].content);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(Status(), kFolderTooLong);
            EXPECT_EQ(Listing(dir), std::vector<std::string>{"System"});
            EXPECT_EQ(ReadAll(FileIn(dir, "System/A.u")), "old");
            std::string log = ServerLog();
            EXPECT_EQ(log.find("GET"), std::string::npos) << "no request at all: " << log;
        }
        EXPECT_EQ(g_shell.busy, 0);
    }
}

// ---- The real launcher, pressed from outside ----

// Only the client started from this install folder blocks (ASCII case of its path ignored); one of the same
// name elsewhere does not. A blocked UPDATE CLIENT leaves autoupdate.ini alone.
TEST(PatchRunLauncher, OnlyTheClientOfThisFolderBlocksTheRun) {
    const struct {
        const char* where;  // "here" or "elsewhere"
        const char* exe;
        bool blocks;
    } kCases[] = {{"here", "System/ZQ.exe", true}, {"here", "SYSTEM/zq.EXE", true}, {"elsewhere", "System/ZQ.exe", false}};
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.exe) + " " + c.where);
        ServerReset();
        std::string dir = FreshTestDir(("-" + std::to_string(++n)).c_str());
        std::string releaseDir = FreshTestDir(("-release" + std::to_string(n)).c_str());
        std::string other = FreshTestDir(("-other" + std::to_string(n)).c_str());
        std::vector<ReleaseFile> now = {{"System/Core.u", SeededBytes(500, 120)}, {"System/Same.int", "same"}};
        ASSERT_TRUE(InstallFiles(dir, {{"System/Core.u", "old"}, {"System/Same.int", "same"}}));
        ASSERT_TRUE(WriteFileBytes(dir + "\\autoupdate.ini", "BishopPort=1\r\n"));
        ASSERT_TRUE(WriteRelease(releaseDir, ReleaseId("client"), now));
        ASSERT_TRUE(ServeRelease(releaseDir));
        OtherProgram client;
        ASSERT_TRUE(StartRunningClient(&client, strcmp(c.where, "here") == 0 ? dir : other, c.exe));
        LauncherProcess launcher;
        ASSERT_TRUE(launcher.Start(dir));

        launcher.Click(1003);

        std::string log = ServerLog();
        if (c.blocks) {
            EXPECT_EQ(launcher.Status(), "Tutup semua client ZQO dahulu untuk memasang 1 fail patch.");
            EXPECT_EQ(ReadAll(FileIn(dir, "System/Core.u")), "old");
            EXPECT_EQ(log.find("/patch/blobs/"), std::string::npos) << log;
            EXPECT_FALSE(DirExists(dir + "\\patch-backups"));
            EXPECT_EQ(ReadAll(dir + "\\autoupdate.ini"), "BishopPort=1\r\n");
            EXPECT_FALSE(FileExists(dir + "\\autoupdate.ini.bak"));
        } else {
            EXPECT_EQ(launcher.Status(), PatchedMessage(1));
            EXPECT_TRUE(ReadAll(FileIn(dir, "System/Core.u")) == now[0].content);
            EXPECT_EQ(ReadAll(dir + "\\autoupdate.ini"), "BishopPort=7451\r\n");
        }
        EXPECT_EQ(client.Wait(0), (DWORD)STILL_ACTIVE) << "the client must have run throughout";
    }
}

}  // namespace

// Install safety: one run per install folder, nothing changed while something is in the way, rollbacks, a cut-off install
// put back by the next run (also without the server), nothing changed outside the install folder whatever is planted
// in it, read-only files, and what a successful run leaves on disk.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "patch/patch.h"
#include "shell/disk.h"
#include "shell/shell.h"
#include "support.h"

namespace {

const char kInstallFailed[] = "Pemasangan patch gagal. Backup/fail asal dikekalkan; jangan buka game dahulu.";
const char kRestoreIncomplete[] = "Pemasangan patch gagal dan pemulihan tidak lengkap. Tekan UPDATE CLIENT untuk membaiki.";
const char kUnreachable[] = "Server patch tidak dapat dicapai. Cuba lagi.";
const char kPatched[] = "Patched: 1 baris (Bishop 127.0.0.1:7451)";
const std::string kJournal = "0\t1\tSystem/A.u\n1\t0\tSounds/B.uax\n3\t1\tMaps/D.ut2\n";  // of Safety::Prepare

long long SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a) ? ((long long)a.nFileSizeHigh << 32) | a.nFileSizeLow : -1;
}

// Every name below `dir` with its bytes and write time: what must stay as it was.
std::string Snapshot(const std::string& dir) {
    std::string all;
    for (const std::string& n : List(dir)) {
        WIN32_FILE_ATTRIBUTE_DATA a = {};
        GetFileAttributesExA((dir + "\\" + n).c_str(), GetFileExInfoStandard, &a);
        all += n + " " + std::to_string(a.ftLastWriteTime.dwLowDateTime) + " " +
               ((a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "{" + Snapshot(dir + "\\" + n) + "}" : Read(dir + "\\" + n)) + "\n";
    }
    return all;
}

std::string Dacl(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = NULL;
    char* text = NULL;
    std::string dacl = "<none>";
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &sd) == 0 &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL))
        dacl = text;
    LocalFree(text);
    LocalFree(sd);
    return dacl;
}

struct Safety : LauncherTest {
    std::vector<File> before, now;
    // Changes at A (2 MiB) and D (24 MiB unless told), B new, Same current.
    void Prepare(size_t dBytes = 24u << 20) {
        now = {{"System/A.u", Bytes(2u << 20, 1)}, {"Sounds/B.uax", Bytes(3000, 2)}, {"System/Same.int", "same"},
               {"Maps/D.ut2", Bytes(dBytes, 3)}};
        before = {{"System/A.u", Bytes((2u << 20) - 1, 4)}, now[2], {"Maps/D.ut2", Bytes(dBytes - 1, 5)}};
        ASSERT_TRUE(Install(dir, before) && Write(dir + "\\autoupdate.ini", "BishopPort=1\r\n"));
        ASSERT_TRUE(Publish(ReleaseId("safety"), now));
    }
    std::string Backups() const { return dir + "\\patch-backups"; }
    testing::AssertionResult Old() const {
        return Exists(In(dir, "Sounds/B.uax")) ? testing::AssertionFailure() << "the new file stays" : HasFiles(dir, before);
    }
    // One backup folder, its journal marked once, its marker gone.
    void ExpectOneMarkedBackup() {
        std::vector<std::string> backups = List(Backups());
        ASSERT_EQ(backups.size(), 1u);
        EXPECT_EQ(Read(Backups() + "\\" + backups[0] + "\\files.tsv"), kJournal + "end\n");
        EXPECT_EQ(List(Backups() + "\\" + backups[0]), (std::vector<std::string>{"0.bak", "3.bak", "files.tsv"}));
    }
};

// D fails as the last change: held by a program from when B is in place, allowing reading but not deleting, so its
// move fails; or changed right after its move, before the launcher reads it back (D is large, so the read-back
// outlasts the scribbler). All go back, and the window answers through the copies.
TEST_F(Safety, AFailedMoveOrVerificationOfTheLastChangePutsBackAll) {
    for (bool scribble : {false, true}) {
        UseDir(FreshDir(scribble ? "-scribbled" : ""));
        ASSERT_NO_FATAL_FAILURE(Prepare());
        Program meddler;
        ASSERT_TRUE(scribble ? Meddle(&meddler, "scribble", In(dir, "Maps/D.ut2"), std::to_string(24u << 20))
                             : HoldAfterMove(&meddler, In(dir, "Sounds/B.uax"), 3000, In(dir, "Maps/D.ut2"), "r"));
        EXPECT_LE(PressProbed(1003), 250u);
        EXPECT_TRUE(!scribble || meddler.Wait(10000) == 0) << "the scribbler never saw D in place";
        meddler.Kill();
        EXPECT_EQ(Status(), kInstallFailed);
        EXPECT_TRUE(Old());
        ExpectOneMarkedBackup();
        EXPECT_EQ(Read(dir + "\\autoupdate.ini"), "BishopPort=1\r\n") << "UPDATE CLIENT stops at the failed run";
        EXPECT_FALSE(scribble && Exists(In(dir, "Maps/D.ut2.veq-new")));
    }
}

// Two launchers reach one folder by two paths, one through a link above it (the player's own business): the one
// that comes second meets the lock, and what the first made of its own folders is the administrators'.
TEST_F(Safety, TwoLaunchersThroughTwoPathsMeetOneLockAndTheirFoldersAreTheAdministrators) {
    std::string real = FreshDir("-real"), linked = FreshDir("-linked"), ref = FreshDir("-ref"), game = real + "\\game";
    ASSERT_TRUE(Link(linked + "\\link", real) && CreateDirectoryA(game.c_str(), NULL));
    UseDir(game);
    ASSERT_NO_FATAL_FAILURE(Prepare(3000));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/blobs/&stall_ms=1500&stall_after=0"));
    LauncherProcess first, second;
    ASSERT_TRUE(first.Start(game) && second.Start(linked + "\\link\\game"));
    first.Post(1003);
    ASSERT_TRUE(first.WaitStatus("Download", 20000)) << first.Status();
    second.Click(1003);
    EXPECT_EQ(second.Status(), "Launcher lain sedang mengemas kini folder ini. Tunggu sehingga ia selesai.");
    EXPECT_TRUE(first.WaitStatus("Patched", 30000)) << first.Status();
    EXPECT_TRUE(HasFiles(dir, now));

    // The reference is made here with the DACL asked for; a plain folder shows the comparison can fail here too.
    // Wine keeps only the mode bits of a DACL, so there only "nothing for Everyone" is compared.
    PSECURITY_DESCRIPTOR sd = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)",
                                                                     SDDL_REVISION_1, &sd, NULL));
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    ASSERT_TRUE(CreateDirectoryA((ref + "\\ours").c_str(), &sa) && DiskMakeFolders(In(dir, "dumps").c_str(), 1));
    LocalFree(sd);
    EXPECT_NE(Dacl(ref + "\\ours"), Dacl(ref));
    for (const char* own : {"patch-cache", "patch-backups", "dumps"}) {
        EXPECT_EQ(Dacl(In(dir, own)), Dacl(ref + "\\ours")) << own;
        EXPECT_EQ(DiskFolderIsOurs(In(dir, own).c_str()), DiskFolderIsOurs((ref + "\\ours").c_str())) << own;
    }
    EXPECT_FALSE(DiskFolderIsOurs(ref.c_str()));
}

// Found after the downloads, before the backups: a file another program holds, and a client started meanwhile.
TEST_F(Safety, AHeldFileOrAClientStartedMidRunStopsTheRunBeforeAnyChange) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    {
        Program holder;
        ASSERT_TRUE(Hold(&holder, In(dir, "Maps/D.ut2"), "r"));
        Press(1003);
        EXPECT_EQ(Status(), "Fail Maps/D.ut2 sedang digunakan oleh program lain. Tutup program itu dan cuba lagi.");
    }
    ASSERT_TRUE(ResetServer() && Ctl("POST /ctl/fault?path=/patch/blobs/&stall_ms=1500&stall_after=0"));
    ASSERT_TRUE(DeleteFileA((dir + "\\patch-cache\\" + ReleaseId("safety") + "\\" + Sha256(now[0].content)).c_str()));
    Program client;
    std::thread starter([&client, exe = InstallClient(dir, "run")] {  // once the downloads have begun
        char text[64] = "";
        for (int i = 0; i < 500 && strncmp(text, "Download", 8) != 0; i++, Sleep(10))
            GetWindowTextA(g_shell.statusLine, text, sizeof text);
        client.Start(exe, "");
    });
    Press(1003);
    starter.join();
    EXPECT_EQ(Status(), "Tutup semua client ZQO dahulu untuk memasang 3 fail patch.") << Trail();
    EXPECT_TRUE(Old());
    EXPECT_FALSE(Exists(Backups()));
    EXPECT_EQ(Read(dir + "\\autoupdate.ini"), "BishopPort=1\r\n");
}

// The mark's line torn by a power cut as it was written, all three in place: the next run, even without the server,
// puts the old client back.
TEST_F(Safety, ACutOffInstallIsPutBackByTheNextRunEvenWithoutTheServer) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    std::string backup = Backups() + "\\delta-" + ReleaseId("safety") + "-1";
    ASSERT_TRUE(Write(backup + "\\files.tsv", kJournal + "en") && Write(backup + "\\installing", ""));
    ASSERT_TRUE(Write(backup + "\\0.bak", before[0].content) && Write(backup + "\\3.bak", before[2].content));
    ASSERT_TRUE(Install(dir, now) && Ctl("POST /ctl/tls?mode=untrusted"));
    Press(1003);
    EXPECT_EQ(trail, (std::vector<std::string>{"Memulihkan pemasangan yang terganggu...", "Semak manifest patch...", kUnreachable}));
    EXPECT_TRUE(Old());
    ExpectOneMarkedBackup();
}

// A scanner holds the marker without delete sharing from when D lands, for 1 s: the install stands, and the next run
// only removes the marker.
TEST_F(Safety, AMarkerHeldAsTheInstallEndsStaysForTheNextRun) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    HANDLE held = INVALID_HANDLE_VALUE;
    std::thread scanner([&] {
        for (DWORD start = GetTickCount(); held == INVALID_HANDLE_VALUE && GetTickCount() - start < 30000;) {
            std::vector<std::string> b = List(Backups());
            if (b.size() == 1 && SizeOf(In(dir, "Maps/D.ut2")) == 24 << 20)
                held = CreateFileA((Backups() + "\\" + b[0] + "\\installing").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                   OPEN_EXISTING, 0, NULL);
        }
        Sleep(1000);
        CloseHandle(held);
    });
    Press(1003);
    scanner.join();
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << "the marker went before the scanner came" << Trail();
    EXPECT_EQ(trail[trail.size() - 2], "Patch siap: 3 fail berubah, 1 fail sedia ada dikekalkan.") << Trail();
    trail.clear();
    Press(1003);
    EXPECT_EQ(trail, (std::vector<std::string>{"Semak manifest patch...", "Client terkini. 4 fail disemak; tiada download.", kPatched}));
    ExpectOneMarkedBackup();
}

// A is in place when two programs open A and D: D cannot be moved, and A cannot be put back. The run says the
// restore is incomplete, leaves its journal without the mark, and the next run repairs.
TEST_F(Safety, ARollbackThatCannotFinishSaysSoAndTheNextRunRepairs) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    {
        Program holdA, holdD;
        ASSERT_TRUE(HoldAfterMove(&holdA, In(dir, "System/A.u"), 2u << 20, In(dir, "System/A.u"), "r"));
        ASSERT_TRUE(HoldAfterMove(&holdD, In(dir, "System/A.u"), 2u << 20, In(dir, "Maps/D.ut2"), "r"));
        Press(1003);
        EXPECT_EQ(Status(), kRestoreIncomplete);
    }
    std::vector<std::string> backups = List(Backups());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(Read(Backups() + "\\" + backups[0] + "\\files.tsv").find("end"), std::string::npos);
    Press(1003);
    EXPECT_TRUE(HasFiles(dir, now)) << Trail();
}

// What a program with the player's rights may plant in the install folder, each in a fresh one: links on the way
// of what the run writes, journals of its own, names in the cache that lead to files elsewhere. None of them
// changes a byte or a write time in the canary folder outside; a refusal comes before any blob is fetched.
TEST_F(Safety, NothingPlantedInTheFolderChangesAnythingOutsideIt) {
    std::string canary = FreshDir("-canary"), id = ReleaseId("safety"), journal = "patch-backups\\delta-" + id + "-1";
    ASSERT_TRUE(Write(canary + "\\a.utx", "a") && Write(canary + "\\" + Sha256(Bytes(3000, 3)), "not the blob") &&
                Write(In(canary, journal + "\\files.tsv"), "0\t0\tSystem/A.u\n") && Write(In(canary, journal + "\\installing"), ""));
    const std::string linkTo = "Pautan folder tidak dibenarkan: ";
    auto planted = [&](const std::string& text) {  // a journal of an install cut off in Textures\zz, a link
        return Write(In(dir, journal + "\\files.tsv"), text) && Write(In(dir, journal + "\\0.bak"), "b") &&
               Write(In(dir, journal + "\\installing"), "") && DiskMakeFolders(In(dir, "Textures/zz").c_str(), 0) &&
               Link(In(dir, "Textures/zz"), canary);
    };
    auto hardLink = [&](const std::string& name) {
        return Write(In(canary, name), name) && DiskMakeFolders(In(dir, name).c_str(), 0) &&
               CreateHardLinkA(In(dir, name).c_str(), In(canary, name).c_str(), NULL);
    };
    const struct {
        const char* what;
        std::function<bool()> plant;
        std::string status;
        int command;
    } kCases[] = {
        {"the install folder", [&] { RemoveTree(dir); return Link(dir, canary); }, linkTo + ".", 1003},
        {"a client folder", [&] { RemoveTree(In(dir, "Maps")); return Link(In(dir, "Maps"), canary); }, linkTo + "Maps", 1003},
        {"patch-cache", [&] { return Link(In(dir, "patch-cache"), canary); }, linkTo + "patch-cache", 1003},
        {"patch-backups", [&] { return Link(In(dir, "patch-backups"), canary); }, linkTo + "patch-backups", 1003},
        {"an older cache holding a needed blob's name",
         [&] { return DiskMakeFolders(In(dir, "patch-cache").c_str(), 1) && Link(In(dir, "patch-cache/zz"), canary); }, kPatched, 1003},
        {"dumps, and a crash", [&] { return Link(In(dir, "dumps"), canary) && !InstallClient(dir, "crash").empty(); },
         "Crash (0xC0000005) tapi gagal tulis dump.", 1008},
        {"dumps, and SEND DUMP", [&] { return Write(canary + "\\x.dmp", "x") && Link(In(dir, "dumps"), canary); },
         "tak boleh buka fail", 1007},
        {"a journal restoring a file", [&] { return planted("0\t1\tTextures/zz/a.utx\n"); }, linkTo + "Textures/zz", 1003},
        {"a journal deleting a file", [&] { return planted("0\t0\tTextures/zz/a.utx\n"); }, linkTo + "Textures/zz", 1003},
        {"a journal leading out by ..", [&] { return planted("0\t0\t../" + canary.substr(canary.rfind('\\') + 1) + "/a.utx\n"); },
         kRestoreIncomplete, 1003},
        {"a journal's folder", [&] { return DiskMakeFolders(In(dir, journal).c_str(), 0) && Link(In(dir, journal), In(canary, journal)); },
         linkTo + journal, 1003},
        // Wine shows a file link as a plain file and deletes what it leads to: only hard links are planted here.
        {"a cached blob's name a hard link", [&] { return hardLink("patch-cache\\" + id + "\\" + Sha256(now[1].content)); },
         kPatched, 1003},
        {"the manifest's name a hard link", [&] { return hardLink("patch-cache\\manifest.tsv"); }, kPatched, 1003},
        {"the configuration backup a hard link", [&] { return hardLink("autoupdate.ini.bak"); }, kPatched, 1003},
        {"a folder where a new file belongs", [&] { return Write(In(dir, "Sounds/B.uax/x"), "x"); },
         "Folder Sounds/B.uax berada di tempat fail patch. Alihkan folder itu dan cuba lagi.", 1003},
    };
    for (const auto& c : kCases) {
        UseDir(FreshDir("-" + std::to_string(&c - kCases)));
        ASSERT_NO_FATAL_FAILURE(Prepare(3000));
        ASSERT_TRUE(c.plant() && ResetServer()) << c.what;
        const std::string known = Snapshot(canary);  // with what the row added
        Press(c.command);
        EXPECT_EQ(Status(), c.status) << c.what << Trail();
        EXPECT_EQ(Snapshot(canary), known) << c.what;
        EXPECT_TRUE(c.status == kPatched || c.command != 1003 || Requests(ServerLog(), "/patch/blobs/") == 0) << c.what;
        EXPECT_EQ(Requests(ServerLog(), "/legacy/upload"), 0) << c.what;
    }
}

// A folder swapped for a link while the run acts in it: the tidy-up removing an older cache of many files. The
// folder it holds cannot be moved away meanwhile; were it not held, the rest of its deletes would go through the link.
TEST_F(Safety, AFolderSwappedForALinkMidRemovalLeadsNowhere) {
    ASSERT_NO_FATAL_FAILURE(Prepare(3000));
    std::string canary = FreshDir("-canary"), older = In(dir, "patch-cache/" + ReleaseId("older"));
    const size_t kFiles = 400;
    for (size_t i = 0; i < kFiles; i++)
        ASSERT_TRUE(Write(older + "\\" + std::to_string(i), "old") && Write(canary + "\\" + std::to_string(i), "canary"));
    const std::string before = Snapshot(canary);
    ASSERT_TRUE(Link(older, canary, true));  // as soon as the folder is moved away
    bool moved = false;
    std::thread swapper([&] {  // strikes once the run has begun to delete there
        for (DWORD start = GetTickCount(); List(older).size() == kFiles && GetTickCount() - start < 60000;) Sleep(0);
        while (!moved && Exists(older)) moved = MoveFileExA(older.c_str(), (older + "-away").c_str(), 0);
    });
    Press(1003);
    swapper.join();
    EXPECT_TRUE(HasFiles(dir, now)) << Trail();
    EXPECT_EQ(Snapshot(canary), before) << (moved ? "moved away during the removal" : "gone before it could be moved");
}

// Stray temporaries, an older release's cache (with a blob this one needs), five older backups (two of runs cut off
// before their marker, one with a marker a program holds), and a read-only client file.
TEST_F(Safety, ASuccessfulRunLeavesNoTemporaryOneCacheAndTwoBackups) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    std::string old = dir + "\\patch-cache\\" + ReleaseId("older"), id = ReleaseId("safety");
    ASSERT_TRUE(Write(old + "\\" + Sha256(now[3].content), now[3].content) && Write(old + "\\" + Sha256("x"), "x"));
    ASSERT_TRUE(Write(In(dir, "Textures/Sub/stray.utx.veq-new"), "stray"));
    for (int i = 0; i < 5; i++) {
        std::string b = Backups() + "\\delta-" + id + "-" + std::to_string(i);
        ASSERT_TRUE(Write(b + (i == 0 ? "\\0.bak" : "\\files.tsv"), i == 1 ? "0\t1\tSystem/A.u\n" : "0\t1\tSystem/A.u\nend\n"));
        HANDLE h = CreateFileA(b.c_str(), FILE_WRITE_ATTRIBUTES, 7, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        FILETIME t = {0, 30000000u + (DWORD)i};  // long ago, oldest first
        SetFileTime(h, &t, NULL, NULL);
        CloseHandle(h);
    }
    ASSERT_TRUE(SetFileAttributesA(In(dir, "System/A.u").c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string held = Backups() + "\\delta-" + id + "-2";
    HANDLE marker = CreateFileA((held + "\\installing").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, 0, NULL);

    Press(1003);
    CloseHandle(marker);
    EXPECT_TRUE(HasFiles(dir, now)) << Trail();
    EXPECT_FALSE(Exists(In(dir, "Textures/Sub/stray.utx.veq-new")));
    EXPECT_EQ(List(dir + "\\patch-cache"), (std::vector<std::string>{id, "index.tsv", "manifest.tsv"}));
    EXPECT_EQ(Requests(ServerLog(), "/patch/blobs/" + Sha256(now[3].content)), 0) << "moved from the older cache";
    std::vector<std::string> kept = List(Backups());
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "delta-" + id + "-4"), 1) << "the newest of the older ones";
    EXPECT_EQ(List(held), (std::vector<std::string>{"files.tsv", "installing"})) << "a folder with a marker stays whole";
}

// ---- Killed anywhere in the backups, the install or its rollback ----

// 13 changed files of 512 KiB (Pack5 new), blobs cached so a run goes straight to the backups. Each point is a state
// on disk: `done` backups copied (13: and the journal), or files in place (in a rollback, put back), and with
// `midCopy` the next one's temporary copy on its way. A rollback point holds the last file open once the first is in
// place, so its move fails. The kill may land past its point: what it left decides. The next run without the server
// leaves the client old (new if it was whole and marked), and with the server exactly at the manifest, without the
// backups of a run cut off before its marker.
enum Phase { kBackups, kInstall, kRollback };

struct Killed : testing::Test {
    static const int kFiles = 13, kNew = 5;
    std::vector<File> before, now;
    std::string release = FreshDir("-release"), id = ReleaseId("kill");
    int intended = 0, points = 0;
    void SetUp() override {
        for (int i = 0; i < kFiles; i++) {
            now.push_back({"Textures/Pack" + std::to_string(i) + ".utx", Bytes((512u << 10) + i, 100 + i)});
            if (i != kNew) before.push_back({now[i].path, Bytes((512u << 10) - 1 - i, 200 + i)});
        }
        ASSERT_TRUE(WriteRelease(release, id, now));
    }
    void TearDown() override {
        printf("kill points: %d, %d at the state intended\n", points, intended);
    }
    static std::string BackupOf(const std::string& dir) {  // the run's one backup folder, "" before it exists
        std::vector<std::string> b = List(dir + "\\patch-backups");
        return b.empty() ? "" : dir + "\\patch-backups\\" + b[0];
    }
    bool Reached(const std::string& dir, Phase phase, int done, bool midCopy) const {
        std::string backup = BackupOf(dir);
        int inPlace = 0, restored = 0, copying = 0, copied = 0;
        for (int i = 0; i < kFiles; i++) {
            long long size = SizeOf(In(dir, now[i].path)), tmp = SizeOf(In(dir, now[i].path) + ".veq-new");
            inPlace += size == (long long)now[i].content.size() && tmp < 0;
            restored += i < kFiles - 1 && (i == kNew ? size < 0 : size == (512 << 10) - 1 - i);
            copying += tmp >= 0 && (i < kFiles - 1 || phase != kRollback);
            copied += SizeOf(backup + "\\" + std::to_string(i) + ".bak") == (512 << 10) - 1 - i;
        }
        std::string last = In(dir, now.back().path);  // in a rollback its copy waits, unmoved
        bool rollingBack = SizeOf(last + ".veq-new") == (long long)now.back().content.size() && SizeOf(last) == (512 << 10) - kFiles;
        if (phase == kBackups) return !backup.empty() && copied + Exists(backup + "\\files.tsv") >= done;
        return (phase == kRollback ? rollingBack && restored >= done : inPlace >= done && (inPlace || Exists(backup + "\\installing"))) &&
               (!midCopy || copying);
    }
    void Run(Phase phase, int done, bool midCopy) {
        SCOPED_TRACE(std::string(phase == kBackups ? "backups, " : phase == kInstall ? "install, " : "rollback, ") +
                     std::to_string(done) + (midCopy ? " done, copying" : " done"));
        std::string dir = SmallDisk();  // a tmpfs: flushes cost nothing there, and 50 points take no minutes
        if (dir.empty()) dir = FreshDir(std::to_string(points));
        ASSERT_TRUE(Install(dir, before) && Write(dir + "\\autoupdate.ini", "BishopPort=1\r\n"));
        for (const File& f : now) ASSERT_TRUE(Write(dir + "\\patch-cache\\" + id + "\\" + Sha256(f.content), f.content));
        ASSERT_TRUE(ServeRelease(release));
        Program holder;
        LauncherProcess launcher, again;
        ASSERT_TRUE(phase != kRollback ||
                    HoldAfterMove(&holder, In(dir, now[0].path), now[0].content.size(), In(dir, now.back().path), "r"));
        ASSERT_TRUE(launcher.Start(dir));
        launcher.Post(1003);
        bool reached = false;
        for (DWORD start = GetTickCount(); !reached && GetTickCount() - start < 30000;) reached = Reached(dir, phase, done, midCopy);
        launcher.Kill();
        holder.Kill();
        const std::string backup = BackupOf(dir);  // what the kill left decides the rest
        const bool marked = Read(backup + "\\files.tsv").find("end\n") != std::string::npos;
        const bool hadMarker = marked || Exists(backup + "\\installing");
        const bool installed = marked && HasFiles(dir, now);  // the kill came after a whole install
        intended += reached && !marked && hadMarker == (phase != kBackups), points++;
        ASSERT_TRUE(Ctl("POST /ctl/tls?mode=untrusted") && again.Start(dir));
        again.Click(1003);
        EXPECT_EQ(again.Status(), kUnreachable);
        EXPECT_TRUE(HasFiles(dir, installed ? now : before)) << (marked ? "marked" : hadMarker ? "unmarked" : "no marker");
        EXPECT_EQ(Exists(In(dir, now[kNew].path)), installed);
        ASSERT_TRUE(Ctl("POST /ctl/tls?mode=default"));
        again.Click(1003);
        EXPECT_TRUE(HasFiles(dir, now)) << again.Status();
        EXPECT_EQ(Exists(backup), hadMarker) << "a run cut off before its marker leaves no backup behind";
        RemoveTree(dir);
    }
};

// 57 points in three tests, so that none runs for minutes.
TEST_F(Killed, AnywhereInTheBackupsOrTheInstallTheNextRunsPutTheOldThenTheNewClientInPlace) {
    for (int done = 1; done <= kFiles; done += 2) ASSERT_NO_FATAL_FAILURE(Run(kBackups, done, false));
    for (int done = 0; done < kFiles; done++) ASSERT_NO_FATAL_FAILURE(Run(kInstall, done, false));
}

TEST_F(Killed, MidCopyInTheInstallTheNextRunsPutTheOldThenTheNewClientInPlace) {
    for (int done = 0; done < kFiles - 1; done++) ASSERT_NO_FATAL_FAILURE(Run(kInstall, done, true));
}

TEST_F(Killed, AnywhereInTheRollbackTheNextRunsPutTheOldThenTheNewClientInPlace) {
    for (int done = 0; done < 2 * kFiles - 1; done++) ASSERT_NO_FATAL_FAILURE(Run(kRollback, done % kFiles, done >= kFiles));
}

}  // namespace

// The patch run and UPDATE CLIENT end to end against the test server: what ends up in the client folder, the
// cache, the backups and the journal, the status messages in order, and the faults a run must survive.
#include <algorithm>
#include <set>
#include <thread>

#include "patch/patch.h"
#include "shell/shell.h"
#include "support.h"

namespace {

const char kInstallFailed[] = "Pemasangan patch gagal. Backup/fail asal dikekalkan; jangan buka game dahulu.";

std::string Patched(int lines) { return "Patched: " + std::to_string(lines) + " baris (Bishop 127.0.0.1:7451)"; }

// `count` files of `size` bytes under System/, contents by seed.
std::vector<File> Client(const char* stem, int count, size_t size, unsigned seed) {
    std::vector<File> files;
    for (int i = 0; i < count; i++) files.push_back({"System/" + std::string(stem) + std::to_string(i) + ".u", Bytes(size, seed + i)});
    return files;
}

using PatchRun = LauncherTest;

// Changed entries at positions 0 (its blob already cached and verified), 5 (new, in a folder that does not exist
// yet) and 9 (a stale blob of the right size cached); the rest current, one listed with an upper-case digest. Then
// the second of two changed blobs arrives wrong: nothing in the client changes; the next run fetches only it.
TEST_F(PatchRun, ChangedNewAndCurrentFilesWithACachedAndAStaleBlobAndABadBlobChangesNothingAndComesAgain) {
    std::vector<File> now;
    for (int i = 0; i < 10; i++) now.push_back({"System/F" + std::to_string(i) + ".int", Bytes(100 + i, 10 + i)});
    now[0] = {"Textures/Zero.utx", Bytes(300000, 20)};
    now[5] = {"Sounds/New Dir/five.uax", Bytes(777, 25)};
    now[9] = {"Maps/Nine.ut2", Bytes(5000, 29)};
    std::vector<File> before = now;
    before[0].content = Bytes(1234, 30);
    before[9].content = Bytes(5000, 39);  // same size, other bytes
    before.erase(before.begin() + 5);
    ASSERT_TRUE(Install(dir, before));
    ASSERT_TRUE(Write(dir + "\\autoupdate.ini", "[Login]\r\nBishopIP=10.1.1.1\r\n"));
    const std::string release = ReleaseId("together"), cache = dir + "\\patch-cache\\" + release;
    std::string manifest = ManifestText(release, now), upper = Sha256(now[3].content);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    manifest.replace(manifest.find(Sha256(now[3].content)), 64, upper);
    ASSERT_TRUE(Publish(release, now) && Write(In(releaseDir, "patch/manifest.tsv"), manifest));
    ASSERT_TRUE(Write(cache + "\\" + Sha256(now[0].content), now[0].content));
    ASSERT_TRUE(Write(cache + "\\" + Sha256(now[9].content), Bytes(5000, 99)));

    Press(1003);

    EXPECT_EQ(trail, (std::vector<std::string>{"Semak manifest patch...", "Download 1 / 3: Textures/Zero.utx",
                                               "Download 2 / 3: Sounds/New Dir/five.uax", "Download 3 / 3: Maps/Nine.ut2",
                                               "Patch siap: 3 fail berubah, 7 fail sedia ada dikekalkan.", Patched(1)}));
    EXPECT_TRUE(HasFiles(dir, now));
    EXPECT_EQ(Read(dir + "\\autoupdate.ini"), "[Login]\r\nBishopIP=127.0.0.1\r\n");
    std::vector<std::string> backups = List(dir + "\\patch-backups");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].find("delta-" + release + "-"), 0u) << backups[0];
    std::string backup = dir + "\\patch-backups\\" + backups[0];
    EXPECT_EQ(Read(backup + "\\files.tsv"), "0\t1\tTextures/Zero.utx\n5\t0\tSounds/New Dir/five.uax\n9\t1\tMaps/Nine.ut2\nend\n");
    EXPECT_TRUE(Read(backup + "\\0.bak") == before[0].content && Read(backup + "\\9.bak") == before[8].content);
    EXPECT_EQ(List(backup), (std::vector<std::string>{"0.bak", "9.bak", "files.tsv"}));
    EXPECT_EQ(List(cache).size(), 3u);
    EXPECT_TRUE(Read(cache + "\\" + Sha256(now[5].content)) == now[5].content);
    std::vector<Request> log = ServerLog();
    ASSERT_EQ(log.size(), 3u) << "the manifest, five and the stale nine";
    EXPECT_EQ(Requests(log, "/patch/blobs/" + Sha256(now[9].content)), 1);
    for (const Request& r : log) EXPECT_EQ(r.connection, log[0].connection) << "one kept-alive connection: " << r.target;

    for (int delta : {0, 1, -1}) {  // 0: the right size with other bytes
        SCOPED_TRACE("body size off by " + std::to_string(delta));
        UseDir(FreshDir(std::to_string(delta)));
        std::vector<File> old = Client("Bad", 3, 70000, 60), fixed = old;
        fixed[0].content = Bytes(70000, 70);
        fixed[1].content = Bytes(70000, 71);
        std::string id = ReleaseId("bad" + std::to_string(delta)), bad = Sha256(fixed[1].content);
        ASSERT_TRUE(Install(dir, old));
        ASSERT_TRUE(Publish(id, fixed) && ResetServer());
        if (delta == 0) ASSERT_TRUE(Write(In(releaseDir, "patch/blobs/" + bad), Bytes(70000, 72)));
        else ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/blobs/" + bad + "&body=" + std::to_string(70000 + delta)));

        EXPECT_EQ(RunPatch(), 0);
        EXPECT_EQ(Status(), "Checksum/download gagal: System/Bad1.u. Fail asal dikekalkan.");
        EXPECT_TRUE(HasFiles(dir, old));
        EXPECT_FALSE(Exists(dir + "\\patch-backups"));
        EXPECT_EQ(List(dir + "\\patch-cache"), (std::vector<std::string>{id, "manifest.tsv"})) << "no part of it stays";

        ASSERT_TRUE(ResetServer() && Publish(id, fixed));
        EXPECT_EQ(RunPatch(), 1) << Trail();
        std::vector<Request> again = ServerLog();
        EXPECT_EQ(Requests(again, "/patch/blobs/"), 1);
        EXPECT_EQ(Requests(again, "/patch/blobs/" + bad), 1);
        EXPECT_TRUE(HasFiles(dir, fixed));
    }
}

// What the window paints under its status line: "" without the bar, else the pixels of the text beside it.
std::string UnderStatus(HWND window) {
    BITMAPINFO bi = {{sizeof bi.bmiHeader, 420, -386, 1, 32, BI_RGB}};
    DWORD* px = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, (void**)&px, NULL, 0), old = (HBITMAP)SelectObject(dc, bitmap);
    SendMessageA(window, WM_PRINTCLIENT, (WPARAM)dc, PRF_CLIENT);
    std::string text;
    for (int y = 364; y < 386; y++) text.append((const char*)(px + y * 420 + 152), (396 - 152) * 4);
    bool bar = (px[374 * 420 + 25] & 0xFFFFFF) != 0x0C0E12;  // not the background, RGB(12, 14, 18)
    SelectObject(dc, old), DeleteObject(bitmap), DeleteDC(dc);
    return bar ? text : "";
}

// The host drops every packet for two seconds: the connection attempt waits. Then a 24 MiB blob comes at 12 MiB/s
// after a small one: the bar shows under the status line and its text moves, then both go. Closing once the
// install has begun is refused as ever. The window answers within 250 ms throughout.
TEST_F(PatchRun, TheWindowAnswersThroughDroppedPacketsTheBarMovesAndClosingIsRefusedDuringTheInstall) {
    std::vector<File> now = {{"Music/A.ogg", "new!"}, {"Music/Theme.ogg", Bytes(24u << 20, 100)}};
    ASSERT_TRUE(Install(dir, {{"Music/A.ogg", "old"}, {"Music/Theme.ogg", Bytes(24u << 20, 101)}}));
    ASSERT_TRUE(Publish(ReleaseId("slow"), now) && Ctl("POST /ctl/fault?path=/patch/blobs/&rate=12582912"));
    ASSERT_TRUE(Ctl("POST /ctl/tls?mode=drop"));
    std::thread restore([] { Sleep(2000), Ctl("POST /ctl/tls?mode=default"); });
    std::set<std::string> shown;
    std::thread player([&, w = window] {
        WIN32_FILE_ATTRIBUTE_DATA a{};
        for (int i = 0; a.nFileSizeLow != 4 && i < 3000; i++, Sleep(10)) {  // until the install has placed A.ogg
            if (i % 10 == 0) shown.insert(UnderStatus(w));
            GetFileAttributesExA(In(dir, "Music/A.ogg").c_str(), GetFileExInfoStandard, &a);
        }
        PostMessageA(w, WM_CLOSE, 0, 0);
    });
    EXPECT_LE(PressProbed(1003), 250u);
    restore.join();
    player.join();
    EXPECT_GE(shown.size(), 6u) << "no bar, and the text beside it moving";
    EXPECT_EQ(UnderStatus(window), "");
    EXPECT_EQ(trail, (std::vector<std::string>{"Semak manifest patch...", "Download 1 / 2: Music/A.ogg",
                                               "Download 2 / 2: Music/Theme.ogg", kBusyText,
                                               "Patch siap: 2 fail berubah, 0 fail sedia ada dikekalkan.",
                                               "autoupdate.ini tak dijumpai"}));
    EXPECT_TRUE(HasFiles(dir, now));
}

// A cached blob path is the install folder + 110 characters: 149 is the longest folder whose paths all fit. In it,
// the loader takes a manifest path of 94 characters (149 + 94 + 16 = 259), not 95. Then the free space: 50 MiB +
// twice each change; tmpfs counts whole 4 KiB pages, so two bytes less than exactly enough is the nearest case:
// changes of 10, 20 and 2018 bytes need 52432896 bytes, with 2019 two more.
TEST_F(PatchRun, FolderLengthAndFreeSpaceExactlyAsNeededPassOneCharacterMoreOrTwoBytesLessAreRefused) {
    const struct { size_t folder, path; const char* status; size_t requests; } kCases[] = {
        {149, 94, "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.", 2},
        {149, 95, "Manifest patch tidak sah. Tiada fail client diganti.", 1},
        {150, 10, kFolderTooLong, 0},
    };
    for (const auto& c : kCases) {
        const std::string path = "System/" + std::string(c.path - 9, 'p') + ".u";
        UseDir(FreshDir(std::to_string(&c - kCases)));
        UseDir(dir + "\\" + std::string(c.folder - dir.size() - 1, 'x'));
        ASSERT_TRUE(ResetServer() && Publish(ReleaseId("long"), {{path, "new"}}) && Install(dir, {{path, "old"}}));
        EXPECT_EQ(RunPatch(), c.requests == 2) << c.status;
        EXPECT_EQ(Status(), c.status);
        EXPECT_EQ(Read(In(dir, path)), c.requests == 2 ? "new" : "old") << c.status;
        EXPECT_EQ(ServerLog().size(), c.requests) << c.status;
    }
    EXPECT_EQ(List(dir), std::vector<std::string>{"System"}) << "the refused folder is left as it was";
    for (size_t third : {2018, 2019}) {
        std::string small = SmallDisk();
        if (small.empty()) GTEST_SKIP() << "no small disk in this test bed";
        UseDir(small);
        std::vector<File> now = {{"System/A.u", Bytes(10, 1)}, {"System/B.u", Bytes(20, 2)}, {"System/C.u", Bytes(third, 3)}};
        std::string id = ReleaseId("disk");
        ASSERT_TRUE(Install(dir, {{"System/A.u", "old"}, {"System/B.u", "old"}, {"System/C.u", "old"}}));
        ASSERT_TRUE(Publish(id, now));
        // Already in place, the fetch rewrites the manifest cache without taking another page.
        ASSERT_TRUE(Write(dir + "\\patch-cache\\manifest.tsv", ManifestText(id, now)));
        ASSERT_TRUE(FillDisk(52432896));
        EXPECT_EQ(RunPatch(), third == 2018) << third;
        EXPECT_EQ(Status(), third == 2018 ? "Patch siap: 3 fail berubah, 0 fail sedia ada dikekalkan."
                                          : "Ruang disk tidak mencukupi untuk patch dan backup.");
    }
    EXPECT_EQ(Read(In(dir, "System/C.u")), "old");
    EXPECT_FALSE(Exists(dir + "\\patch-cache\\" + ReleaseId("disk")));
}

// Only the client started from this install folder blocks a run that would change files (its path's case
// ignored); one of the same name elsewhere does not, nor does it when every file is current, which downloads
// nothing and keeps no backup. A blocked UPDATE CLIENT leaves autoupdate.ini alone.
TEST_F(PatchRun, OnlyTheClientOfThisFolderBlocksARunThatChangesFiles) {
    const std::string check = "Semak manifest patch...", id = ReleaseId("client");
    const std::vector<std::string> blocked = {check, "Tutup semua client ZQO dahulu untuk memasang 1 fail patch."};
    const struct {
        const char* exe;
        bool here;
        const char* had;  // System/Core.u before the run; the release has "new"
        std::vector<std::string> trail, cache;
    } kCases[] = {
        {"System/ZQ.exe", true, "old", blocked, {"manifest.tsv"}},
        {"SYSTEM/zq.EXE", true, "old", blocked, {"manifest.tsv"}},
        {"System/ZQ.exe", false, "old", {check, "Download 1 / 1: System/Core.u",
         "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.", Patched(1)}, {id, "index.tsv", "manifest.tsv"}},
        {"System/ZQ.exe", true, "new", {check, "Client terkini. 1 fail disemak; tiada download.", Patched(1)},
         {"index.tsv", "manifest.tsv"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.exe) + (c.here ? " here, " : " elsewhere, ") + c.had);
        UseDir(FreshDir(std::to_string(&c - kCases)));
        ASSERT_TRUE(ResetServer() && Publish(id, {{"System/Core.u", "new"}}));
        ASSERT_TRUE(Install(dir, {{"System/Core.u", c.had}, {"autoupdate.ini", "BishopPort=1\r\n"}}));
        // Started through a path in other letters: the system reports the image by the path it was started with.
        std::string home = c.here ? dir : FreshDir("-other"), exe = In(home, c.exe);
        ASSERT_FALSE(InstallClient(home, "run").empty());
        if (exe != In(home, "System/ZQ.exe")) std::transform(exe.begin(), exe.end(), exe.begin(), ::toupper);
        Program client;
        ASSERT_TRUE(client.Start(exe, ""));
        trail.clear();
        Press(1003);
        const bool fetched = c.cache.size() == 3;
        EXPECT_EQ(trail, c.trail);
        EXPECT_EQ(Read(In(dir, "System/Core.u")), c.trail == blocked ? "old" : "new");
        EXPECT_EQ(Read(dir + "\\autoupdate.ini"), c.trail == blocked ? "BishopPort=1\r\n" : "BishopPort=7451\r\n");
        EXPECT_EQ(Requests(ServerLog(), "/patch/blobs/"), fetched);
        EXPECT_EQ(List(dir + "\\patch-cache"), c.cache);
        EXPECT_EQ(Exists(dir + "\\patch-backups"), fetched);
        EXPECT_EQ(client.Wait(0), (DWORD)STILL_ACTIVE);
        EXPECT_EQ(g_shell.busy, 0) << "the run did not end the busy state";
        for (int button = 1001; button <= 1008; button++) EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, button)));
    }
}

// The same file with other bytes and its old last-write time: of its facts, at most the size tells.
bool ChangeKeepingTime(const std::string& path, const std::string& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    FILETIME written;
    DWORD put = 0;
    bool ok = f != INVALID_HANDLE_VALUE && GetFileTime(f, NULL, NULL, &written) &&
              WriteFile(f, bytes.data(), (DWORD)bytes.size(), &put, NULL) && SetEndOfFile(f) &&
              SetFileTime(f, NULL, NULL, &written);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return ok && put == bytes.size();
}

// UPDATE CLIENT hashes every file and writes the index; PLAY then trusts a file whose size, time, id and volume
// are unchanged, hashes the others, and ignores an index of another release.
TEST_F(PatchRun, PlayTrustsTheIndexOfTheLastFullCheckAndUpdateClientChecksEverything) {
    std::vector<File> files = Client("Index", 4, 5000, 300);
    std::string id = ReleaseId("index");
    ASSERT_TRUE(Install(dir, files) && Publish(id, files) && Write(dir + "\\autoupdate.ini", "x\r\n"));
    InstallClient(dir, "exit");
    Press(1003);
    std::string index = Read(dir + "\\patch-cache\\index.tsv");
    EXPECT_EQ(index.compare(0, 43, "VEQINDEX1\t" + id + "\n"), 0) << index;
    EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), 5) << index;
    WIN32_FILE_ATTRIBUTE_DATA written, now;
    GetFileAttributesExA((dir + "\\patch-cache\\index.tsv").c_str(), GetFileExInfoStandard, &written);
    Press(1001);  // nothing changed: the index vouched for every file, and is left as it was
    GetFileAttributesExA((dir + "\\patch-cache\\index.tsv").c_str(), GetFileExInfoStandard, &now);
    EXPECT_EQ(CompareFileTime(&written.ftLastWriteTime, &now.ftLastWriteTime), 0);
    for (int i = 0; i < 250 && ClientPid(dir); i++) Sleep(20);  // a running client would stop a run that installs

    const std::string bad = Bytes(5000, 999);
    ASSERT_TRUE(ChangeKeepingTime(In(dir, files[0].path), bad));             // nothing tells: trusted
    ASSERT_TRUE(ChangeKeepingTime(In(dir, files[1].path), Bytes(4999, 998)));  // another size
    ASSERT_TRUE(Write(In(dir, files[2].path), bad));                          // another time
    Press(1001);
    for (int i = 0; i < 250 && ClientPid(dir); i++) Sleep(20);
    EXPECT_TRUE(Read(In(dir, files[0].path)) == bad) << "PLAY took the unchanged facts on trust";
    EXPECT_TRUE(Read(In(dir, files[1].path)) == files[1].content && Read(In(dir, files[2].path)) == files[2].content);
    Press(1003);
    EXPECT_TRUE(HasFiles(dir, files)) << " after UPDATE CLIENT";

    std::string other = ReleaseId("index-again");  // the same files as another release: its own first full check
    ASSERT_TRUE(Publish(other, files) && ChangeKeepingTime(In(dir, files[3].path), bad));
    Press(1001);
    EXPECT_TRUE(HasFiles(dir, files)) << ": the index of another release vouches for nothing";
    EXPECT_EQ(Read(dir + "\\patch-cache\\index.tsv").compare(0, 43, "VEQINDEX1\t" + other + "\n"), 0);
}

// Releases signed by veq-publish with keys made by openssl, a and b, each row served in turn to one install
// folder with the keys the row gives the launcher in place of the build's. "3x" and "9x" are signed by hand with
// key a: counter 3 over release 1a's manifest, and counter 9 over 4b's with an expiry in 2001.
TEST_F(PatchRun, OnlyReleasesSignedWithAKnownKeyNotOlderNorExpiredAreInstalled) {
    const char kInvalid[] = "Tandatangan manifest patch tidak sah. Tiada fail ditukar.";
    const char kOlder[] = "Manifest patch lebih lama daripada yang sudah dipasang. Tiada fail ditukar.";
    const std::vector<File> v1 = {{"System/A.u", "one"}}, v2 = {{"System/A.u", "two"}, {"Maps/B.ut2", "bee"}},
                            v3 = {{"System/A.u", "three"}};
    const std::string keys = FreshDir("-keys"), bin = UnixPath(BinDir());
    ASSERT_TRUE(Install(dir, {{"System/A.u", "zero"}}) && Install(keys + "\\c1", v1) && Install(keys + "\\c2", v2) &&
                Install(keys + "\\c3", v3));
    const std::string script =
        "set -e; PATH=/usr/bin:/bin; cd '" + UnixPath(keys) + "'; P='" + bin + "/../native/tools/veq-publish'; "
        "W='" + UnixPath(releaseDir) + "'; key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out $1.pem; "
        "openssl pkey -in $1.pem -pubout -out $1.pub; '" + bin + "/keyblob-host' --raw $1.pub $1.blob; }; "
        "keep() { cp $W/patch/manifest.tsv $1.tsv; cp $W/patch/manifest.tsv.sig $1.sig; }; "
        "forge() { printf 'VEQSIG1\\t%s\\t%s\\t%s\\n' $2 $3 $(sha256sum $1.tsv | cut -c1-64) >$4.line; { cat $4.line; "
        "openssl dgst -sha256 -sign a.pem $4.line | od -An -v -tx1 | tr -d ' \\n'; echo; } >$4.sig; cp $1.tsv $4.tsv; }; "
        "key a; key b; $P c1 $W --sign a.pem; keep 1a; $P c2 $W --sign b.pem; keep 2b; "
        "$P c2 $W --sign a.pem; keep 3a; $P c3 $W --sign b.pem; keep 4b; $P sign $W --sign b.pem; keep 5b; "
        "forge 1a 3 4000000000 3x; forge 4b 9 1000000000 9x";
    ASSERT_EQ(RunUnix(script, keys), 0) << Read(keys + "\\unix.log");
    const std::string a = Read(keys + "\\a.blob"), b = Read(keys + "\\b.blob");
    const ReleaseKey both[] = {{(const unsigned char*)a.data(), (unsigned long)a.size()},
                               {(const unsigned char*)b.data(), (unsigned long)b.size()}};
    const ReleaseKey* built = g_releaseKeys;
    const unsigned builtCount = g_releaseKeyCount;
    const struct {
        unsigned keys;  // of both: none, a, a and b
        const char *manifest, *sig;
        bool flip;
        std::string status;
        const std::vector<File>& has;
    } kRows[] = {
        {1, "1a", "1a", false, "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.", v1},
        {1, "3a", "3a", true, kInvalid, v1},  // one bit of a path: System/a.u
        {1, "2b", "2b", false, kInvalid, v1},
        {1, "3a", "", false, kInvalid, v1},
        {1, "3a", "3a", false, "Patch siap: 2 fail berubah, 0 fail sedia ada dikekalkan.", v2},
        {1, "1a", "1a", false, kOlder, v2},
        {1, "3x", "3x", false, kOlder, v2},
        {1, "9x", "9x", false, "Manifest patch sudah tamat tempoh. Tiada fail ditukar.", v2},
        {2, "4b", "4b", false, "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.", v3},  // the next key
        {2, "5b", "5b", false, "Client terkini. 1 fail disemak; tiada download.", v3},           // re-signed
        {0, "1a", "2b", false, "Patch siap: 1 fail berubah, 0 fail sedia ada dikekalkan.", v1},  // no keys at all
    };
    for (const auto& r : kRows) {
        SCOPED_TRACE(std::string("row ") + std::to_string(&r - kRows + 1) + ": " + r.manifest + " with " + r.sig);
        const std::string record = Read(In(dir, "patch-cache/release.tsv"));
        std::string manifest = Read(keys + "\\" + r.manifest + ".tsv");
        if (r.flip) manifest[manifest.find("System/A.u") + 7] ^= 0x20;
        const std::string sig = In(releaseDir, "patch/manifest.tsv.sig");
        ASSERT_TRUE(Write(In(releaseDir, "patch/manifest.tsv"), manifest) && ResetServer());
        DeleteFileA(sig.c_str());
        ASSERT_TRUE(!*r.sig || CopyFileA((keys + "\\" + r.sig + ".sig").c_str(), sig.c_str(), FALSE));
        g_releaseKeys = both, g_releaseKeyCount = r.keys;
        bool refused = r.status.find("Tiada fail ditukar") != std::string::npos;
        EXPECT_EQ(RunPatch(), !refused);
        EXPECT_EQ(Status(), r.status);
        EXPECT_TRUE(HasFiles(dir, r.has));
        std::vector<Request> log = ServerLog();
        EXPECT_EQ(Requests(log, "/patch/manifest.tsv.sig"), !r.keys ? 0 : r.status == kInvalid ? 2 : 1) << "retry";
        EXPECT_EQ(Read(In(dir, "patch-cache/release.tsv")) == record, refused || !r.keys) << "the record kept";
        EXPECT_TRUE(!refused || Requests(log, "/patch/blobs/") == 0);
    }
    g_releaseKeys = built, g_releaseKeyCount = builtCount;
}

// The disk fills up while the last (empty) blob is on its way: the blob still lands and needs no room to
// install, but the journal cannot be written, and without it nothing may be replaced.
TEST(PatchRunExe, AJournalThatCannotBeWrittenStopsTheRunBeforeAnyInstall) {
    std::string small = SmallDisk(), release = FreshDir("-release");
    if (small.empty()) GTEST_SKIP() << "no small disk in this test bed";
    ASSERT_TRUE(WriteRelease(release, ReleaseId("journal"), {{"System/Empty.int", ""}}) && ServeRelease(release));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/blobs/&stall_ms=3000&stall_after=0"));
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(small));
    launcher.Post(1003);
    ASSERT_TRUE(launcher.WaitStatus("Download 1 / 1", 10000)) << launcher.Status();
    ASSERT_TRUE(FillDisk(0));
    EXPECT_TRUE(launcher.WaitStatus(kInstallFailed, 20000)) << launcher.Status();
    EXPECT_FALSE(Exists(In(small, "System/Empty.int")));
}

// Closing during the download asks; No goes on; Yes stops the run within a second though the server holds the
// second blob back after 64 KiB (a read that blocks for its whole time-out), changes nothing in the client, keeps
// the first blob whole and the second's 64 KiB, and closes the launcher. The next run installs.
TEST(PatchRunExe, AStoppedDownloadKeepsWhatCameAndTheNextRunAsksForTheRest) {
    std::string dir = FreshDir(), release = FreshDir("-release"), id = ReleaseId("stop");
    std::vector<File> before = {{"System/A.u", "old"}, {"System/B.u", "old"}};
    std::vector<File> now = {{"System/A.u", Bytes(1000, 1)}, {"System/B.u", Bytes(300000, 2)}};
    std::string b = Sha256(now[1].content), part = In(dir, "patch-cache/" + b + ".part");
    ASSERT_TRUE(Install(dir, before) && WriteRelease(release, id, now) && ServeRelease(release));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/patch/blobs/" + b + "&stall_ms=60000&stall_after=65536"));
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(dir));
    launcher.Post(1003);
    WIN32_FILE_ATTRIBUTE_DATA a{};
    for (int i = 0; a.nFileSizeLow != 65536 && i < 500; i++, Sleep(20))
        GetFileAttributesExA(part.c_str(), GetFileExInfoStandard, &a);
    for (int answer : {IDNO, IDYES}) {
        std::string question;
        PostMessageA(launcher.window, WM_CLOSE, 0, 0);
        HWND box = ShownBox(&question, 5000);
        PostMessageA(box, WM_COMMAND, answer, 0);
        EXPECT_EQ(question, std::string("VEQ Games Launcher|") + kStopQuestion);
        for (int i = 0; IsWindow(box) && i < 250; i++) Sleep(20);
    }
    EXPECT_TRUE(launcher.WaitStatus(kStoppedText, 1000)) << launcher.Status();
    EXPECT_EQ(launcher.Wait(10000), 0u);
    EXPECT_TRUE(HasFiles(dir, before));
    EXPECT_TRUE(Read(part) == now[1].content.substr(0, 65536));
    EXPECT_TRUE(Read(In(dir, "patch-cache/" + id + "/" + Sha256(now[0].content))) == now[0].content);

    ASSERT_TRUE(ServeRelease(release));
    LauncherProcess again;
    ASSERT_TRUE(again.Start(dir));
    again.Click(1003);
    EXPECT_TRUE(HasFiles(dir, now));
}

}  // namespace

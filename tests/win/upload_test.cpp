// SEND LOG and SEND DUMP through the launcher's window, against the test server, which stores what arrives.
#include "shell/shell.h"
#include "support.h"

namespace {

const int kSendLog = 1006, kSendDump = 1007;
const size_t kLimit = 67108864;

struct Upload : LauncherTest {
    std::string uploads;
    void SetUp() override {
        LauncherTest::SetUp();
        uploads = FreshDir("-uploads");
        ASSERT_TRUE(Ctl("POST /ctl/uploads?dir=" + UnixPath(uploads)));
    }
    void TearDown() override {
        LauncherTest::TearDown();
        RemoveTree(dir);  // 64 MiB files
        RemoveTree(uploads);
    }
    // The one upload the server has seen: sent as the launcher sends it, and stored byte for byte.
    std::string OneUpload(const char* tag, const std::string& bytes) {
        std::vector<Request> log = ServerLog();
        if (log.size() != 1) return std::to_string(log.size()) + " requests";
        const Request& r = log[0];
        if (r.method != "POST" || r.target != std::string("/legacy/upload?tag=") + tag || r.agent != "tarqo-launcher/1.0" ||
            r.contentType != "application/octet-stream" || r.status != 200)
            return r.method + " " + r.target + " " + r.agent + " " + r.contentType;
        std::string stored = r.stored.substr(r.stored.rfind('/') + 1);
        return Read(uploads + "\\" + stored) == bytes ? "" : "stored bytes differ";
    }
    void SetTime(const std::string& path, ULONGLONG t) {
        HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        FILETIME ft = {(DWORD)t, (DWORD)(t >> 32)};
        SetFileTime(h, NULL, NULL, &ft);
        CloseHandle(h);
    }
};

// What cannot be sent is refused without any traffic. Only 200 counts; without an answer the status is 0, and the
// default certificate check stays on. One byte is enough to be sent.
TEST_F(Upload, WhatCannotBeSentIsRefusedWithoutTrafficEveryAnswerButOKIsAFailureAndOneByteIsSent) {
    std::string log = In(dir, "System/ZQ.log");
    Press(kSendLog);
    EXPECT_EQ(Status(), "fail tak ada: " + log);
    ASSERT_TRUE(CreateDirectoryA(In(dir, "System").c_str(), NULL) && CreateDirectoryA(log.c_str(), NULL));
    Press(kSendLog);
    EXPECT_EQ(Status(), "fail tak ada: " + log);
    ASSERT_TRUE(RemoveDirectoryA(log.c_str()) && Write(log, ""));
    Press(kSendLog);
    EXPECT_EQ(Status(), "saiz fail tak sah (0 B)");  // the size rule's limits are the native table's
    Program holder;
    ASSERT_TRUE(Hold(&holder, log, "none"));
    Press(kSendLog);
    EXPECT_EQ(Status(), "tak boleh buka fail");
    EXPECT_TRUE(ServerLog().empty());
    holder.Kill();
    ASSERT_TRUE(Write(log, "1") && Write(In(dir, "System/minidump-v3369.dmp"), "dump"));
    const struct { const char* call; int command; const char* status; } kCases[] = {
        {"fault?path=/legacy/&status=201", kSendLog, "Hantar zqlog gagal (status 201)"},
        {"fault?path=/legacy/&status=204", kSendLog, "Hantar zqlog gagal (status 204)"},
        {"fault?path=/legacy/&status=500", kSendDump, "Hantar dump gagal (status 500)"},
        {"tls?mode=off", kSendDump, "Hantar dump gagal (status 0)"},
        {"tls?mode=untrusted", kSendLog, "Hantar zqlog gagal (status 0)"},
    };
    for (const auto& c : kCases) {
        ASSERT_TRUE(ResetServer() && Ctl(std::string("POST /ctl/") + c.call));
        Press(c.command);
        EXPECT_EQ(Status(), c.status) << c.call;
    }
    ASSERT_TRUE(ResetServer() && Ctl("POST /ctl/uploads?dir=" + UnixPath(uploads)));
    Press(kSendLog);
    EXPECT_EQ(Status(), "Dihantar: zqlog (1 B)");
    EXPECT_EQ(OneUpload("zqlog", "1"), "");
}

// Exactly 64 MiB, to a receiver that waits two seconds before it reads: sent whole, the window answering, and the
// log left in place.
TEST_F(Upload, ExactlySixtyFourMiBIsSentWholeToASlowReceiver) {
    std::string bytes = Bytes(kLimit, 7);
    ASSERT_TRUE(Write(In(dir, "System/ZQ.log"), bytes));
    ASSERT_TRUE(Ctl("POST /ctl/fault?path=/legacy/&stall_ms=2000&stall_after=0"));
    EXPECT_LE(PressProbed(kSendLog), 250u);
    EXPECT_EQ(Status(), "Dihantar: zqlog (67108864 B)");
    EXPECT_EQ(OneUpload("zqlog", bytes), "");
    EXPECT_TRUE(Read(In(dir, "System/ZQ.log")) == bytes);
}

TEST_F(Upload, SendDumpTakesTheNewestDumpElseTheClientsOwn) {
    std::string dumps = dir + "\\dumps";
    Press(kSendDump);
    EXPECT_EQ(Status(), "Tiada .dmp dalam " + dir + "\\dumps");
    ASSERT_TRUE(Write(In(dir, "System/minidump-v3369.dmp"), "the client's own"));
    ASSERT_TRUE(CreateDirectoryA(dumps.c_str(), NULL));
    Press(kSendDump);
    EXPECT_EQ(OneUpload("dump", "the client's own"), "") << "an empty dumps folder falls back";

    const ULONGLONG kDay = 864000000000ULL, kBase = 133000000000000000ULL;
    const struct { const char* name; ULONGLONG time; } kFiles[] = {
        {"z-old.dmp", kBase}, {"a-newest.dmp", kBase + 3 * kDay}, {"m-middle.dmp", kBase + kDay},
        {"y-as-new.dmp", kBase + 3 * kDay}, {"later.txt", kBase + 9 * kDay}};
    for (const auto& f : kFiles) {
        ASSERT_TRUE(Write(dumps + "\\" + f.name, f.name));
        SetTime(dumps + "\\" + f.name, f.time);
    }
    ASSERT_TRUE(CreateDirectoryA((dumps + "\\newer-dir.dmp").c_str(), NULL));
    SetTime(dumps + "\\newer-dir.dmp", kBase + 5 * kDay);
    WIN32_FIND_DATAA fd;  // of the two newest, the first the folder lists stays chosen
    HANDLE h = FindFirstFileA((dumps + "\\*.dmp").c_str(), &fd);
    std::string first;
    do {
        ULONGLONG t = ((ULONGLONG)fd.ftLastWriteTime.dwHighDateTime << 32) | fd.ftLastWriteTime.dwLowDateTime;
        if (t == kBase + 3 * kDay && first.empty()) first = fd.cFileName;
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    ASSERT_TRUE(ResetServer() && Ctl("POST /ctl/uploads?dir=" + UnixPath(uploads)));
    Press(kSendDump);
    EXPECT_EQ(OneUpload("dump", first), "") << "the newest by time, whatever its name, and of equal times " << first;
}

}  // namespace

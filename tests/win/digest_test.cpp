// Content digest and parent-directory creation under Wine, on real files of the test drive.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "patch/patch.h"
#include "shell/shell.h"
#include "support/patch_support.h"
#include "support/test_support.h"

namespace {

struct DigestFile : PatchTest {};
struct DigestParentDirs : PatchTest {};

// Expected values computed outside Wine with sha256sum over the same bytes.
const struct {
    const char* why;
    size_t size;  // of PatternBytes, or (size_t)-1 for "abc"
    const char* sha256;
} kDigestCases[] = {
    {"empty file", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", (size_t)-1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"exactly one read buffer", 65536, "1dd334fe06e447d46e556e9c8f958a3ee41eb8e4cdf3cd36af3cdeae98fd7854"},
    {"two buffers and a short tail", 2 * 65536 + 1000,
     "f9393de3267d192012e5dcdc00bf6a3f45d643aaabeebed735c77ff25c2ee772"},
};

TEST_F(DigestFile, KnownSha256InLowerCaseHex) {
    for (const auto& c : kDigestCases) {
        std::string path = JoinPath(dir, "f.bin");
        ASSERT_TRUE(WriteFileBytes(path, c.size == (size_t)-1 ? std::string("abc") : PatternBytes(c.size)));
        char out[kDigestCap + 8];
        memset(out, '#', sizeof out);
        EXPECT_TRUE(ComputeContentDigest(path.c_str(), out)) << c.why;
        EXPECT_EQ(std::string(out), c.sha256) << c.why;
        EXPECT_EQ(out[kDigestCap], '#') << c.why << ": wrote past the 65 bytes";
    }
}

TEST_F(DigestFile, UnreadableFileIsFalseAndLeavesOutputUntouched) {
    std::string locked = JoinPath(dir, "locked.u");
    ASSERT_TRUE(WriteFileBytes(locked, "abc"));
    // Held open without sharing, as a running client or a scanner may hold a file.
    HANDLE h = CreateFileA(locked.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const struct {
        std::string path;
        const char* why;
    } cases[] = {
        {JoinPath(dir, "missing.u"), "missing file"},
        {JoinPath(dir, "no\\such\\folder.u"), "missing folder"},
        {dir, "a directory"},
        {locked, "opened elsewhere without sharing"},
    };
    for (const auto& c : cases) {
        char out[kDigestCap];
        memset(out, '#', sizeof out);
        EXPECT_FALSE(ComputeContentDigest(c.path.c_str(), out)) << c.why;
        EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#')) << c.why;
    }
    CloseHandle(h);
}

// While a patch run holds the busy state the digest keeps the window alive; outside it, it must not pump, since
// its caller may not be ready for re-entry.
TEST_F(DigestFile, PumpsBetweenChunksOnlyWhileBusy) {
    std::string path = JoinPath(dir, "big.utx");
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(3 * 65536)));
    for (int busy = 0; busy <= 1; busy++) {
        MSG m;
        while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {}
        ASSERT_TRUE(PostMessageA(window, WM_APP + 7, 0, 0));
        g_shell.busy = busy;
        char out[kDigestCap];
        EXPECT_TRUE(ComputeContentDigest(path.c_str(), out));
        g_shell.busy = 0;
        bool stillQueued = PeekMessageA(&m, window, WM_APP + 7, WM_APP + 7, PM_REMOVE) != 0;
        EXPECT_EQ(stillQueued, busy == 0) << "busy=" << busy;
    }
}

TEST_F(DigestParentDirs, CreatesMissingChainButNotTheFileName) {
    const struct {
        const char* rel;
        const char* lastDir;   // must exist afterwards
        const char* notMade;   // must not exist afterwards
    } cases[] = {
        {"a\\b\\c\\file.u", "a\\b\\c", "a\\b\\c\\file.u"},
        {"d\\e\\", "d\\e", ""},  // a trailing backslash makes its last directory too
        {"single.u", "", "single.u"},
    };
    for (const auto& c : cases) {
        std::string path = JoinPath(dir, c.rel);
        EXPECT_TRUE(EnsureParentDirectories(path.c_str())) << c.rel;
        if (*c.lastDir) {
            EXPECT_TRUE(DirExists(JoinPath(dir, c.lastDir))) << c.rel;
        }
        if (*c.notMade) {
            EXPECT_EQ(GetFileAttributesA(JoinPath(dir, c.notMade).c_str()), INVALID_FILE_ATTRIBUTES) << c.rel;
        }
    }
}

TEST_F(DigestParentDirs, ExistingChainIsLeftAsItIs) {
    std::string sub = JoinPath(dir, "System\\Sub");
    ASSERT_TRUE(EnsureParentDirectories((sub + "\\x.u").c_str()));
    std::string keep = JoinPath(sub, "keep.u");
    ASSERT_TRUE(WriteFileBytes(keep, "kept"));
    EXPECT_TRUE(EnsureParentDirectories((sub + "\\y.u").c_str()));
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(keep, &bytes));
    EXPECT_EQ(bytes, "kept");
}

// A link could send writes meant for the install folder anywhere on the machine, so even a link to a directory
// that exists is refused, and nothing is created through it.
TEST_F(DigestParentDirs, RefusesDirectoryLinkPrefixes) {
    std::string target = JoinPath(dir, "target");
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), NULL));
    std::string link = JoinPath(dir, "link");
    ASSERT_TRUE(MakeLink(link, target, true));
    EXPECT_FALSE(EnsureParentDirectories((link + "\\sub\\f.u").c_str()));
    EXPECT_FALSE(DirExists(JoinPath(target, "sub"))) << "created a directory through the link";
    EXPECT_FALSE(EnsureParentDirectories((link + "\\f.u").c_str()));
    EXPECT_TRUE(EnsureParentDirectories((target + "\\f.u").c_str()));
}

// Creation fails with ERROR_ALREADY_EXISTS and the attributes are plain, so the prefix passes; what the caller
// then creates below it fails instead.
TEST_F(DigestParentDirs, FileInTheWayPassesItsOwnCheck) {
    std::string file = JoinPath(dir, "Maps");
    ASSERT_TRUE(WriteFileBytes(file, "not a folder"));
    EXPECT_TRUE(EnsureParentDirectories((file + "\\a.ut2").c_str()));
    EXPECT_TRUE(fopen((file + "\\a.ut2").c_str(), "wb") == NULL);
    EXPECT_FALSE(EnsureParentDirectories((file + "\\deeper\\a.ut2").c_str()));
}

TEST_F(DigestParentDirs, DriveRootIsNeverExamined) {
    // Q: is not mapped in the test prefix: a root of three characters or fewer is not looked at, so it passes.
    ASSERT_EQ(GetFileAttributesA("Q:\\"), INVALID_FILE_ATTRIBUTES) << "the test needs Q: unmapped";
    for (const char* path : {"", "Q", "Q:", "Q:\\", "T:\\"}) EXPECT_TRUE(EnsureParentDirectories(path)) << path;
    EXPECT_FALSE(EnsureParentDirectories("Q:\\x\\f.u")) << "a prefix below the root is checked";
}

// Only the first 259 characters are looked at: the directory that ends exactly at index 259 is cut off and
// treated like a file name.
TEST_F(DigestParentDirs, LongPathOnlyMakesDirectoriesWithinItsFirst259Characters) {
    std::string first = PathOfLength(dir, 200);
    std::string second = PathOfLength(first, 259);  // its closing backslash would be character 260
    std::string path = second + "\\f.u";
    EXPECT_TRUE(EnsureParentDirectories(path.c_str()));
    EXPECT_TRUE(DirExists(first));
    EXPECT_EQ(GetFileAttributesA(second.c_str()), INVALID_FILE_ATTRIBUTES) << "directory beyond the cut was made";
    RemoveTree(first);
}

}  // namespace

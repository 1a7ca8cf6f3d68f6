#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "shell/format_rules.h"

TEST(BoundedFormat, CutsAtCapacityMinusOneAndTerminates) {
    std::string longPath(300, 'p');
    char buf[260];
    memset(buf, 'x', sizeof buf);
    FormatBounded(buf, sizeof buf, "%s", longPath.c_str());
    EXPECT_EQ(strlen(buf), 259u);
    EXPECT_EQ(std::string(buf), longPath.substr(0, 259));

    char small[8];
    FormatBounded(small, sizeof small, "%s\\%s", "abcd", "efgh");
    EXPECT_STREQ(small, "abcd\\ef");
}

TEST(BoundedFormat, ZeroCapacityWritesNothing) {
    char buf[4] = {'a', 'b', 'c', 'd'};
    FormatBounded(buf, 0, "%s", "zz");
    EXPECT_EQ(memcmp(buf, "abcd", 4), 0);
    FormatBounded(buf, 1, "%s", "zz");
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'b');
}

TEST(BoundedFormat, ConversionsUsedByTheLauncher) {
    char buf[128];
    FormatBounded(buf, sizeof buf, "Download %u / %u: %s", 3u, 12u, "Maps/a.ut2");
    EXPECT_STREQ(buf, "Download 3 / 12: Maps/a.ut2");
    FormatBounded(buf, sizeof buf, "Crash (0x%08lX) x=0x%08lx %02x", 0xc0000005ul, 0xc0000005ul, 7u);
    EXPECT_STREQ(buf, "Crash (0xC0000005) x=0xc0000005 07");
    FormatBounded(buf, sizeof buf, "saiz fail tak sah (%ld B)", -1L);
    EXPECT_STREQ(buf, "saiz fail tak sah (-1 B)");
}

TEST(AsciiCompare, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsNoCase("C:\\Game\\System\\ZQ.EXE", "c:\\game\\system\\zq.exe"));
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_FALSE(EqualsNoCase("\xc4", "\xe4"));  // Latin-1 letters are not folded
    EXPECT_TRUE(EqualsNoCaseN("BishopIP=1", "bishopip", 8));
    EXPECT_FALSE(EqualsNoCaseN("Bishop", "bishopip", 8));  // shorter text does not match a longer key
    EXPECT_FALSE(EqualsNoCase("[", "{"));                   // 0x5B vs 0x7B: not letters, not folded
}

TEST(JoinFits, CountsTheSeparatorAndTerminator) {
    std::string dir(250, 'd');
    EXPECT_TRUE(JoinFits(260, dir.c_str(), "12345678"));   // 250 + 1 + 8 = 259
    EXPECT_FALSE(JoinFits(260, dir.c_str(), "123456789"));  // 260 characters need 261 bytes
}

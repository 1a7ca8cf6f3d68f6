// Bounded formatting as the cross-compiled runtime does it: truncation and %hs depend on the C runtime linked.
#include <gtest/gtest.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "shell/format_rules.h"

TEST(BoundedFormatWine, NarrowCutsAtCapacityMinusOne) {
    std::string path(300, 'q');
    char buf[260];
    memset(buf, 'x', sizeof buf);
    FormatBounded(buf, sizeof buf, "%s\\%s", "C:", path.c_str());
    EXPECT_EQ(strlen(buf), 259u);
    EXPECT_EQ(std::string(buf), ("C:\\" + path).substr(0, 259));
    char tiny[2] = {'a', 'b'};
    FormatBounded(tiny, 0, "%s", "zz");
    EXPECT_EQ(tiny[0], 'a') << "capacity 0 must write nothing";
}

TEST(BoundedFormatWine, WideTakesNarrowArgumentsWithHs) {
    wchar_t obj[110];
    const char* digest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    FormatBoundedW(obj, 110, L"/patch/blobs/%hs", digest);
    EXPECT_STREQ(obj, L"/patch/blobs/9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    FormatBoundedW(obj, 110, L"/legacy/upload?tag=%hs", "zqlog");
    EXPECT_STREQ(obj, L"/legacy/upload?tag=zqlog");
}

TEST(BoundedFormatWine, WideCutsAtCapacityMinusOne) {
    wchar_t buf[8];
    wmemset(buf, L'x', 8);
    FormatBoundedW(buf, 8, L"%hs", "abcdefghijkl");
    EXPECT_STREQ(buf, L"abcdefg");
    wchar_t one[2] = {L'a', L'b'};
    FormatBoundedW(one, 0, L"%hs", "zz");
    EXPECT_EQ(one[0], L'a');
    FormatBoundedW(one, 1, L"%hs", "zz");
    EXPECT_EQ(one[0], L'\0');
    EXPECT_EQ(one[1], L'b');
}

TEST(BoundedFormatWine, LongAndHexConversionsAreThirtyTwoBit) {
    char buf[64];
    FormatBounded(buf, sizeof buf, "%lu %ld %08lX %08lx", 4294967295ul, -5l, 0xc0000005ul, 0xabul);
    EXPECT_STREQ(buf, "4294967295 -5 C0000005 000000ab");
}

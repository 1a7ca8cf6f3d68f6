// The client's command line, the crash decision and the crash note, natively.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "launch/launch_rules.h"

TEST(ClientCommandLine, LoginArgumentsForBothModes) {
    char buf[260];
    FormatClientCommandLine(buf, sizeof buf, "C:\\G\\System\\ZQ.exe", "10.1.2.3", kLaunchPlay);
    EXPECT_STREQ(buf, "\"C:\\G\\System\\ZQ.exe\" -updated -BishopIP=10.1.2.3 -BishopPort=7451 -window");
    FormatClientCommandLine(buf, sizeof buf, "C:\\G\\System\\ZQ.exe", "10.1.2.3", kLaunchDebug);
    EXPECT_STREQ(buf, "\"C:\\G\\System\\ZQ.exe\" -updated -BishopIP=10.1.2.3 -BishopPort=7451 -log");

    // Besides the path and the host, PLAY has 47 fixed characters and PLAY (DEBUG) 44.
    FormatClientCommandLine(buf, sizeof buf, "", "", kLaunchPlay);
    EXPECT_EQ(strlen(buf), 47u);
    FormatClientCommandLine(buf, sizeof buf, "", "", kLaunchDebug);
    EXPECT_EQ(strlen(buf), 44u);
}

TEST(ClientCommandLine, LongPathIsCutAt259) {
    std::string exe = "C:\\" + std::string(240, 'd') + "\\System\\ZQ.exe";
    char buf[260];
    memset(buf, 'x', sizeof buf);
    FormatClientCommandLine(buf, sizeof buf, exe.c_str(), "127.0.0.1", kLaunchPlay);
    std::string full = "\"" + exe + "\" -updated -BishopIP=127.0.0.1 -BishopPort=7451 -window";
    EXPECT_EQ(std::string(buf), full.substr(0, 259));
}

TEST(CrashDecision, BreakpointsAndDebugStringsAreNotCrashes) {
    static const struct {
        unsigned long code;
        int want32, want64;  // launcher 32-bit, launcher 64-bit
        const char* why;
    } kCases[] = {
        {0x80000003ul, 0, 0, "EXCEPTION_BREAKPOINT, also the initial one"},
        {0x40010006ul, 0, 0, "DBG_PRINTEXCEPTION_C"},
        {0x4001000Aul, 0, 0, "DBG_PRINTEXCEPTION_WIDE_C"},
        {0x4000001Ful, 1, 0, "STATUS_WX86_BREAKPOINT reaches only a 64-bit debugger of a 32-bit client"},
        {0x4000001Eul, 1, 1, "STATUS_WX86_SINGLE_STEP: we never set the trap flag"},
        {0x80000004ul, 1, 1, "EXCEPTION_SINGLE_STEP"},
        {0xC0000005ul, 1, 1, "access violation"},
        {0xC0000094ul, 1, 1, "integer divide by zero"},
        {0xC00000FDul, 1, 1, "stack overflow"},
        {0xE06D7363ul, 1, 1, "C++ exception, even if the client catches it"},
        {0xE0000001ul, 1, 1, "custom software exception"},
        {0x40010005ul, 1, 1, "DBG_CONTROL_C is the client's own, not a debug string"},
        {0x00000000ul, 1, 1, "not a code we know"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(CountsAsCrash(c.code, 0), c.want32) << std::hex << c.code << " 32-bit (" << c.why << ")";
        EXPECT_EQ(CountsAsCrash(c.code, 1), c.want64) << std::hex << c.code << " 64-bit (" << c.why << ")";
    }
}

TEST(CrashNote, CodeAndAddressInLowerCaseHex) {
    static const struct {
        unsigned long code;
        unsigned long long address;
        const char* want;
    } kCases[] = {
        {0xC0000005ul, 0xA1B2C3ull, "exception=0xc0000005 address=00a1b2c3\r\n"},
        {0xE0000001ul, 0, "exception=0xe0000001 address=00000000\r\n"},
        {0x00000001ul, 0xFFFFFFFFull, "exception=0x00000001 address=ffffffff\r\n"},
        {0xC0000005ul, 0x7FF6A1B2C3D4ull, "exception=0xc0000005 address=7ff6a1b2c3d4\r\n"},  // 64-bit: never cut
        {0xC0000005ul, 0x140001A2Bull, "exception=0xc0000005 address=140001a2b\r\n"},
        {0xC0000005ul, 0xFFFFF80012345678ull, "exception=0xc0000005 address=fffff80012345678\r\n"},
    };
    for (const auto& c : kCases) {
        char buf[kCrashNoteCap];
        FormatCrashNote(buf, sizeof buf, c.code, c.address);
        EXPECT_STREQ(buf, c.want) << std::hex << c.address;
    }
}

TEST(CrashNote, LongestNoteFitsAndSmallBuffersStayTerminated) {
    char buf[kCrashNoteCap];
    FormatCrashNote(buf, sizeof buf, 0xFFFFFFFFul, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_STREQ(buf, "exception=0xffffffff address=ffffffffffffffff\r\n");

    char small[12];
    memset(small, 'x', sizeof small);
    FormatCrashNote(small, sizeof small, 0xC0000005ul, 0x10);
    EXPECT_STREQ(small, "exception=0");
}

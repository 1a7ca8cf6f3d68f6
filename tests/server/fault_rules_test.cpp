#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "fault_rules.h"

static int Parse(std::vector<FaultParam> params, Fault* f, std::string* err = NULL) {
    char buf[256];
    int ok = ParseFault(params.data(), params.size(), f, buf, sizeof buf);
    if (err) *err = buf;
    return ok;
}

TEST(FaultRules, ParsesEveryParameter) {
    Fault f;
    ASSERT_EQ(Parse({ { "path", "/patch/blobs/" }, { "status", "503" }, { "body", "1000" }, { "chunked", "1" },
                      { "stall_ms", "250" }, { "stall_after", "10" }, { "cut_after", "99" } }, &f), 1);
    EXPECT_STREQ(f.path, "/patch/blobs/");
    EXPECT_TRUE(f.has_status && f.status == 503);
    EXPECT_TRUE(f.has_body && f.body == 1000);
    EXPECT_EQ(f.chunked, 1);
    EXPECT_TRUE(f.has_stall && f.stall_ms == 250 && f.stall_after == 10);
    EXPECT_TRUE(f.has_cut && f.cut_after == 99);

    ASSERT_EQ(Parse({}, &f), 1) << "no parameters: a fault on every path that changes nothing";
    EXPECT_STREQ(f.path, "/");
    EXPECT_FALSE(f.has_status || f.has_body || f.chunked || f.has_stall || f.has_cut);
    EXPECT_EQ(FaultShapesBody(&f), 0);
}

TEST(FaultRules, RefusesWhatAClientCouldMistype) {
    const std::string long_path(300, '/');
    const struct { std::vector<FaultParam> params; const char* why; } kCases[] = {
        { { { "stauts", "500" } }, "unknown name" },
        { { { "status", "500" }, { "status", "404" } }, "repeated name" },
        { { { "status", "99" } }, "status below 100" },
        { { { "status", "600" } }, "status above 599" },
        { { { "status", "" } }, "empty status" },
        { { { "body", "-1" } }, "negative body" },
        { { { "body", "12k" } }, "suffix" },
        { { { "chunked", "yes" } }, "chunked is 0 or 1" },
        { { { "chunked", "2" } }, "chunked is 0 or 1" },
        { { { "path", "patch" } }, "path without its slash" },
        { { { "path", long_path.c_str() } }, "path too long" },
        { { { "stall_ms", "600001" } }, "stall above ten minutes" },
        { { { "stall_after", "5" } }, "stall_after without stall_ms" },
        { { { "cut_after", "" } }, "empty cut" },
    };
    for (const auto& c : kCases) {
        Fault f;
        std::string err;
        EXPECT_EQ(Parse(c.params, &f, &err), 0) << c.why;
        EXPECT_FALSE(err.empty()) << c.why << ": the reason is told";
    }
}

TEST(FaultRules, HitsByPathPrefix) {
    Fault f;
    ASSERT_EQ(Parse({ { "path", "/patch/blobs/" } }, &f), 1);
    EXPECT_EQ(FaultHitsPath(&f, "/patch/blobs/abc", 16), 1);
    EXPECT_EQ(FaultHitsPath(&f, "/patch/blobs/", 13), 1);
    EXPECT_EQ(FaultHitsPath(&f, "/patch/blobs", 12), 0);
    EXPECT_EQ(FaultHitsPath(&f, "/patch/manifest.tsv", 19), 0);
    ASSERT_EQ(Parse({}, &f), 1);
    EXPECT_EQ(FaultHitsPath(&f, "/anything", 9), 1);
}

TEST(FaultRules, FillerFollowsTheAlphabetFromAnyOffset) {
    char buf[60];
    FillFiller(buf, 0, 28);
    EXPECT_EQ(std::string(buf, 28), "abcdefghijklmnopqrstuvwxyzab");
    FillFiller(buf, 25, 3);
    EXPECT_EQ(std::string(buf, 3), "zab");
    FillFiller(buf, 26ULL * 1000000007ULL + 2, 2);
    EXPECT_EQ(std::string(buf, 2), "cd");
}

// Runs the plan to its end as the server does and records what the client would see.
struct Played {
    std::string events;  // "s" stall, "w<n>" write, "x" connection dropped, "." done
    unsigned long long sent = 0;
};
static Played Play(const Fault& f, unsigned long long total, size_t cap) {
    Played p;
    int stalled = 0;
    for (int guard = 0; guard < 1000; guard++) {
        FaultStep s = PlanFaultStep(&f, total, p.sent, stalled, cap);
        if (s.stall_first) { p.events += "s"; stalled = 1; }
        if (s.send) { p.events += "w" + std::to_string(s.send); p.sent += s.send; }
        if (s.stall_then) { p.events += "s"; stalled = 1; }
        if (s.close_then) { p.events += "x"; return p; }
        if (s.finished) { p.events += "."; return p; }
        if (!s.send && !s.stall_first && !s.stall_then) { p.events += "!stuck"; return p; }
    }
    return p;
}

TEST(FaultRules, PlansWritesStallsAndCuts) {
    const struct {
        std::vector<FaultParam> params;
        unsigned long long total;
        size_t cap;
        const char* want;
        const char* why;
    } kCases[] = {
        { {}, 100, 64, "w64w36.", "plain body in pieces" },
        { {}, 0, 64, ".", "empty body" },
        { { { "stall_ms", "5" } }, 100, 64, "sw64w36.", "stall right after the headers" },
        { { { "stall_ms", "5" }, { "stall_after", "10" } }, 100, 64, "w10sw64w26.", "stall after 10 bytes" },
        { { { "stall_ms", "5" }, { "stall_after", "64" } }, 100, 64, "w64sw36.", "stall on a piece boundary" },
        { { { "stall_ms", "5" }, { "stall_after", "100" } }, 100, 64, "w64w36s.", "stall after the last byte" },
        { { { "stall_ms", "5" }, { "stall_after", "101" } }, 100, 64, "w64w36.", "stall point never reached" },
        { { { "cut_after", "0" } }, 100, 64, "x", "cut right after the headers" },
        { { { "cut_after", "70" } }, 100, 64, "w64w6x", "cut mid-piece" },
        { { { "cut_after", "100" } }, 100, 64, "w64w36x", "cut at the end: no clean finish" },
        { { { "cut_after", "500" } }, 100, 64, "w64w36.", "cut beyond the body" },
        { { { "stall_ms", "5" }, { "stall_after", "10" }, { "cut_after", "20" } }, 100, 64, "w10sw10x",
          "stall, then cut" },
        { { { "stall_ms", "5" }, { "stall_after", "50" }, { "cut_after", "20" } }, 100, 64, "w20x",
          "the cut comes before the stall point" },
        { { { "stall_ms", "5" }, { "cut_after", "0" } }, 100, 64, "sx", "stall then drop without a byte" },
    };
    for (const auto& c : kCases) {
        Fault f;
        ASSERT_EQ(Parse(c.params, &f), 1) << c.why;
        EXPECT_EQ(Play(f, c.total, c.cap).events, c.want) << c.why;
    }
}

TEST(FaultRules, LogLinesHaveSevenFields) {
    char line[512];
    FormatTestLogLine(line, sizeof line, "POST", "/legacy/upload?tag=zqlog", "tarqo-launcher/1.0",
                      "application/octet-stream", 1234, 200, "/tmp/u/zqlog-x.bin");
    EXPECT_STREQ(line, "POST\t/legacy/upload?tag=zqlog\ttarqo-launcher/1.0\tapplication/octet-stream\t1234\t200\t"
                       "/tmp/u/zqlog-x.bin\n");
    FormatTestLogLine(line, sizeof line, "GET", "/x", "evil\tagent\n", "", 0, 404, "");
    EXPECT_STREQ(line, "GET\t/x\tevil\\x09agent\\x0a\t\t0\t404\t\n");
    char small[16];
    FormatTestLogLine(small, sizeof small, "GET", "/a-very-long-path", "", "", 0, 200, "");
    EXPECT_EQ(strlen(small), 15u);
    EXPECT_EQ(small[14], '\n') << "a cut line still ends its line";
}

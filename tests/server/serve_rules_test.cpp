#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "serve_rules.h"

static const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(ServeRules, RangesOfABlob) {
    const struct { const char* range; unsigned long long size; RangeAnswer want; unsigned long long first, last; }
    kCases[] = {
        { "bytes=0-9", 100, kRangePart, 0, 9 },       { "bytes=90-", 100, kRangePart, 90, 99 },
        { "bytes=90-1000", 100, kRangePart, 90, 99 }, { "bytes=-10", 100, kRangePart, 90, 99 },
        { "bytes=-1000", 100, kRangePart, 0, 99 },    { "Bytes=5-5", 100, kRangePart, 5, 5 },
        { "bytes=100-", 100, kRangeUnsatisfiable },   { "bytes=-0", 100, kRangeUnsatisfiable },
        { "bytes=0-", 0, kRangeUnsatisfiable },       { "bytes=0-1,5-6", 100, kRangeWhole },
        { "bytes=9-5", 100, kRangeWhole },            { "items=0-9", 100, kRangeWhole },
        { "bytes = 5-5", 100, kRangeWhole },          { "bytes=18446744073709551616-", 100, kRangeWhole },
    };
    for (const auto& c : kCases) {
        unsigned long long first = 7, last = 7;
        EXPECT_EQ(ParseRange(c.range, strlen(c.range), c.size, &first, &last), c.want) << c.range << " of " << c.size;
        if (c.want == kRangePart) EXPECT_EQ(first * 1000 + last, c.first * 1000 + c.last) << c.range;
    }
}

TEST(ServeRules, ValidatorsAndDates) {
    const std::string tag = "\"" + kDigest + "\"";
    const struct { std::string value; int noneMatch, ifRange; } kTags[] = {
        { tag, 1, 1 }, { " " + tag + " ", 1, 1 }, { "W/" + tag, 1, 0 }, { "*", 1, 0 }, { "\"x\",\t" + tag, 1, 0 },
        { kDigest, 0, 0 }, { "\"" + kDigest.substr(1) + "\"", 0, 0 }, { "\"", 0, 0 },
    };
    for (const auto& c : kTags) {
        EXPECT_EQ(EntityTagMatches(c.value.data(), c.value.size(), kDigest.c_str()), c.noneMatch) << c.value;
        EXPECT_EQ(IfRangeMatches(c.value.data(), c.value.size(), kDigest.c_str()), c.ifRange) << c.value;
    }
    const struct { const char* text; long long when; } kDates[] = {  // the fuzz target checks the round trip
        { "Sun, 06 Nov 1994 08:49:37 GMT", 784111777 }, { "Sunday, 06-Nov-94 08:49:37 GMT", -1 },
        { "Sun, 06 Nov 1994 08:49:37 UTC", -1 },        { "Sun, 32 Nov 1994 08:49:37 GMT", -1 },
    };
    for (const auto& c : kDates) {
        time_t when = 42;
        EXPECT_EQ(ParseHttpDate(c.text, strlen(c.text), &when) ? (long long)when : -1, c.when) << c.text;
    }
}

TEST(ServeRules, UploadRequestParts) {
    const struct { const char* type; int want; } kTypes[] = {
        { "Application/Octet-Stream ; x=1", 1 }, { "multipart/form-data", 0 }, { "application/octet-streams", 0 },
    };
    for (const auto& c : kTypes) EXPECT_EQ(IsOctetStream(c.type, strlen(c.type)), c.want) << c.type;
    const struct { const char* query; const char* tag; } kQueries[] = {
        { "tag=zqlog", "zqlog" }, { "a=1&tag=dump&tag=x", "dump" }, { "xtag=dump", "-" }, { "tag", "-" },
    };
    for (const auto& c : kQueries) {
        const char* value = NULL;
        size_t n = 0;
        int found = FindQueryValue(c.query, strlen(c.query), "tag", &value, &n);
        EXPECT_EQ(found ? std::string(value, n) : "-", c.tag) << c.query;
    }
    const struct { const char* text; int ok; unsigned long long value; } kNumbers[] = {  // Content-Length, then sizes
        { "18446744073709551615", 1, ~0ULL }, { "18446744073709551616", 0, 0 }, { "-1", 0, 0 }, { " 5", 0, 0 },
        { "4G", 1, 4ULL << 30 }, { "2T", 1, 2ULL << 40 }, { "16777216T", 0, 0 }, { "4g", 0, 0 }, { "G", 0, 0 },
    };
    for (const auto& c : kNumbers) {
        unsigned long long v = 7;
        int sized = strpbrk(c.text, "KMGTg") != NULL;
        EXPECT_EQ(sized ? ParseByteSize(c.text, &v) : ParseContentLength(c.text, strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(ServeRules, UploadRateBucket) {
    RateBucket b = { 0, -1 };
    const struct { long long ms; int want; } kSteps[] = {  // 3 a minute: one more every 20 s
        { 0, 1 }, { 0, 1 }, { 1, 1 }, { 2, 0 }, { 19999, 0 }, { 20002, 1 }, { 20003, 0 }, { 500000, 1 },
        { 500000, 1 }, { 500000, 1 }, { 500000, 0 }, { 400000, 0 },  // a clock going back gives nothing back
    };
    for (const auto& s : kSteps) EXPECT_EQ(TakeRateToken(&b, s.ms, 3), s.want) << "at " << s.ms << " ms";
}

TEST(ServeRules, ClientAddresses) {
    const struct { const char* peer; const char* proxy; const char* realIp; const char* want; } kCases[] = {
        { "127.0.0.1", "127.0.0.1", "203.0.113.9", "203.0.113.9" }, { "::1", "::1", "2001:db8::1", "2001:db8::1" },
        { "127.0.0.2", "127.0.0.1", "203.0.113.9", "127.0.0.2" },   { "127.0.0.1", "", "203.0.113.9", "127.0.0.1" },
        { "127.0.0.1", "127.0.0.1", "", "127.0.0.1" },
        { "127.0.0.1", "127.0.0.1", "1.2.3.4, 5.6.7.8", "127.0.0.1" },  // a list is not one address
    };
    for (const auto& c : kCases) {
        char out[kAddressCap];
        int forwarded = ChooseClientAddress(c.peer, c.proxy, c.realIp, strlen(c.realIp), out, sizeof out);
        EXPECT_EQ(std::string(out) + (forwarded ? " forwarded" : ""),
                  std::string(c.want) + (strcmp(c.want, c.peer) ? " forwarded" : "")) << c.peer << " says " << c.realIp;
    }
    for (const char* host : { "127.0.0.1", "127.255.0.9" }) EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : { "10.0.0.1", "0.0.0.0", "127.0.0" }) EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(ServeRules, NamesAndLogFields) {
    const struct { const char* path; const char* want; } kRegister[] = {
        { "/register", "index.html" }, { "/register/img/", "img/index.html" }, { "/register/a-b_c.png", "a-b_c.png" },
        { "/register/./index.html", "-" }, { "/register/.htpasswd", "-" }, { "/register//etc/passwd", "-" },
        { "/register/a\\b", "-" },
    };
    for (const auto& c : kRegister) {
        char name[kRegisterNameCap] = "";
        EXPECT_STREQ(MapRegisterPath(c.path, strlen(c.path), name, sizeof name) ? name : "-", c.want) << c.path;
    }
    const unsigned char random[8] = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef };
    char name[kUploadNameCap];
    EXPECT_STREQ(FormatUploadName(name, sizeof name, "zqlog", 1700000000, random) ? name : "-",
                 "zqlog-20231114T221320Z-0123456789abcdef.bin");
    EXPECT_EQ(FormatUploadName(name, sizeof name, "../x", (time_t)0, random), 0) << "only known tags name files";
    const struct { std::string in, want; } kFields[] = {
        { "line\r\nX: \"y\"\\", "line\\x0d\\x0aX: \\x22y\\x22\\x5c" }, { std::string("nul\0\xc3", 5), "nul\\x00\\xc3" },
        { std::string(36, 'a') + "\t", std::string(36, 'a') },  // an escape that does not fit is left out whole
    };
    for (const auto& c : kFields) {
        char out[40];
        EscapeLogField(c.in.data(), c.in.size(), out, sizeof out);
        EXPECT_EQ(out, c.want);
    }
}

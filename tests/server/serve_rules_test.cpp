#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "serve_rules.h"

static const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(ServeRules, RoutesOnlyExactPaths) {
    const std::string blob = "/patch/blobs/" + kDigest;
    const struct { const char* method; std::string path; ServeRoute want; } kCases[] = {
        { "GET", "/patch/manifest.tsv", kRouteManifest },   { "HEAD", "/patch/manifest.tsv", kRouteManifest },
        { "GET", blob, kRouteBlob },                        { "GET", "/patch/blobs/9F" + kDigest.substr(2), kRouteNotFound },
        { "GET", blob.substr(0, blob.size() - 1), kRouteNotFound }, { "GET", blob + "/", kRouteNotFound },
        { "GET", "/patch%2Fmanifest.tsv", kRouteNotFound }, { "GET", "/patch/%6danifest.tsv", kRouteNotFound },
        { "GET", "/patch/blobs/../manifest.tsv", kRouteNotFound }, { "GET", "/register", kRouteRegister },
        { "GET", "/register/css/a.css", kRouteRegister },   { "GET", "/registerx", kRouteNotFound },
        { "POST", "/legacy/upload", kRouteUpload },         { "GET", "/legacy/upload", kRouteBadMethod },
        { "POST", "/patch/manifest.tsv", kRouteBadMethod }, { "POST", "/legacy/upload/", kRouteNotFound },
    };
    for (const auto& c : kCases)
        EXPECT_EQ(ClassifyRoute(c.method, strlen(c.method), c.path.data(), c.path.size()), c.want)
            << c.method << " " << c.path;
}

TEST(ServeRules, RangesOfABlob) {
    const struct { const char* range; unsigned long long size; RangeAnswer want; unsigned long long first, last; }
    kCases[] = {
        { "bytes=0-9", 100, kRangePart, 0, 9 },      { "bytes=90-", 100, kRangePart, 90, 99 },
        { "bytes=90-1000", 100, kRangePart, 90, 99 }, { "bytes=-10", 100, kRangePart, 90, 99 },
        { "bytes=-1000", 100, kRangePart, 0, 99 },   { "Bytes=5-5", 100, kRangePart, 5, 5 },
        { "bytes=100-", 100, kRangeUnsatisfiable },  { "bytes=-0", 100, kRangeUnsatisfiable },
        { "bytes=0-", 0, kRangeUnsatisfiable },      { "bytes = 5-5", 100, kRangeWhole },
             { "bytes=0-1,5-6", 100, kRangeWhole },
        { "bytes=9-5", 100, kRangeWhole },           { "items=0-9", 100, kRangeWhole },
        { "bytes=a-9", 100, kRangeWhole },           { "bytes=18446744073709551616-", 100, kRangeWhole },
        { "", 100, kRangeWhole },                    { "bytes=5", 100, kRangeWhole },
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
        { kDigest, 0, 0 }, { "\"" + kDigest.substr(1) + "\"", 0, 0 }, { "\"", 0, 0 }, { "", 0, 0 },
    };
    for (const auto& c : kTags) {
        EXPECT_EQ(EntityTagMatches(c.value.data(), c.value.size(), kDigest.c_str()), c.noneMatch) << c.value;
        EXPECT_EQ(IfRangeMatches(c.value.data(), c.value.size(), kDigest.c_str()), c.ifRange) << c.value;
    }
    const struct { const char* text; long long when; } kDates[] = {
        { "Sun, 06 Nov 1994 08:49:37 GMT", 784111777 }, { "Thu, 01 Jan 1970 00:00:00 GMT", 0 },
        { "Sunday, 06-Nov-94 08:49:37 GMT", -1 },       { "Sun Nov  6 08:49:37 1994", -1 },
        { "Sun, 06 Nov 1994 08:49:37 UTC", -1 },        { "Sun, 06 Xyz 1994 08:49:37 GMT", -1 },
        { "Sun, 32 Nov 1994 08:49:37 GMT", -1 },        { "Sun, 06 Nov 1994 08:49:3 GMT", -1 },
    };
    for (const auto& c : kDates) {
        time_t when = 42;
        EXPECT_EQ(ParseHttpDate(c.text, strlen(c.text), &when), c.when >= 0) << c.text;
        if (c.when >= 0) EXPECT_EQ((long long)when, c.when) << c.text;
    }
    char date[kHttpDateCap];
    FormatHttpDate((time_t)784111777, date, sizeof date);
    EXPECT_STREQ(date, "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(ServeRules, UploadRequestParts) {
    const struct { const char* type; int want; } kTypes[] = {
        { "application/octet-stream", 1 }, { "Application/Octet-Stream ; x=1", 1 }, { "multipart/form-data", 0 },
        { "application/octet-streams", 0 }, { "", 0 }, { "text/plain", 0 },
    };
    for (const auto& c : kTypes) EXPECT_EQ(IsOctetStream(c.type, strlen(c.type)), c.want) << c.type;
    const struct { const char* query; const char* tag; } kQueries[] = {
        { "tag=zqlog", "zqlog" }, { "a=1&tag=dump&tag=x", "dump" }, { "xtag=dump", NULL }, { "tag", NULL }, { "", NULL },
    };
    for (const auto& c : kQueries) {
        const char* value = NULL;
        size_t n = 0;
        int found = FindQueryValue(c.query, strlen(c.query), "tag", &value, &n);
        EXPECT_EQ(found ? std::string(value, n) : "(none)", c.tag ? c.tag : "(none)") << c.query;
    }
    const struct { const char* text; int ok; unsigned long long value; } kLengths[] = {
        { "67108864", 1, 67108864ULL }, { "18446744073709551615", 1, ~0ULL }, { "18446744073709551616", 0, 0 },
        { "", 0, 0 }, { "-1", 0, 0 }, { " 5", 0, 0 }, { "0x10", 0, 0 },
    };
    for (const auto& c : kLengths) {
        unsigned long long v = 12345;
        EXPECT_EQ(ParseContentLength(c.text, strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(v, c.value) << c.text;
    }
    const struct { const char* text; unsigned long long value; } kSizes[] = {
        { "0", 0 }, { "1000", 1000 }, { "4G", 4ULL << 30 }, { "2T", 2ULL << 40 }, { "16777216T", 0 }, { "4g", 0 },
        { "G", 0 }, { "", 0 },
    };
    for (const auto& c : kSizes) {
        unsigned long long v = 7;
        EXPECT_EQ(ParseByteSize(c.text, &v), c.value > 0 || strcmp(c.text, "0") == 0) << c.text;
        if (c.value) EXPECT_EQ(v, c.value) << c.text;
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

TEST(ServeRules, ClientAddressAndListenAddress) {
    const struct { const char* peer; const char* proxy; const char* realIp; const char* want; } kClients[] = {
        { "127.0.0.1", "127.0.0.1", "203.0.113.9", "203.0.113.9" }, { "127.0.0.1", "127.0.0.1", "2001:db8::1", "2001:db8::1" },
        { "127.0.0.2", "127.0.0.1", "203.0.113.9", "127.0.0.2" },   { "127.0.0.1", "", "203.0.113.9", "127.0.0.1" },
        { "127.0.0.1", "127.0.0.1", "", "127.0.0.1" },              { "127.0.0.1", "127.0.0.1", "1.2.3.4, 5.6.7.8", "127.0.0.1" },
        { "127.0.0.1", "127.0.0.1", "evil\n", "127.0.0.1" },
    };
    for (const auto& c : kClients) {
        char out[kAddressCap];
        int forwarded = ChooseClientAddress(c.peer, c.proxy, c.realIp, strlen(c.realIp), out, sizeof out);
        EXPECT_STREQ(out, c.want) << c.peer << " says " << c.realIp;
        EXPECT_EQ(forwarded, strcmp(c.want, c.peer) != 0) << c.peer << " says " << c.realIp;
    }
    const struct { const char* text; const char* host; int port, loopback; } kListen[] = {
        { "127.0.0.1:443", "127.0.0.1", 443, 1 }, { "127.9.8.7:0", "127.9.8.7", 0, 1 }, { "10.1.2.3:65535", "10.1.2.3", 65535, 0 },
        { "127.0.0.1:65536", NULL }, { "127.0.0.1", NULL }, { "256.0.0.1:443", NULL }, { "127..0.1:443", NULL },
        { "localhost:443", NULL },  { "127.0.0.1:44a", NULL },
    };
    for (const auto& c : kListen) {
        char host[64] = "";
        int port = -7;
        EXPECT_EQ(ParseListenAddress(c.text, host, sizeof host, &port), c.host != NULL) << c.text;
        if (c.host) EXPECT_EQ(std::string(host) + ":" + std::to_string(port) + (IsLoopbackHost(host) ? " lo" : ""),
                              std::string(c.host) + ":" + std::to_string(c.port) + (c.loopback ? " lo" : ""));
    }
}

TEST(ServeRules, NamesAndLogFields) {
    const struct { const char* path; const char* want; } kRegister[] = {
        { "/register", "index.html" }, { "/register/img/", "img/index.html" }, { "/register/a-b_c.1.png", "a-b_c.1.png" },
        { "/register/../secret", NULL }, { "/register/./index.html", NULL }, { "/register/.htpasswd", NULL },
        { "/register//etc/passwd", NULL }, { "/register/a%2fb", NULL }, { "/register/a\\b", NULL }, { "/registerx", NULL },
    };
    for (const auto& c : kRegister) {
        char name[kRegisterNameCap] = "";
        EXPECT_EQ(MapRegisterPath(c.path, strlen(c.path), name, sizeof name), c.want != NULL) << c.path;
        if (c.want) EXPECT_STREQ(name, c.want) << c.path;
    }
    const unsigned char random[8] = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef };
    char name[kUploadNameCap];
    ASSERT_EQ(FormatUploadName(name, sizeof name, "zqlog", (time_t)1700000000, random), 1);
    EXPECT_STREQ(name, "zqlog-20231114T221320Z-0123456789abcdef.bin");
    EXPECT_EQ(FormatUploadName(name, sizeof name, "../x", (time_t)0, random), 0) << "only known tags name files";
    const struct { std::string in; std::string want; } kFields[] = {
        { "tarqo-launcher/1.0", "tarqo-launcher/1.0" }, { "line\r\nX: \"y\"\\", "line\\x0d\\x0aX: \\x22y\\x22\\x5c" },
        { std::string("nul\0\xc3", 5), "nul\\x00\\xc3" }, { std::string(36, 'a') + "\t", std::string(36, 'a') },
    };
    for (const auto& c : kFields) {
        char out[40];
        EscapeLogField(c.in.data(), c.in.size(), out, sizeof out);
        EXPECT_EQ(out, c.want) << "an escape that does not fit is left out whole";
    }
}

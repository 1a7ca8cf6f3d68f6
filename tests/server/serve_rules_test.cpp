#include <gtest/gtest.h>
#include <string.h>

#include <regex>
#include <string>

#include "serve_rules.h"

static const char kDigest[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(ServeRules, RoutesByMethodAndPath) {
    const std::string blob = std::string("/patch/blobs/") + kDigest;
    std::string upper = blob;
    for (size_t i = 13; i < upper.size(); i++) upper[i] = (char)toupper((unsigned char)upper[i]);
    const struct { const char* method; std::string path; ServeRoute want; const char* why; } kCases[] = {
        { "GET", "/patch/manifest.tsv", kRouteManifest, "the manifest" },
        { "HEAD", "/patch/manifest.tsv", kRouteManifest, "HEAD reads like GET" },
        { "GET", blob, kRouteBlob, "a blob by its digest" },
        { "GET", upper, kRouteNotFound, "blobs are stored under lower-case names only" },
        { "GET", blob.substr(0, blob.size() - 1), kRouteNotFound, "63 digits" },
        { "GET", blob + "0", kRouteNotFound, "65 digits" },
        { "GET", blob + "/", kRouteNotFound, "trailing slash" },
        { "GET", "/patch/blobs/../manifest.tsv", kRouteNotFound, "traversal" },
        { "GET", "/patch/../patch/manifest.tsv", kRouteNotFound, "traversal to an existing name" },
        { "GET", "/patch/manifest.tsv/", kRouteNotFound, "trailing slash on the manifest" },
        { "GET", "/patch/Manifest.tsv", kRouteNotFound, "case matters" },
        { "GET", "/patch/", kRouteNotFound, "the folder itself" },
        { "GET", "/register", kRouteRegister, "registration page" },
        { "GET", "/register/css/site.css", kRouteRegister, "files below it" },
        { "GET", "/registerx", kRouteNotFound, "a longer name is another path" },
        { "POST", "/legacy/upload", kRouteUpload, "upload" },
        { "GET", "/legacy/upload", kRouteBadMethod, "uploads are POSTed" },
        { "PUT", "/legacy/upload", kRouteBadMethod, "no PUT" },
        { "POST", "/patch/manifest.tsv", kRouteBadMethod, "the release is read-only" },
        { "DELETE", blob, kRouteBadMethod, "nor deletable" },
        { "GET", "/", kRouteNotFound, "root" },
        { "POST", "/legacy/upload/", kRouteNotFound, "trailing slash on upload" },
    };
    for (const auto& c : kCases)
        EXPECT_EQ(ClassifyRoute(c.method, strlen(c.method), c.path.data(), c.path.size()), c.want)
            << c.method << " " << c.path << " (" << c.why << ")";
}

TEST(ServeRules, UploadTagsAndContentLength) {
    static const struct { const char* tag; int want; } kTags[] = {
        { "zqlog", 1 }, { "dump", 1 }, { "ZQLOG", 0 }, { "Dump", 0 }, { "", 0 }, { "zqlog ", 0 },
        { "zqlo", 0 },  { "dumps", 0 }, { "../dump", 0 },
    };
    for (const auto& c : kTags) EXPECT_EQ(IsUploadTag(c.tag, strlen(c.tag)), c.want) << "'" << c.tag << "'";

    static const struct { const char* text; int ok; unsigned long long value; } kLengths[] = {
        { "0", 1, 0 },
        { "67108864", 1, 67108864ULL },
        { "0067108865", 1, 67108865ULL },
        { "18446744073709551615", 1, 18446744073709551615ULL },
        { "18446744073709551616", 0, 0 },  // one past 2^64 - 1 must not wrap to 0
        { "99999999999999999999", 0, 0 },
        { "", 0, 0 },
        { "-1", 0, 0 },
        { "+5", 0, 0 },
        { " 5", 0, 0 },
        { "5 ", 0, 0 },
        { "0x10", 0, 0 },
    };
    for (const auto& c : kLengths) {
        unsigned long long v = 12345;
        EXPECT_EQ(ParseContentLength(c.text, strlen(c.text), &v), c.ok) << "'" << c.text << "'";
        if (c.ok) EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(ServeRules, EntityTagMatching) {
    const std::string tag = std::string("\"") + kDigest + "\"";
    const struct { std::string header; int want; const char* why; } kCases[] = {
        { tag, 1, "exact strong tag" },
        { "W/" + tag, 1, "weak form compares weakly" },
        { "*", 1, "any" },
        { "\"abc\", " + tag, 1, "second of a list" },
        { "\"abc\",\t" + tag + " ", 1, "blanks around list items" },
        { std::string(kDigest), 0, "unquoted" },
        { "\"abc\"", 0, "another tag" },
        { "\"" + std::string(kDigest).substr(1) + "\"", 0, "a prefix of the digest" },
        { "", 0, "empty" },
        { "\"", 0, "lone quote" },
        { "**", 0, "not a wildcard" },
    };
    for (const auto& c : kCases)
        EXPECT_EQ(EntityTagMatches(c.header.data(), c.header.size(), kDigest), c.want)
            << "'" << c.header << "' (" << c.why << ")";
}

TEST(ServeRules, RegisterPathsStayInTheirFolder) {
    static const struct { const char* path; const char* want; const char* why; } kCases[] = {
        { "/register", "index.html", "the page itself" },
        { "/register/", "index.html", "with a slash" },
        { "/register/css/site.css", "css/site.css", "a file below" },
        { "/register/img/", "img/index.html", "a folder's index" },
        { "/register/a-b_c.1.png", "a-b_c.1.png", "allowed punctuation" },
        { "/register/../secret", NULL, "climbing out" },
        { "/register/css/../../x", NULL, "climbing out deeper" },
        { "/register/./index.html", NULL, "dot segment" },
        { "/register/.htpasswd", NULL, "hidden file" },
        { "/register//etc/passwd", NULL, "empty segment" },
        { "/register/a\\b", NULL, "backslash" },
        { "/register/a%2fb", NULL, "percent left undecoded" },
        { "/register/a b", NULL, "blank" },
        { "/registerx", NULL, "another path" },
        { "/other", NULL, "not under /register" },
    };
    for (const auto& c : kCases) {
        char name[kRegisterNameCap];
        int ok = MapRegisterPath(c.path, strlen(c.path), name, sizeof name);
        EXPECT_EQ(ok, c.want != NULL) << c.path << " (" << c.why << ")";
        if (ok && c.want) EXPECT_STREQ(name, c.want) << c.path;
    }
    char small[8];
    EXPECT_EQ(MapRegisterPath("/register/", 10, small, sizeof small), 0) << "index.html does not fit in 8 bytes";
}

TEST(ServeRules, UploadNames) {
    const unsigned char random[8] = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef };
    char name[kUploadNameCap];
    ASSERT_EQ(FormatUploadName(name, sizeof name, "zqlog", (time_t)1700000000, random), 1);
    EXPECT_STREQ(name, "zqlog-20231114T221320Z-0123456789abcdef.bin");
    ASSERT_EQ(FormatUploadName(name, sizeof name, "dump", (time_t)0, random), 1);
    EXPECT_STREQ(name, "dump-19700101T000000Z-0123456789abcdef.bin");
    EXPECT_EQ(FormatUploadName(name, sizeof name, "../x", (time_t)0, random), 0) << "only known tags name files";
    EXPECT_EQ(FormatUploadName(name, 20, "zqlog", (time_t)0, random), 0) << "too small a buffer";
    EXPECT_STREQ(name, "");
}

TEST(ServeRules, ListenAddresses) {
    static const struct { const char* text; int ok; const char* host; int port; } kCases[] = {
        { "127.0.0.1:443", 1, "127.0.0.1", 443 },
        { "0.0.0.0:0", 1, "0.0.0.0", 0 },
        { "10.1.2.3:65535", 1, "10.1.2.3", 65535 },
        { "127.0.0.1:65536", 0, "", 0 },
        { "127.0.0.1", 0, "", 0 },
        { "127.0.0.1:", 0, "", 0 },
        { "127.0.0:443", 0, "", 0 },
        { "127.0.0.1.5:443", 0, "", 0 },
        { "256.0.0.1:443", 0, "", 0 },
        { "127..0.1:443", 0, "", 0 },
        { "127.0.0.:443", 0, "", 0 },
        { "localhost:443", 0, "", 0 },
        { ":443", 0, "", 0 },
        { "127.0.0.1:-1", 0, "", 0 },
        { "127.0.0.1:44a", 0, "", 0 },
    };
    for (const auto& c : kCases) {
        char host[64] = "";
        int port = -7;
        EXPECT_EQ(ParseListenAddress(c.text, host, sizeof host, &port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_STREQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(ServeRules, LogFieldsStayOneField) {
    const struct { std::string in; const char* want; } kCases[] = {
        { "tarqo-launcher/1.0", "tarqo-launcher/1.0" },
        { "a\tb", "a\\x09b" },
        { "line\r\nX: y", "line\\x0d\\x0aX: y" },
        { "say \"hi\"", "say \\x22hi\\x22" },
        { "back\\slash", "back\\x5cslash" },
        { std::string("nul\0x", 5), "nul\\x00x" },
        { "\xc3\xa9", "\\xc3\\xa9" },
    };
    for (const auto& c : kCases) {
        char out[64];
        EscapeLogField(c.in.data(), c.in.size(), out, sizeof out);
        EXPECT_STREQ(out, c.want);
    }
    char small[6];
    EscapeLogField("ab\tcd", 5, small, sizeof small);
    EXPECT_STREQ(small, "ab") << "an escape that does not fit is left out whole";
}

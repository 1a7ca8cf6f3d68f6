#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "patch/manifest_rules.h"
#include "shell/format_rules.h"
#include "native/printable.h"

namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
const std::string kDigestUpper = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
const std::string kId = "0123456789abcdef0123456789abcdef";
const std::string kHeader = "VEQPATCH1\t" + kId + "\n";

std::string Entry(const std::string& size, const std::string& path, const char* end = "\n") {
    return kDigest + "\t" + size + "\t" + path + end;
}

long Check(const std::string& text, long* badLine, size_t installDirLen = 20) {
    char id[kReleaseIdChars + 1];
    return CheckManifestText(text.data(), text.size(), installDirLen, id, NULL, badLine);
}

}  // namespace

TEST(ManifestPath, Rules) {
    const std::string kAllowedLong = "System/" + std::string(169, 'a') + ".int";  // 180 characters
    const struct {
        std::string path;
        size_t dirLen;
        bool ok;
        const char* why;
    } kCases[] = {
        {"autoupdate.ini", 20, true, "the configuration file at the top"},
        {"AutoUpdate.ini", 20, false, "autoupdate.ini is compared case-sensitively"},
        {"System/autoupdate.ini", 20, false, "autoupdate.ini only at the top; .ini not a System/ type"},
        {"Textures/autoupdate.ini", 20, false, "autoupdate.ini only at the top"},
        {"autoupdate.ini ", 20, false, "exactly autoupdate.ini"},
        {"Textures/Foo.UTX", 20, true, "extension ignores case"},
        {"textures/foo.utx", 20, false, "folder prefix is case-sensitive"},
        {"System/a.U", 20, true, ".u"},
        {"System/a.Csv", 20, true, ".csv"},
        {"System/a.INT", 20, true, ".int"},
        {"System/Sub Dir/x-y_1.int", 20, true, "subfolders, blank, hyphen, underscore"},
        {"System/x.u.bak", 20, false, "extension is taken from the last full stop"},
        {"System/x.u ", 20, false, "trailing blank belongs to the extension"},
        {"System/a.b/c", 20, false, "a dot in a folder name is no extension"},
        {"Maps/x", 20, false, "no extension"},
        {"Maps/x.ut2", 20, true, ".ut2"},
        {"Maps/x.utx", 20, false, "another folder's extension"},
        {"Animations/x.ukx", 20, true, ".ukx"},
        {"Sounds/x.uax", 20, true, ".uax"},
        {"StaticMeshes/x.usx", 20, true, ".usx"},
        {"Music/x.ogg", 20, true, ".ogg"},
        {"Music/x.mp3", 20, false, "not a Music/ type"},
        {"Help/x.u", 20, false, "not a client folder"},
        {"System", 20, false, "folder name without its slash"},
        {"System/../System/a.u", 20, false, ".. even where the rest would pass"},
        {"System/a..b.u", 20, false, ".. inside a name"},
        {"/System/a.u", 20, false, "leading /"},
        {"System\\a.u", 20, false, "backslash"},
        {"System/a:b.u", 20, false, "colon (alternate data stream)"},
        {"System/\xE9t\xE9.u", 20, false, "bytes above 127"},
        {"System/a\tb.u", 20, false, "TAB"},
        {std::string("System/a\0.u", 11), 20, false, "NUL is a byte, not the end"},
        {std::string("autoupdate.ini\0", 15), 20, false, "NUL after an accepted name"},
        {"", 20, false, "empty"},
        {kAllowedLong, 20, true, "180 characters"},
        {"System/" + std::string(170, 'a') + ".int", 20, false, "181 characters"},
        {"System/" + std::string(32, 'a') + ".int", 200, true, "43 characters with a 200-character folder"},
        {"System/" + std::string(33, 'a') + ".int", 200, false, "44 characters with a 200-character folder"},
        {"autoupdate.ini", 229, true, "229 + 14 + 16 = 259"},
        {"autoupdate.ini", 230, false, "the length rule covers autoupdate.ini too"},
        {"System/a.u", (size_t)-1, false, "absurd folder length must not wrap around"},
    };
    for (const auto& c : kCases) {
        const char* problem = ManifestPathProblem(c.path.data(), c.path.size(), c.dirLen);
        EXPECT_EQ(problem == NULL, c.ok) << Printable(c.path) << " with folder length " << c.dirLen << " ("
                                         << c.why << "): " << (problem ? problem : "accepted");
    }
}

TEST(ManifestPath, ReasonNamesTheRule) {
    EXPECT_STREQ(ManifestPathProblem("Maps/a..b.ut2", 13, 20), "contains ..");
    std::string tex = "Textures/a.dds";
    EXPECT_NE(strstr(ManifestPathProblem(tex.data(), tex.size(), 20), "Textures/"), (const char*)NULL);
}

TEST(ManifestHeader, Lines) {
    const std::string kUpper = "0123456789ABCDEF0123456789ABCDEF";
    const struct {
        std::string line;
        bool ok;
        const char* id;
        const char* why;
    } kCases[] = {
        {"VEQPATCH1\t" + kId + "\n", true, kId.c_str(), "plain"},
        {"VEQPATCH1\t" + kUpper + "\r\n", true, kUpper.c_str(), "upper case with CR LF, case kept"},
        {"VEQPATCH1\t" + kId, true, kId.c_str(), "last line without line end"},
        {"VEQPATCH1\t" + kId + "\rjunk\n", true, kId.c_str(), "text after a CR is ignored"},
        {"\xEF\xBB\xBFVEQPATCH1\t" + kId + "\n", false, NULL, "byte order mark"},
        {"VEQPATCH1\t" + kId.substr(1) + "\n", false, NULL, "31 digits"},
        {"VEQPATCH1\t" + kId + "0\n", false, NULL, "33 digits"},
        {"VEQPATCH1\t" + kId + " \n", false, NULL, "id followed by a blank"},
        {"VEQPATCH1\t" + kId.substr(1) + "g\n", false, NULL, "not hex"},
        {"veqpatch1\t" + kId + "\n", false, NULL, "tag is case-sensitive"},
        {"VEQPATCH1 " + kId + "\n", false, NULL, "blank instead of TAB"},
        {"VEQPATCH2\t" + kId + "\n", false, NULL, "other format version"},
        {"VEQPATCH1\t\n", false, NULL, "no id"},
        {"VEQPATCH1\t" + kId + std::string("\0\n", 2), false, NULL, "NUL after the id is not the line end"},
        {"VEQPATCH1", false, NULL, "shorter than the tag"},
        {"", false, NULL, "empty"},
    };
    for (const auto& c : kCases) {
        char id[kReleaseIdChars + 1] = "untouched";
        int got = ParseManifestHeader(c.line.data(), c.line.size(), id);
        EXPECT_EQ(got != 0, c.ok) << Printable(c.line) << " (" << c.why << ")";
        if (c.ok && got) EXPECT_STREQ(id, c.id) << c.why;
    }
}

TEST(ManifestEntry, Lines) {
    const struct {
        std::string line;
        bool ok;
        unsigned long long size;
        const char* path;
        const char* why;
    } kCases[] = {
        {Entry("12", "System/a.u"), true, 12, "System/a.u", "plain"},
        {Entry("12", "System/a.u", "\r\n"), true, 12, "System/a.u", "CR LF"},
        {Entry("12", "System/a.u", ""), true, 12, "System/a.u", "last line without line end"},
        {Entry("12", "System/a.u", "\rjunk\tmore\n"), true, 12, "System/a.u", "text after a CR is ignored"},
        {kDigestUpper + "\t7\tMaps/a.ut2\n", true, 7, "Maps/a.ut2", "upper-case digest"},
        {Entry("", "autoupdate.ini"), true, 0, "autoupdate.ini", "empty size is 0"},
        {Entry("268435456", "System/a.u"), true, 268435456ULL, "System/a.u", "exactly 256 MiB"},
        {Entry(std::string(40, '0') + "12", "System/a.u"), true, 12, "System/a.u", "leading zeros"},
        {Entry("268435457", "System/a.u"), false, 0, NULL, "256 MiB + 1"},
        {Entry("+5", "System/a.u"), false, 0, NULL, "plus sign"},
        {Entry("-5", "System/a.u"), false, 0, NULL, "minus sign"},
        {Entry("1 2", "System/a.u"), false, 0, NULL, "blank inside the digits"},
        {Entry(" 12", "System/a.u"), false, 0, NULL, "leading blank"},
        {Entry("0x10", "System/a.u"), false, 0, NULL, "hex size"},
        // 10^10 * 2^64 + 5: arithmetic that wraps instead of saturating would see 5.
        {Entry("184467440737095516160000000005", "System/a.u"), false, 0, NULL, "30 digits saturate, not wrap"},
        {kDigest.substr(1) + "\t1\tSystem/a.u\n", false, 0, NULL, "63-digit digest"},
        {kDigest + "0\t1\tSystem/a.u\n", false, 0, NULL, "65-digit digest"},
        {kDigest.substr(1) + "g\t1\tSystem/a.u\n", false, 0, NULL, "digest not hex"},
        {" " + kDigest.substr(1) + "\t1\tSystem/a.u\n", false, 0, NULL, "blank in the digest"},
        {Entry("1", "System/a.u\tx"), false, 0, NULL, "a third TAB lands in the path"},
        {kDigest + "\tSystem/a.u\n", false, 0, NULL, "only one TAB"},
        {kDigest + "\t1 System/a.u\n", false, 0, NULL, "blank instead of the second TAB"},
        {Entry("1", std::string("System/a.u\0junk", 15)), false, 0, NULL, "NUL inside the path is not the line end"},
        {Entry("1", std::string("System/a.u\0", 11)), false, 0, NULL, "NUL just before the line end"},
        {std::string("\0", 1) + kDigest.substr(1) + "\t1\tSystem/a.u\n", false, 0, NULL, "NUL inside the digest"},
        {Entry(std::string("1\0", 2), "System/a.u"), false, 0, NULL, "NUL inside the size"},
        {Entry("1", "textures/a.utx"), false, 0, NULL, "path rules apply"},
        {"\n", false, 0, NULL, "blank line"},
        {"\r\n", false, 0, NULL, "blank line with CR LF"},
        {"", false, 0, NULL, "nothing"},
    };
    for (const auto& c : kCases) {
        ManifestEntry e;
        memset(&e, 0x5A, sizeof e);
        int got = ParseManifestEntry(c.line.data(), c.line.size(), 20, &e);
        EXPECT_EQ(got != 0, c.ok) << Printable(c.line) << " (" << c.why << ")";
        if (!c.ok || !got) continue;
        EXPECT_EQ(e.size, c.size) << c.why;
        EXPECT_EQ(std::string(e.digest), c.line.substr(0, 64)) << "digest as written (" << c.why << ")";
        EXPECT_STREQ(e.path, c.path) << c.why;
    }
}

TEST(ManifestEntry, SizeDigits) {
    const struct {
        const char* text;
        int ok;
        unsigned long long value;
    } kCases[] = {
        {"", 1, 0},
        {"0", 1, 0},
        {"268435456", 1, 268435456ULL},
        {"268435457", 0, 268435457ULL},
        {"18446744073709551615", 0, ~0ULL},
        {"18446744073709551616", 0, ~0ULL},
        {"184467440737095516160000000005", 0, ~0ULL},
    };
    for (const auto& c : kCases) {
        unsigned long long v = 1234;
        EXPECT_EQ(ParseEntrySize(c.text, strlen(c.text), &v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    unsigned long long v = 1234;
    EXPECT_EQ(ParseEntrySize("1a", 2, &v), 0);
    EXPECT_EQ(v, 1234u) << "a non-digit leaves the output alone";
}

TEST(ManifestEntry, SameClientPath) {
    const struct {
        const char* a;
        const char* b;
        int same;
    } kCases[] = {
        {"Maps/A.ut2", "Maps/a.UT2", 1},
        {"Maps/a.ut2", "maps\\a.ut2", 1},
        {"Maps/a.ut2", "Maps/a.ut2 ", 0},
        {"Maps/a.ut2", "Maps/b.ut2", 0},
        {"System/\xC4.u", "System/\xE4.u", 0},  // only ASCII letters fold
        {"System/[.u", "System/{.u", 0},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(SameClientPath(c.a, c.b), c.same) << c.a << " vs " << c.b;
        if (c.same) EXPECT_EQ(ClientPathHash(c.a, strlen(c.a)), ClientPathHash(c.b, strlen(c.b))) << c.a;
    }
}

TEST(ManifestText, WholeFiles) {
    const std::string e1 = Entry("1", "System/a.u"), e2 = Entry("2", "Maps/b.ut2");
    // Exactly 1023 bytes without a line end, so fgets returns it as a line and the rest as the next.
    const std::string split = kDigest + "\t" + std::string(946, '0') + "1\tSystem/a.u";
    const struct {
        std::string text;
        long want;
        long badLine;
        const char* why;
    } kCases[] = {
        {kHeader + e1 + e2, 2, 0, "plain"},
        {kHeader + e1 + Entry("2", "Maps/b.ut2", ""), 2, 0, "last line without line end"},
        {"VEQPATCH1\t" + kId + "\r\n" + Entry("1", "System/a.u", "\r\n"), 1, 0, "CR LF throughout"},
        {"", -1, 1, "empty file"},
        {"\xEF\xBB\xBF" + kHeader + e1, -1, 1, "byte order mark"},
        {kHeader, -1, 2, "header only"},
        {"VEQPATCH1\t" + kId, -1, 2, "header only, no line end"},
        {kHeader + "\n" + e1, -1, 2, "blank line after the header"},
        {kHeader + e1 + "\n" + e2, -1, 3, "blank line between entries"},
        {kHeader + e1 + e2 + "\n", -1, 4, "blank line at the end"},
        {kHeader + e1 + "\r\n", -1, 3, "CR LF blank line at the end"},
        {kHeader + e1 + Entry("1", "System/A.U"), -1, 3, "paths differing only in case are duplicates"},
        {kHeader + Entry("1", "Maps/A.ut2") + Entry("1", "maps/a.ut2"), -1, 3, "folder rule fails first"},
        {kHeader + e1 + Entry("1", "System/a.u", "\rSystem/b.u\n"), -1, 3, "text after CR is ignored"},
        {kHeader + Entry("1", "System/a.u", "\r") + e2, 1, 0, "a lone CR does not end the line for fgets"},
        {kHeader + e1 + Entry("1", "System/b.u\t"), -1, 3, "third TAB"},
        {kHeader + split + e2, 2, 0, "1023-byte piece and its rest read as two lines"},
        {kHeader + kDigest + "\t" + std::string(947, '0') + "1\tSystem/a.u\n", -1, 2, "1024th byte cut off"},
        {kHeader + split + "x" + e2, -1, 2, "rest of a long line is on the same physical line"},
        {kHeader + e1 + std::string("\0", 1) + e2, -1, 3, "NUL starts a line of its own"},
    };
    for (const auto& c : kCases) {
        long bad = 12345;
        EXPECT_EQ(Check(c.text, &bad), c.want) << Printable(c.text) << " (" << c.why << ")";
        EXPECT_EQ(bad, c.badLine) << Printable(c.text) << " (" << c.why << ")";
    }
}

TEST(ManifestText, FillsEntriesInOrder) {
    const std::string text = "VEQPATCH1\t" + std::string(32, 'C') + "\r\n" + kDigestUpper + "\t\tautoupdate.ini\r\n" +
                             Entry("268435456", "Music/x y.OGG", "");
    std::vector<ManifestEntry> entries(kMaxManifestEntries);
    char id[kReleaseIdChars + 1];
    long bad = -1;
    ASSERT_EQ(CheckManifestText(text.data(), text.size(), 3, id, entries.data(), &bad), 2);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(std::string(id), std::string(32, 'C'));
    EXPECT_EQ(kDigestUpper, entries[0].digest);
    EXPECT_EQ(entries[0].size, 0u);
    EXPECT_STREQ(entries[0].path, "autoupdate.ini");
    EXPECT_EQ(kDigest, entries[1].digest);
    EXPECT_EQ(entries[1].size, 268435456ULL);
    EXPECT_STREQ(entries[1].path, "Music/x y.OGG");
}

TEST(ManifestText, NextLineIsFgets) {
    std::string data(2000, 'x');
    data[1500] = '\n';
    EXPECT_EQ(NextPiece(data.data(), data.size(), 0), 1023u);
    EXPECT_EQ(NextPiece(data.data(), data.size(), 1023), 478u);  // through the LF at 1500
    EXPECT_EQ(NextPiece(data.data(), data.size(), 1501), 499u);
    EXPECT_EQ(NextPiece(data.data(), data.size(), 2000), 0u);
}

namespace {
// n entries under Textures/ with long common prefixes: the worst case for comparing each with every earlier one.
std::string ManyEntries(long n, size_t nameChars) {
    std::string text = kHeader;
    const std::string stem = "Textures/" + std::string(nameChars, 'q');
    for (long i = 0; i < n; i++) {
        char tail[32];
        snprintf(tail, sizeof tail, "%05ld.utx", i);
        text += Entry("1", stem + tail);
    }
    return text;
}
}  // namespace

TEST(ManifestText, EntryLimitsAndSpeed) {
    long bad = -1;
    std::string full = ManyEntries(kMaxManifestEntries, 150);  // 2.29 MB: only the fetch limit refuses it
    EXPECT_EQ(Check(full, &bad), -1);
    EXPECT_EQ(bad, 0) << "larger than 2 MiB";

    full = ManyEntries(kMaxManifestEntries, 120);  // 1.99 MB, paths of 138 characters
    ASSERT_LE(full.size(), kManifestMaxBytes);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Check(full, &bad), kMaxManifestEntries);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 1000) << "10000 entries with long common prefixes took " << ms << " ms";
    RecordProperty("check_10000_entries_ms", (int)ms);

    EXPECT_EQ(Check(full + "\n", &bad), -1);
    EXPECT_EQ(bad, kMaxManifestEntries + 2) << "a 10001st line fails even when empty";
    std::string over = ManyEntries(kMaxManifestEntries + 1, 10);
    EXPECT_EQ(Check(over, &bad), -1);
    EXPECT_EQ(bad, kMaxManifestEntries + 2);

    std::string dup = ManyEntries(kMaxManifestEntries - 1, 120);
    dup += Entry("9", "Textures/" + std::string(120, 'Q') + "00017.UTX");
    EXPECT_EQ(Check(dup, &bad), -1);
    EXPECT_EQ(bad, kMaxManifestEntries + 1) << "the last entry repeats the 18th in other case";
}

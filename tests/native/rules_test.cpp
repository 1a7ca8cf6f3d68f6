// The Windows-free decisions, a table each: manifest, autoupdate.ini, launch and crash, limits, the patch run,
// the progress figures.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/ini_rules.h"
#include "launch/launch_rules.h"
#include "patch/chunk_rules.h"
#include "patch/download_rules.h"
#include "patch/index_rules.h"
#include "patch/journal_rules.h"
#include "patch/manifest_rules.h"
#include "patch/patch_run_rules.h"
#include "shell/disk_rules.h"
#include "shell/format_rules.h"
#include "shell/progress_rules.h"
#include "upload/upload_rules.h"

// Escaped and cut, so a failing case prints readably.
static std::string Shown(const std::string& s) { return testing::PrintToString(s.substr(0, 200)); }

static const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
static const std::string kId = "0123456789abcdef0123456789abcdef", kHeader = "VEQPATCH1\t" + kId + "\n";

static std::string Entry(const std::string& size, const std::string& path = "System/a.u", const char* end = "\n") {
    return kDigest + "\t" + size + "\t" + path + end;
}

// n entries under Textures/ with long common prefixes: the worst case for comparing each with every earlier one.
static std::string ManyEntries(long n, size_t nameChars) {
    std::string text = kHeader;
    for (long i = 0; i < n; i++)
        text += Entry("1", "Textures/" + std::string(nameChars, 'q') + std::to_string(100000 + i) + ".utx");
    return text;
}

TEST(Rules, ManifestPath) {
    const struct { std::string path; bool ok; const char* why; size_t dirLen = 20; } kCases[] = {
        {"System/Sub Dir/x-y_1.ms.INT", true, "subfolders, blank, hyphen, underscore; the last extension, any case"},
        {"Sounds/COM0/NULL/ a b.c d/COM10.uax", true, "no device names; blanks and dots within names"},
        {"AutoUpdate.ini", false, "compared case-sensitively"}, {"autoupdate.ini ", false, "exactly autoupdate.ini"},
        {"textures/foo.utx", false, "folder is case-sensitive"}, {"System/x.u.bak", false, "the last extension"},
        {"System/x.u ", false, "trailing blank belongs to the extension"},
        {"System/a.b/c", false, "a dot in a folder name is no extension"},
        {"Maps/x", false, "no extension"}, {"Maps/x.utx", false, "another folder's extension"},
        {"Help/x.u", false, "not a client folder"}, {"System/a..b.u", false, ".. inside a name"},
        {"/System/a.u", false, "leading /"}, {"System/a\\b.u", false, "backslash"},
        {"System/a:b.u", false, "colon (alternate data stream)"}, {"System/\xE9t\xE9.u", false, "bytes above 127"},
        {std::string("System/a\0.u", 11), false, "NUL is a byte, not the end"}, {"", false, "empty"},
        {std::string("autoupdate.ini\0", 15), false, "NUL after an accepted name"},
        // Devices as a folder or with an extension, folders ending in a dot or blank: the fuzz corpus's refused-*.
        {"System/con.u", false, "device in lower case"}, {"Sounds/COM1.uax", false, "COM1"},
        {"Sounds/lPt9.uax", false, "LPT9"}, {"Maps/PRN.x.ut2", false, "a device whatever follows the first dot"},
        {"System/./a.u", false, "dot folder"}, {"Maps/x .ut2", false, "name ending in a blank before its extension"},
        {"Textures/a//x.utx", false, "empty folder name"},
        // At most 180 characters, and install folder + path + 16 within 259.
        {"System/" + std::string(169, 'a') + ".int", true, "180"},
        {"System/" + std::string(170, 'a') + ".int", false, "181"},
        {"System/" + std::string(32, 'a') + ".int", true, "200 + 43 + 16 = 259", 200},
        {"System/" + std::string(33, 'a') + ".int", false, "200 + 44 + 16 = 260", 200},
        {"autoupdate.ini", false, "the length rule covers autoupdate.ini too", 230},
        {"System/a.u", false, "absurd folder length must not wrap around", (size_t)-1},
    };
    for (const auto& c : kCases) {
        const char* problem = ManifestPathProblem(c.path.data(), c.path.size(), c.dirLen);
        EXPECT_EQ(problem == NULL, c.ok) << Shown(c.path) << " in a folder of " << c.dirLen << " (" << c.why
                                         << "): " << (problem ? problem : "accepted");
    }
}

// Whole texts through the one checker that ships. `first` is "<size> <path>" of the first entry when accepted.
TEST(Rules, ManifestText) {
    const std::string e1 = Entry("1"), e2 = Entry("2", "Maps/b.ut2"), tag = "VEQPATCH1\t", tail = e1.substr(64);
    const std::string full = ManyEntries(kMaxManifestEntries, 119);
    // Exactly 1023 bytes without a line end: read as one piece, the rest as the next line.
    const std::string split = kDigest + "\t" + std::string(946, '0') + "1\tSystem/a.u";
    const struct { std::string text; long want, badLine; const char* why; std::string first = ""; } kCases[] = {
        {tag + "0123456789ABCDEF0123456789ABCDEF\r\n" + Entry("12", "System/a.u", "\rjunk\tmore\r") +
         Entry("2", "Maps/b.ut2", "\r\n"), 1, 0, "CR LF, id kept; what follows a CR ignored, a lone CR ends nothing",
         "12 System/a.u"},
        {kHeader + "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08\t" + std::string(40, '0') +
         "7\tMaps/a.ut2\n", 1, 0, "upper-case digest as written, leading zeros", "7 Maps/a.ut2"},
        {kHeader + Entry("", "autoupdate.ini") + Entry("268435456"), 2, 0, "empty is 0; 256 MiB", "0 autoupdate.ini"},
        {kHeader + split + Entry("2", "Maps/b.ut2", ""), 2, 0, "1023-byte piece, its rest; no LF last", "1 System/a.u"},
        {full, kMaxManifestEntries, 0, "10000 entries, 1.99 MB", "1 Textures/" + std::string(119, 'q') + "100000.utx"},
        {"", -1, 1, "empty file"}, {"\xEF\xBB\xBF" + kHeader + e1, -1, 1, "byte order mark"},
        {tag + kId.substr(1) + "\n" + e1, -1, 1, "31 digits"}, {tag + kId + "0\n" + e1, -1, 1, "33 digits"},
        {tag + kId.substr(1) + "g\n" + e1, -1, 1, "id not hex"}, {"veqpatch1\t" + kId + "\n" + e1, -1, 1, "tag case"},
        {kHeader, -1, 2, "header only"}, {tag + kId, -1, 2, "header only, no line end"},
        {kHeader + Entry("268435457"), -1, 2, "256 MiB + 1"}, {kHeader + Entry("+5"), -1, 2, "plus sign"},
        // 10^10 * 2^64 + 5: arithmetic that wraps instead of saturating would see 5.
        {kHeader + Entry("184467440737095516160000000005"), -1, 2, "saturates, not wraps"},
        {kHeader + kDigest.substr(1) + tail, -1, 2, "63-digit digest"}, {kHeader + kDigest + "0" + tail, -1, 2, "65"},
        {kHeader + kDigest.substr(1) + "g" + tail, -1, 2, "digest not hex"},
        {kHeader + Entry("1", "System/a.u\tx"), -1, 2, "a third TAB lands in the path"},
        {kHeader + kDigest + "\tSystem/a.u\n", -1, 2, "only one TAB"},
        {kHeader + Entry("1", std::string("System/a.u\0", 11)), -1, 2, "NUL just before the line end"},
        {kHeader + kDigest + "\t" + std::string(947, '0') + "1\tSystem/a.u\n", -1, 2, "1024th byte cut off"},
        {kHeader + split + "x" + e2, -1, 2, "rest of a long line is on the same physical line"},
        {kHeader + e1 + "\n" + e2, -1, 3, "blank line between entries"},
        {kHeader + e1 + e2 + "\n", -1, 4, "blank line at the end"},
        {kHeader + e1 + "\r\n", -1, 3, "CR LF blank line at the end"},
        {kHeader + e1 + Entry("1", "System/a.u", "\rSystem/b.u\n"), -1, 3, "text after CR is ignored"},
        {kHeader + e1 + std::string("\0", 1) + e2, -1, 3, "NUL starts a line of its own"},
        {ManyEntries(kMaxManifestEntries, 150), -1, 0, "2.29 MB: larger than the fetch takes"},
        {full + "\n", -1, kMaxManifestEntries + 2, "a 10001st line fails even when empty"},
        {ManyEntries(kMaxManifestEntries + 1, 10), -1, kMaxManifestEntries + 2, "10001 entries"},
        {ManyEntries(kMaxManifestEntries - 1, 119) + Entry("9", "Textures/" + std::string(119, 'Q') + "100017.UTX"), -1,
         kMaxManifestEntries + 1, "the last entry repeats the 18th in other case"},
    };
    static std::vector<ManifestEntry> entries(kMaxManifestEntries);
    for (const auto& c : kCases) {
        char id[kReleaseIdChars + 1] = "";
        long bad = 12345, n = CheckManifestText(c.text.data(), c.text.size(), 20, id, entries.data(), &bad);
        EXPECT_EQ(n, c.want) << Shown(c.text) << " (" << c.why << ")";
        EXPECT_EQ(bad, c.badLine) << Shown(c.text) << " (" << c.why << ")";
        if (n < 1) continue;
        EXPECT_EQ(id, c.text.substr(10, kReleaseIdChars)) << c.why;
        EXPECT_EQ(entries[0].digest, c.text.substr(c.text.find('\n') + 1, 64)) << c.why;
        EXPECT_EQ(std::to_string(entries[0].size) + " " + entries[0].path, c.first) << c.why;
    }
}

TEST(Rules, ConfigRewrite) {
    const std::string kHost = "BishopIP=10.9.8.7\r\n", kPort = "BishopPort=7451\r\n", kVer = "initialVer=0.9.9.14\r\n";
    // Each line is rewritten on its own, so a case may hold several. out: empty for the input unchanged. Lines
    // across the 1023-byte read are left to the fuzz target, whose corpus holds them, against its own reading.
    const struct { std::string in, out; int replaced; const char* why; } kCases[] = {
        {"[Login]\r\nBishopIP = x\n bishopport=1\r\n\tINITIALVER=1\nBishopIPort=1\n" + std::string("BishopIP\0\n", 10) +
         "a=1\nBishopPort", "[Login]\r\n" + kHost + kPort + kVer + kHost + kHost + "a=1\n" + kPort, 6,
         "the three keys in any case, a prefix enough, NUL after it too; the rest copied; the last gains CR LF"},
        {"\xEF\xBB\xBF" "BishopIP=x\r\n;BishopIP=x\r\n\fBishopIP=x\n" + std::string("Bishop\0IP=x\n", 12) + "a=1\nlast",
         "", 0, "no key behind a byte order mark, ';' or a form feed, nor with a NUL inside; the last line kept"},
    };
    for (const auto& c : kCases) {
        std::string out;
        int replaced = RewriteConfigText(c.in.data(), c.in.size(), "10.9.8.7", [](void* ctx, const char* b, size_t n) {
            static_cast<std::string*>(ctx)->append(b, n);  // an empty write fails the fuzz target
        }, &out);
        EXPECT_EQ(out, c.out.empty() ? c.in : c.out) << Shown(c.in) << " (" << c.why << ")";
        EXPECT_EQ(replaced, c.replaced) << Shown(c.in) << " (" << c.why << ")";
    }
}

TEST(Rules, LaunchAndCrash) {
    const std::string kExe = "C:\\G\\System\\ZQ.exe", kLongExe = "C:\\" + std::string(240, 'd') + "\\System\\ZQ.exe";
    const struct { std::string exe; int mode; std::string want; } kLines[] = {
        {kExe, kLaunchPlay, "\"" + kExe + "\" -updated -BishopIP=10.1.2.3 -BishopPort=7451 -window"},
        {kExe, kLaunchDebug, "\"" + kExe + "\" -updated -BishopIP=10.1.2.3 -BishopPort=7451 -log"},
        {kLongExe, kLaunchPlay, "\"" + kLongExe + "\""},  // cut to 259 characters
    };
    for (const auto& c : kLines) {
        char buf[260];
        FormatClientCommandLine(buf, sizeof buf, c.exe.c_str(), "10.1.2.3", c.mode);
        EXPECT_EQ(std::string(buf), c.want) << "mode " << c.mode;
    }
    // want32/want64: debugged by a 32-bit or a 64-bit launcher.
    const struct { unsigned long code; int want32, want64; const char* why; } kCodes[] = {
        {0x80000003ul, 0, 0, "EXCEPTION_BREAKPOINT, also the initial one"},
        {0x40010006ul, 0, 0, "DBG_PRINTEXCEPTION_C"}, {0x4001000Aul, 0, 0, "DBG_PRINTEXCEPTION_WIDE_C"},
        {0x4000001Ful, 1, 0, "STATUS_WX86_BREAKPOINT reaches only a 64-bit debugger of a 32-bit client"},
        {0x4000001Eul, 1, 1, "STATUS_WX86_SINGLE_STEP: we never set the trap flag"},
        {0xC0000005ul, 1, 1, "access violation"}, {0x406D1388ul, 0, 0, "a thread's name, told to the debugger"},
        {0x40010005ul, 1, 1, "DBG_CONTROL_C is the client's own, not a debug string"},
    };
    for (const auto& c : kCodes) {
        EXPECT_EQ(CountsAsCrash(c.code, 0), c.want32) << std::hex << c.code << " 32-bit (" << c.why << ")";
        EXPECT_EQ(CountsAsCrash(c.code, 1), c.want64) << std::hex << c.code << " 64-bit (" << c.why << ")";
    }
    // Who starts the client, or the browser. facts: elevated, linked token, player may replace (-1: cannot tell),
    // built to inherit the launcher's rights, browser. failed: the way that failed before, with its error.
    const int L = kStartAsLauncher, P = kStartAsPlayer, S = kStartThroughShell, N = kStartNothing;
    const StartFacts kSwappable = {1, 1, 1, 0, 0};
    const struct { StartFacts f; int failed; unsigned long error; int want; const char* why; } kWays[] = {
        {{0, 1, 1, 0, 0}, -1, 0, L, "not elevated"}, {kSwappable, -1, 0, P, "the player could have swapped it"},
        {{1, 1, -1, 0, 0}, -1, 0, P, "cannot tell: as if the player could"},
        {{1, 1, 0, 0, 0}, -1, 0, L, "a folder the player cannot change"},
        {{1, 0, 1, 0, 0}, -1, 0, L, "no linked token (UAC off): the player's programs run as administrator anyway"},
        {{1, 1, 1, 1, 0}, -1, 0, L, "built to inherit the launcher's rights"},
        {{1, 1, 1, 1, 1}, -1, 0, S, "the browser is never elevated, whatever the build"},
        {{1, 0, 0, 0, 1}, -1, 0, S, "nor without a linked token"}, {{0, 0, 0, 0, 1}, -1, 0, L, "not elevated"},
        {kSwappable, P, 32, N, "a held exe fails whoever starts it"},
        {kSwappable, S, 2, N, "no shell: never the launcher's token instead"},
        {{1, 1, 1, 0, 1}, S, 1008, N, "no shell for the browser"},
        {{0, 1, 1, 0, 0}, L, 740, N, "a launcher that is not elevated shows the failure, as before"},
    };
    for (const auto& c : kWays) EXPECT_EQ(NextStartWay(&c.f, c.failed, c.error), c.want) << c.why;
    // Demands elevation, no token of the player's, no privilege for it, no secondary logon service: Windows asks.
    for (unsigned long e : {740ul, 1008ul, 1314ul, 1058ul}) EXPECT_EQ(NextStartWay(&kSwappable, P, e), S) << e;
    const struct { unsigned long code; unsigned long long address; size_t cap; const char* want; } kNotes[] = {
        {0x00000001ul, 0xA1B2C3ull, kCrashNoteCap, "exception=0x00000001 address=00a1b2c3\r\n"},
        {0xC0000005ul, 0x140001A2Bull, kCrashNoteCap, "exception=0xc0000005 address=140001a2b\r\n"},
        {0xFFFFFFFFul, ~0ull, kCrashNoteCap, "exception=0xffffffff address=ffffffffffffffff\r\n"},
        {0xC0000005ul, 0x10, 12, "exception=0"}, {0xC0000005ul, 0x10, 0, "untouched"},
    };
    for (const auto& c : kNotes) {
        char buf[kCrashNoteCap] = "untouched";
        FormatCrashNote(buf, c.cap, c.code, c.address);
        EXPECT_STREQ(buf, c.want) << std::hex << c.address << " in " << std::dec << c.cap << " bytes";
    }
}

TEST(Rules, AsciiCompareAndSizeLimits) {
    EXPECT_TRUE(EqualsNoCase("C:\\Game\\System\\ZQ.EXE", "c:\\game\\system\\zq.exe"));
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_FALSE(EqualsNoCase("\xC4", "\xE4")) << "Latin-1 letters are not folded";
    EXPECT_FALSE(EqualsNoCase("[", "{")) << "0x5B and 0x7B differ by 0x20 but are no letters";
    const std::string dir(250, 'd');
    EXPECT_TRUE(JoinFits(260, dir.c_str(), "12345678")) << "250 + 1 + 8 = 259";
    EXPECT_FALSE(JoinFits(260, dir.c_str(), "123456789")) << "260 characters need 261 bytes";
    // The disk module's paths: strictly below the install folder, each name as Windows will read it.
    EXPECT_EQ(DiskRelativeStart("C:\\G", "C:\\G\\a b\\c.u"), 5u);
    for (const char* p : {"C:\\G", "C:\\G\\", "C:\\Ga\\x", "C:\\G\\a\\..\\..\\x", "C:\\G\\a.\\x", "C:\\G\\a \\x",
                          "C:\\G\\a\\\\x", "C:\\G\\a/..", "C:\\G\\a:s"})
        EXPECT_EQ(DiskRelativeStart("C:\\G", p), 0u) << p;
    const struct { long size; int want; } kUploads[] = {{0, 0}, {1, 1}, {67108864, 1}, {67108865, 0}, {-1, 0}};
    for (const auto& c : kUploads) EXPECT_EQ(UploadSizeAllowed(c.size), c.want) << "upload of " << c.size;
}

// What the patch run reads back: a journal that never leads a restore outside the install folder, an index for
// its own release only, a Content-Range that continues exactly the bytes we hold; and when to try again.
TEST(Rules, JournalIndexRangesAndRetries) {
    char line[kIndexLineCap];
    const std::string written(line, FormatJournalLine(line, kJournalLineCap, 9999, 0, "Sounds/New Dir/five.uax"));
    // want: the entry count, whether the mark is there, and the first entry as "<index> <existed> <path>".
    const struct { std::string text, want; const char* why; } kJournals[] = {
        {written + "5\t1\tMaps/B.ut2\n", "2 open 9999 0 Sounds/New Dir/five.uax", "as written, no mark yet"},
        {"0\t1\tSystem/A.u\nend\n", "1 marked 0 1 System/A.u", "marked"}, {"end\n", "0 marked", "nothing to put back"},
        {"0\t1\tSystem/A.u\nend", "1 open 0 1 System/A.u", "a torn last line (a power cut) is not there"},
        {"0\t1\tSystem/A.u\n" + std::string(3, '\0'), "1 open 0 1 System/A.u", "nor one the disk filled with zeros"},
        {"end\n0\t1\tSystem/A.u\n", "-1", "the mark comes last"}, {"end\nen", "-1", "nothing follows it, torn or not"},
        {"0\t2\tSystem/A.u\nen", "-1", "existed is 0 or 1, whatever the last line"}, {"10000\t1\tSystem/A.u\n", "-1", "no index past 9999"},
        {"0\t1\tSystem/../../x.u\n", "-1", "the path rules apply"}, {"0\t1\tMaps/CON.ut2\n", "-1", "a device"},
    };
    for (const auto& c : kJournals) {
        JournalEntry e[4];
        int complete = 0;
        long n = ParseJournal(c.text.data(), c.text.size(), 20, e, 4, &complete);
        std::string got = n < 0 ? "-1" : std::to_string(n) + (complete ? " marked" : " open");
        if (n > 0) got += " " + std::to_string(e[0].index) + " " + std::to_string(e[0].existed) + " " + e[0].path;
        EXPECT_EQ(got, c.want) << c.why;
    }

    IndexEntry e = {"", {18446744073709551615ull, 133000000000000000ull, 42, 4294967295ul}, "Textures/A b.utx"}, got[2];
    memcpy(e.digest, kDigest.c_str(), 65);
    std::string index(line, FormatIndexHeader(line, sizeof line, kId.c_str()));
    index += std::string(line, FormatIndexLine(line, sizeof line, &e));
    ASSERT_EQ(ParseIndex(index.data(), index.size(), kId.c_str(), got, 2), 1) << index;
    EXPECT_TRUE(SameFacts(&got[0].facts, &e.facts));
    EXPECT_STREQ(got[0].path, e.path);
    EXPECT_EQ(ParseIndex(index.data(), index.size(), std::string(32, 'f').c_str(), got, 2), -1) << "another release";
    EXPECT_EQ(ParseIndex(index.data(), index.size() - 1, kId.c_str(), got, 2), -1) << "cut short";
    index[index.find('\t', 70) + 1] = 'x';
    EXPECT_EQ(ParseIndex(index.data(), index.size(), kId.c_str(), got, 2), -1) << "a size that is no number";

    EXPECT_TRUE(RangeContinues("bytes 65536-199999/200000", 25, 65536, 200000));
    EXPECT_TRUE(ContentRangeIs("bytes 10-19/200000", 18, 10, 19, 200000) && !ContentRangeIs("bytes 10-19/200000", 18, 10, 20, 200000));
    for (const char* r : {"bytes 0-199999/200000", "bytes 65536-199998/200000", "bytes 65536-199999/*",
                          "bytes 65536-199999/200001", "bytes  65536-199999/200000", "bytes 65536-199999/200000x"})
        EXPECT_FALSE(RangeContinues(r, strlen(r), 65536, 200000)) << r;
    EXPECT_EQ(std::vector<unsigned>({RetryDelayMs(1), RetryDelayMs(2), RetryDelayMs(3), RetryDelayMs(4)}),
              std::vector<unsigned>({1000, 2000, 4000, 0}));
    for (unsigned long s : {502ul, 503ul, 504ul}) EXPECT_TRUE(IsTransientStatus(s)) << s;
    for (unsigned long s : {200ul, 404ul, 500ul, 505ul}) EXPECT_FALSE(IsTransientStatus(s)) << s;
    EXPECT_FALSE(IsTransientWinHttpError(12175)) << "a certificate or TLS failure will not change";

    EXPECT_EQ(HashThreadCount(2, 500), 2);
    EXPECT_EQ(HashThreadCount(16, 500), kMaxHashThreads);
    EXPECT_EQ(HashThreadCount(8, 3), 3);
}

// The chunks of `data` as both sides cut them, read in pieces of at most 100000 bytes through the smallest window
// allowed, so that it is refilled mid-chunk.
static std::vector<std::string> Chunks(const std::string& data) {
    struct Stream { const std::string* data; size_t pos; std::vector<std::string> out; } s = {&data, 0, {}};
    std::vector<unsigned char> window(kChunkMaxBytes);
    auto read = [](void* ctx, unsigned char* buf, size_t cap) {
        Stream* s = (Stream*)ctx;
        size_t n = std::min({cap, s->data->size() - s->pos, (size_t)100000});
        memcpy(buf, s->data->data() + s->pos, n);
        s->pos += n;
        return (long)n;
    };
    auto take = [](void* ctx, const unsigned char* c, size_t len) { ((Stream*)ctx)->out.emplace_back((const char*)c, len); return 1; };
    EXPECT_TRUE(ForEachChunk(window.data(), window.size(), read, take, &s));
    return s.out;
}

// An edit changes only the chunks around it (its own bytes at least, three chunks' worth at most); an unrelated
// file shares none. Cut as a stream, every chunk is where cutting the whole puts it, within the limits.
TEST(Rules, ChunkBoundariesSurviveEdits) {
    std::mt19937 rng(7);
    std::string old(8 << 20, '\0'), other(old);
    for (char& c : old) c = (char)rng();
    for (char& c : other) c = (char)rng();
    std::string rewritten = old, inserted = old;
    for (size_t i = 0; i < 10; i++) rewritten.replace(old.size() / 10 * i + 999, 8192, other, i * 8192, 8192);
    for (size_t i = 5; i-- > 0;) inserted.insert(old.size() / 5 * i + 777, other, i * 4096, 4096);
    const std::vector<std::string> oldChunks = Chunks(old);
    const std::set<std::string> kept(oldChunks.begin(), oldChunks.end());
    const struct { const std::string* data; size_t least, most; } kCases[] = {
        {&rewritten, 10 * 8192, 10 * 3 * kChunkAvgBytes}, {&inserted, 5 * 4096, 5 * 3 * kChunkAvgBytes},
        {&other, other.size(), other.size()}};
    for (const auto& c : kCases) {
        size_t missing = 0, at = 0;
        for (const std::string& chunk : Chunks(*c.data)) {
            missing += kept.count(chunk) ? 0 : chunk.size();
            EXPECT_EQ(ChunkLength((const unsigned char*)c.data->data() + at, c.data->size() - at), chunk.size());
            at += chunk.size();
            EXPECT_TRUE(chunk.size() <= kChunkMaxBytes && (chunk.size() >= kChunkMinBytes || at == c.data->size()));
        }
        EXPECT_EQ(at, c.data->size());
        EXPECT_TRUE(missing >= c.least && missing <= c.most) << missing << " new bytes of " << at;
    }
    EXPECT_NEAR((double)old.size() / oldChunks.size(), kChunkAvgBytes, kChunkAvgBytes / 8) << "average length";
}

// An index reads back as written (the fuzz target refuses every other spelling). A plan takes an old chunk for
// every chunk of its length and digest, once, and fetches the rest in ranges of at most the given size, one
// chunk at least.
TEST(Rules, ChunkIndexAndPlan) {
    ChunkEntry e[7] = {{262144, {1}}, {100000, {2}}, {262144, {1}}, {262144, {3}},
                       {262144, {4}}, {262144, {5}}, {5, {6}}};
    char buf[kChunkHeaderCap], named[65];
    std::string index(buf, FormatChunkHeader(buf, sizeof buf, kDigest.c_str()));
    for (const ChunkEntry& c : e) index.append(buf, FormatChunkLine(buf, sizeof buf, &c));
    ChunkEntry got[7];
    unsigned long long total = 0;
    ASSERT_EQ(ParseChunkIndex(index.data(), index.size(), named, got, 7, &total), 7) << index;
    EXPECT_TRUE(named == kDigest && total == 5 * 262144 + 100005 && memcmp(got, e, sizeof e) == 0);

    DeltaPlan plan;
    unsigned found[4];
    ASSERT_TRUE(StartDeltaPlan(&plan, e, 7));
    EXPECT_FALSE(WantsLength(&plan, 99999));
    EXPECT_EQ(TakeMatches(&plan, 262144, e[0].digest, found, 4), 2u);
    EXPECT_EQ(TakeMatches(&plan, 262144, e[0].digest, found, 4), 0u) << "taken once";
    EXPECT_EQ(TakeMatches(&plan, 100000, e[3].digest, found, 4), 0u) << "same digest, other length";
    EXPECT_EQ(TakeMatches(&plan, 5, e[6].digest, found, 4), 1u);
    EXPECT_EQ(plan.keptBytes, 2 * 262144u + 5);
    const struct { unsigned long long most; std::string want; } kPlans[] = {
        {1 << 20, "1+1@262144 3+3@624288"}, {524288, "1+1@262144 3+2@624288 5+1@1148576"},
        {1, "1+1@262144 3+1@624288 4+1@886432 5+1@1148576"},
    };
    for (const auto& c : kPlans) {  // first+count@offset, and ! when its bytes are not its chunks'
        std::string got;
        ChunkRange r;
        for (size_t next = 0; NextMissingRange(&plan, &next, c.most, &r);)
            got += (got.empty() ? "" : " ") + std::to_string(r.first) + "+" + std::to_string(r.count) + "@" +
                   std::to_string(r.offset) + (r.bytes == plan.offsets[r.first + r.count] - r.offset ? "" : "!");
        EXPECT_EQ(got, c.want) << "at most " << c.most;
    }
    EndDeltaPlan(&plan);
}

// Samples ten a second from `startMs`, each segment of the run at its own rate (bytes a second).
static ProgressFigures Progress(int phase, double total, std::vector<std::pair<unsigned, double>> run, unsigned startMs = 0) {
    ProgressFigures f;
    StartFigures(&f, phase, startMs);
    unsigned long long done = 0;
    for (auto [ms, rate] : run) {
        for (unsigned t = 100; t <= ms; t += 100) SampleFigures(&f, done + llround(rate * t / 1000), total, startMs += 100);
        done += llround(rate * ms / 1000);
    }
    return f;
}

TEST(Rules, ProgressFigures) {
    const double M = 1048576;
    const std::string dot = " \xC2\xB7 ";
    const struct { int phase; double total; std::vector<std::pair<unsigned, double>> run; std::string text; unsigned permille; } kCases[] = {
        {kProgressHashing, 3072 * M, {{100, 15360 * M}}, "1536 / 3072 MB", 500},  // whole megabytes from 100
        {kProgressHashing, 50 * M, {{1000, 5.55 * M}}, "5.5 / 50.0 MB", 111},    // tenths below, rounded down
        {kProgressHashing, 3 * M, {{1000, 5 * M}}, "3.0 / 3.0 MB", 1000},        // a file larger than announced
        // Time left after 5 s of transfer; waiting for the first byte is none.
        {kProgressDownloading, 100 * M, {{3000, 0}, {4500, M}}, "4.5 / 100 MB" + dot + "1.0 MB/s", 45},
        {kProgressDownloading, 100 * M, {{10000, M}}, "10.0 / 100 MB" + dot + "1.0 MB/s" + dot + "1:30 lagi", 100},
        {kProgressDownloading, 100000 * M, {{5000, 0.1 * M}}, "0.5 / 100000 MB" + dot + "0.1 MB/s" + dot + "999:59 lagi", 0},
        {kProgressDownloading, 0, {{1000, M}}, "", 0},  // nothing to fetch: hidden
        {kProgressHidden, 100 * M, {{1000, M}}, "", 0},
    };
    for (const auto& c : kCases) {
        char text[kProgressTextCap];
        unsigned permille = 1234;
        ProgressFigures f = Progress(c.phase, c.total, c.run, 1000);
        EXPECT_EQ(FormatFigures(&f, text, sizeof text, &permille), c.text.size()) << c.text;
        EXPECT_EQ(text + std::string(" ") + std::to_string(permille), c.text + " " + std::to_string(c.permille));
    }
    // Smoothed: ten times the speed for 0.1 s barely moves the time left, a stall raises it gradually, half the
    // speed for 30 s wins; across a wrap of the millisecond clock too.
    const double steady = Progress(kProgressDownloading, 100 * M, {{10000, M}, {1100, M}}).left;
    EXPECT_NEAR(Progress(kProgressDownloading, 100 * M, {{10000, M}, {100, 11 * M}, {1000, M}}).left, steady, 5);
    EXPECT_NEAR(Progress(kProgressDownloading, 100 * M, {{10000, M}, {3000, 0}}).left, 120, 25);
    EXPECT_NEAR(Progress(kProgressDownloading, 200 * M, {{10000, 2 * M}, {30000, M}}, 0xFFFFF000u).left, 150, 15);
}

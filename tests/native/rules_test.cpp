// The Windows-free decisions: the manifest, the autoupdate.ini rewrite, the client's command line, the crash
// decision and note, bounded formatting and the size limits.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/ini_rules.h"
#include "launch/launch_rules.h"
#include "patch/download_rules.h"
#include "patch/index_rules.h"
#include "patch/journal_rules.h"
#include "patch/manifest_rules.h"
#include "patch/patch_run_rules.h"
#include "shell/format_rules.h"
#include "upload/upload_rules.h"

namespace {

// Escaped and cut, so a failing case prints readably.
std::string Shown(const std::string& s) { return testing::PrintToString(s.substr(0, 200)); }

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
const std::string kId = "0123456789abcdef0123456789abcdef", kHeader = "VEQPATCH1\t" + kId + "\n";

std::string Entry(const std::string& size, const std::string& path, const char* end = "\n") {
    return kDigest + "\t" + size + "\t" + path + end;
}

// n entries under Textures/ with long common prefixes: the worst case for comparing each with every earlier one.
std::string ManyEntries(long n, size_t nameChars) {
    std::string text = kHeader;
    for (long i = 0; i < n; i++)
        text += Entry("1", "Textures/" + std::string(nameChars, 'q') + std::to_string(100000 + i) + ".utx");
    return text;
}

}  // namespace

TEST(Rules, ManifestPath) {
    const struct { std::string path; size_t dirLen; bool ok; const char* why; } kCases[] = {
        {"autoupdate.ini", 20, true, "the configuration file at the top"},
        {"AutoUpdate.ini", 20, false, "autoupdate.ini is compared case-sensitively"},
        {"autoupdate.ini ", 20, false, "exactly autoupdate.ini"},
        {"Textures/Foo.UTX", 20, true, "extension ignores case"},
        {"textures/foo.utx", 20, false, "folder prefix is case-sensitive"},
        {"System/Sub Dir/x-y_1.int", 20, true, "subfolders, blank, hyphen, underscore"},
        {"System/Lang.ms.int", 20, true, "extension is taken from the last full stop"},
        {"System/x.u.bak", 20, false, "extension is taken from the last full stop"},
        {"System/x.u ", 20, false, "trailing blank belongs to the extension"},
        {"System/a.b/c", 20, false, "a dot in a folder name is no extension"},
        {"Maps/x", 20, false, "no extension"},
        {"Maps/x.utx", 20, false, "another folder's extension"},
        {"Help/x.u", 20, false, "not a client folder"},
        {"System/a..b.u", 20, false, ".. inside a name"},
        {"/System/a.u", 20, false, "leading /"},
        {"System/a\\b.u", 20, false, "backslash"},
        {"System/a:b.u", 20, false, "colon (alternate data stream)"},
        {"System/\xE9t\xE9.u", 20, false, "bytes above 127"},
        {std::string("System/a\0.u", 11), 20, false, "NUL is a byte, not the end"},
        {std::string("autoupdate.ini\0", 15), 20, false, "NUL after an accepted name"},
        {"", 20, false, "empty"},
        {"Maps/NUL.ut2", 20, false, "device name with an extension"},
        {"System/con.u", 20, false, "device name in lower case"},
        {"Sounds/COM1.uax", 20, false, "COM1"},
        {"Sounds/lPt9.uax", 20, false, "LPT9"},
        {"Maps/PRN.x.ut2", 20, false, "a device whatever follows the first dot"},
        {"Textures/Aux/x.utx", 20, false, "a device as a folder"},
        {"Maps/NULL.ut2", 20, true, "no device"},
        {"Sounds/COM0.uax", 20, true, "no device"},
        {"Sounds/COM10.uax", 20, true, "no device"},
        {"Textures/a./x.utx", 20, false, "folder ending in a dot: Windows drops it"},
        {"Textures/a /x.utx", 20, false, "folder ending in a blank: Windows drops it"},
        {"System/./a.u", 20, false, "dot folder"},
        {"Maps/x .ut2", 20, false, "name ending in a blank before its extension"},
        {"Maps/ a b.c d.ut2", 20, true, "blanks and dots within names"},
        {"System/" + std::string(169, 'a') + ".int", 20, true, "180 characters"},
        {"System/" + std::string(170, 'a') + ".int", 20, false, "181 characters"},
        {"System/" + std::string(32, 'a') + ".int", 200, true, "200 + 43 + 16 = 259"},
        {"System/" + std::string(33, 'a') + ".int", 200, false, "200 + 44 + 16 = 260"},
        {"autoupdate.ini", 230, false, "the length rule covers autoupdate.ini too"},
        {"System/a.u", (size_t)-1, false, "absurd folder length must not wrap around"},
    };
    for (const auto& c : kCases) {
        const char* problem = ManifestPathProblem(c.path.data(), c.path.size(), c.dirLen);
        EXPECT_EQ(problem == NULL, c.ok) << Shown(c.path) << " in a folder of " << c.dirLen << " (" << c.why
                                         << "): " << (problem ? problem : "accepted");
    }
}

// Whole texts through the one checker that ships. `first` is "<size> <path>" of the first entry when accepted.
TEST(Rules, ManifestText) {
    const std::string e1 = Entry("1", "System/a.u"), e2 = Entry("2", "Maps/b.ut2");
    const std::string kUpper = "0123456789ABCDEF0123456789ABCDEF", full = ManyEntries(kMaxManifestEntries, 119);
    // Exactly 1023 bytes without a line end: read as one piece, the rest as the next line.
    const std::string split = kDigest + "\t" + std::string(946, '0') + "1\tSystem/a.u";
    const struct { std::string text; long want, badLine; std::string first; const char* why; } kCases[] = {
        {kHeader + e1 + e2, 2, 0, "1 System/a.u", "plain"},
        {"VEQPATCH1\t" + kUpper + "\r\n" + Entry("1", "System/a.u", "\r\n"), 1, 0, "1 System/a.u", "CR LF, id kept"},
        {kHeader + e1 + Entry("2", "Maps/b.ut2", ""), 2, 0, "1 System/a.u", "last line without line end"},
        {kHeader + Entry("12", "System/a.u", "\rjunk\tmore\n"), 1, 0, "12 System/a.u", "text after a CR is ignored"},
        {kHeader + "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08\t7\tMaps/a.ut2\n", 1, 0,
         "7 Maps/a.ut2", "upper-case digest, as written"},
        {kHeader + Entry("", "autoupdate.ini"), 1, 0, "0 autoupdate.ini", "empty size is 0"},
        {kHeader + Entry("268435456", "System/a.u"), 1, 0, "268435456 System/a.u", "exactly 256 MiB"},
        {kHeader + Entry(std::string(40, '0') + "12", "System/a.u"), 1, 0, "12 System/a.u", "leading zeros"},
        {kHeader + Entry("1", "System/a.u", "\r") + e2, 1, 0, "1 System/a.u", "a lone CR does not end the piece"},
        {kHeader + split + e2, 2, 0, "1 System/a.u", "1023-byte piece and its rest read as two lines"},
        {full, kMaxManifestEntries, 0, "1 Textures/" + std::string(119, 'q') + "100000.utx", "10000 entries, 1.99 MB"},
        // The header.
        {"", -1, 1, "", "empty file"},
        {"\xEF\xBB\xBF" + kHeader + e1, -1, 1, "", "byte order mark"},
        {"VEQPATCH1\t" + kId.substr(1) + "\n" + e1, -1, 1, "", "31 digits"},
        {"VEQPATCH1\t" + kId + "0\n" + e1, -1, 1, "", "33 digits"},
        {"VEQPATCH1\t" + kId.substr(1) + "g\n" + e1, -1, 1, "", "id not hex"},
        {"veqpatch1\t" + kId + "\n" + e1, -1, 1, "", "tag is case-sensitive"},
        {kHeader, -1, 2, "", "header only"},
        {"VEQPATCH1\t" + kId, -1, 2, "", "header only, no line end"},
        // Entries.
        {kHeader + Entry("268435457", "System/a.u"), -1, 2, "", "256 MiB + 1"},
        {kHeader + Entry("+5", "System/a.u"), -1, 2, "", "plus sign"},
        // 10^10 * 2^64 + 5: arithmetic that wraps instead of saturating would see 5.
        {kHeader + Entry("184467440737095516160000000005", "System/a.u"), -1, 2, "", "saturates, not wraps"},
        {kHeader + kDigest.substr(1) + "\t1\tSystem/a.u\n", -1, 2, "", "63-digit digest"},
        {kHeader + kDigest + "0\t1\tSystem/a.u\n", -1, 2, "", "65-digit digest"},
        {kHeader + kDigest.substr(1) + "g\t1\tSystem/a.u\n", -1, 2, "", "digest not hex"},
        {kHeader + Entry("1", "System/a.u\tx"), -1, 2, "", "a third TAB lands in the path"},
        {kHeader + kDigest + "\tSystem/a.u\n", -1, 2, "", "only one TAB"},
        {kHeader + Entry("1", std::string("System/a.u\0", 11)), -1, 2, "", "NUL just before the line end"},
        {kHeader + Entry("1", "textures/a.utx"), -1, 2, "", "path rules apply"},
        {kHeader + kDigest + "\t" + std::string(947, '0') + "1\tSystem/a.u\n", -1, 2, "", "1024th byte cut off"},
        {kHeader + split + "x" + e2, -1, 2, "", "rest of a long line is on the same physical line"},
        // The whole file.
        {kHeader + e1 + "\n" + e2, -1, 3, "", "blank line between entries"},
        {kHeader + e1 + e2 + "\n", -1, 4, "", "blank line at the end"},
        {kHeader + e1 + "\r\n", -1, 3, "", "CR LF blank line at the end"},
        {kHeader + e1 + Entry("1", "System/A.U"), -1, 3, "", "paths differing only in case are duplicates"},
        {kHeader + e1 + Entry("1", "System/a.u", "\rSystem/b.u\n"), -1, 3, "", "text after CR is ignored"},
        {kHeader + e1 + std::string("\0", 1) + e2, -1, 3, "", "NUL starts a line of its own"},
        {ManyEntries(kMaxManifestEntries, 150), -1, 0, "", "2.29 MB: larger than the fetch takes"},
        {full + "\n", -1, kMaxManifestEntries + 2, "", "a 10001st line fails even when empty"},
        {ManyEntries(kMaxManifestEntries + 1, 10), -1, kMaxManifestEntries + 2, "", "10001 entries"},
        {ManyEntries(kMaxManifestEntries - 1, 119) + Entry("9", "Textures/" + std::string(119, 'Q') + "100017.UTX"), -1,
         kMaxManifestEntries + 1, "", "the last entry repeats the 18th in other case"},
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
    const std::string kLong(1500, 'x');
    const struct { std::string in, out; int replaced; const char* why; } kCases[] = {
        {"BishopIP = old\n  bishopport=1\r\n\tINITIALVER=1.0\n", kHost + kPort + kVer, 3, "the three keys, any case"},
        {"[Login]\r\nBishopIP=1.2.3.4\r\nName=x\r\n", "[Login]\r\n" + kHost + "Name=x\r\n", 1, "others copied"},
        {"BishopIPort=1\n", kHost, 1, "prefix match, and BishopIP is tried before BishopPort"},
        {";BishopIP=x\r\n", ";BishopIP=x\r\n", 0, "commented out"},
        {"\xEF\xBB\xBF" "BishopIP=x\r\n", "\xEF\xBB\xBF" "BishopIP=x\r\n", 0, "byte order mark before the key"},
        {"\fBishopIP=x\n", "\fBishopIP=x\n", 0, "only spaces and tabs are skipped"},
        {"BishopIP=a\nBishopIP=b\n", kHost + kHost, 2, "a key twice counts twice"},
        {"a=1\nlast", "a=1\nlast", 0, "last line without line end stays so"},
        {"a=1\nBishopPort", "a=1\n" + kPort, 1, "the key alone without line end gains CR LF"},
        {std::string("Bishop\0IP=x\n", 12), std::string("Bishop\0IP=x\n", 12), 0, "NUL inside the key"},
        {std::string("BishopIP\0=x\n", 12), kHost, 1, "NUL after the key: still a prefix match"},
        // Lines longer than one 1023-byte piece.
        {"BishopIP=" + kLong + "\r\nNext=1\n", kHost + "Next=1\n", 1, "long key line replaced as a whole"},
        {"BishopIP=" + kLong, kHost, 1, "long key line at the end"},
        {"BishopIP=" + std::string(1013, 'x') + "\na\n", kHost + "a\n", 1, "1023-byte line, LF last"},
        {"BishopIP=" + std::string(1014, 'x') + "\nNext\n", kHost + "Next\n", 1, "LF alone in the 2nd piece"},
        {std::string(1023, 'x') + "BishopIP=evil\n", std::string(1023, 'x') + "BishopIP=evil\n", 0,
         "continuation piece starting with a key"},
        {kLong + "\nBishopPort=1\n", kLong + "\n" + kPort, 1, "long line, then a key line"},
        {std::string(1015, ' ') + "BishopIP=x\n", kHost, 1, "key ends at byte 1023"},
        {std::string(1016, ' ') + "BishopIP=x\n", std::string(1016, ' ') + "BishopIP=x\n", 0,
         "key beyond the first piece is not recognised"},
    };
    for (const auto& c : kCases) {
        std::string out;
        int replaced = RewriteConfigText(c.in.data(), c.in.size(), "10.9.8.7", [](void* ctx, const char* b, size_t n) {
            EXPECT_GT(n, 0u) << "the writer is never called with nothing";
            static_cast<std::string*>(ctx)->append(b, n);
        }, &out);
        EXPECT_EQ(out, c.out) << Shown(c.in) << " (" << c.why << ")";
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
        {0x40010006ul, 0, 0, "DBG_PRINTEXCEPTION_C"},
        {0x4001000Aul, 0, 0, "DBG_PRINTEXCEPTION_WIDE_C"},
        {0x4000001Ful, 1, 0, "STATUS_WX86_BREAKPOINT reaches only a 64-bit debugger of a 32-bit client"},
        {0x4000001Eul, 1, 1, "STATUS_WX86_SINGLE_STEP: we never set the trap flag"},
        {0xC0000005ul, 1, 1, "access violation"},
        {0x40010005ul, 1, 1, "DBG_CONTROL_C is the client's own, not a debug string"},
        {0x406D1388ul, 0, 0, "a thread's name, told to the debugger"},
    };
    for (const auto& c : kCodes) {
        EXPECT_EQ(CountsAsCrash(c.code, 0), c.want32) << std::hex << c.code << " 32-bit (" << c.why << ")";
        EXPECT_EQ(CountsAsCrash(c.code, 1), c.want64) << std::hex << c.code << " 64-bit (" << c.why << ")";
    }
    const struct { unsigned long code; unsigned long long address; size_t cap; const char* want; } kNotes[] = {
        {0xC0000005ul, 0xA1B2C3ull, kCrashNoteCap, "exception=0xc0000005 address=00a1b2c3\r\n"},
        {0x00000001ul, 0xFFFFFFFFull, kCrashNoteCap, "exception=0x00000001 address=ffffffff\r\n"},
        {0xC0000005ul, 0x140001A2Bull, kCrashNoteCap, "exception=0xc0000005 address=140001a2b\r\n"},
        {0xFFFFFFFFul, ~0ull, kCrashNoteCap, "exception=0xffffffff address=ffffffffffffffff\r\n"},
        {0xC0000005ul, 0x10, 12, "exception=0"},
        {0xC0000005ul, 0x10, 0, "untouched"},
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
    EXPECT_TRUE(PatchPathsFit(149)) << "149 + 110 = 259";
    EXPECT_FALSE(PatchPathsFit(150));
    const struct { long size; int want; } kUploads[] = {{0, 0}, {1, 1}, {67108864, 1}, {67108865, 0}, {-1, 0}};
    for (const auto& c : kUploads) EXPECT_EQ(UploadSizeAllowed(c.size), c.want) << "upload of " << c.size;
}

// What the patch run reads back from its own files and from the server: a journal that must never lead a restore
// outside the install folder, an index that vouches only for its own release, a Content-Range that continues
// exactly the bytes we hold, and when another try is worth it.
TEST(Rules, JournalIndexRangesAndRetries) {
    const struct { std::string text; long want; int complete; const char* why; } kJournals[] = {
        {"0\t1\tSystem/A.u\n5\t0\tMaps/B.ut2\n", 2, 0, "cut off before its mark"},
        {"0\t1\tSystem/A.u\nend\n", 1, 1, "marked"},
        {"end\n", 0, 1, "nothing to put back"},
        {"0\t1\tSystem/A.u", -1, 0, "a line without its LF"},
        {"end\n0\t1\tSystem/A.u\n", -1, 0, "nothing after the mark"},
        {"0\t2\tSystem/A.u\n", -1, 0, "existed is 0 or 1"},
        {"10000\t1\tSystem/A.u\n", -1, 0, "no entry index beyond the manifest's"},
        {"0\t1\tSystem/../../x.u\n", -1, 0, "a path the manifest rules refuse"},
        {"0\t1\tMaps/CON.ut2\n", -1, 0, "a device name"},
    };
    for (const auto& c : kJournals) {
        JournalEntry entries[4];
        int complete = -1;
        EXPECT_EQ(ParseJournal(c.text.data(), c.text.size(), 20, entries, 4, &complete), c.want) << c.why;
        if (c.want >= 0) EXPECT_EQ(complete, c.complete) << c.why;
    }
    char line[kJournalLineCap];
    std::string text(line, FormatJournalLine(line, sizeof line, 9999, 1, "Sounds/New Dir/five.uax"));
    JournalEntry back;
    int complete = 0;
    ASSERT_EQ(ParseJournal(text.data(), text.size(), 20, &back, 1, &complete), 1) << text;
    EXPECT_EQ(back.index, 9999u);
    EXPECT_STREQ(back.path, "Sounds/New Dir/five.uax");

    IndexEntry e = {"", {18446744073709551615ull, 133000000000000000ull, 42, 4294967295ul}, "Textures/A b.utx"};
    memcpy(e.digest, kDigest.c_str(), 65);
    char buf[kIndexLineCap];
    std::string index(buf, FormatIndexHeader(buf, sizeof buf, kId.c_str()));
    index += std::string(buf, FormatIndexLine(buf, sizeof buf, &e));
    IndexEntry got[2];
    ASSERT_EQ(ParseIndex(index.data(), index.size(), kId.c_str(), got, 2), 1) << index;
    EXPECT_TRUE(SameFacts(&got[0].facts, &e.facts));
    EXPECT_STREQ(got[0].path, e.path);
    EXPECT_EQ(ParseIndex(index.data(), index.size(), "fedcba9876543210fedcba9876543210", got, 2), -1) << "another release";
    EXPECT_EQ(ParseIndex(index.data(), index.size() - 1, kId.c_str(), got, 2), -1) << "cut short";
    std::string damaged = index;
    damaged[damaged.find('\t', 70) + 1] = 'x';
    EXPECT_EQ(ParseIndex(damaged.data(), damaged.size(), kId.c_str(), got, 2), -1) << "a size that is no number";

    const struct { const char* range; unsigned long long have, total; int want; } kRanges[] = {
        {"bytes 65536-199999/200000", 65536, 200000, 1}, {"bytes 0-199999/200000", 65536, 200000, 0},
        {"bytes 65536-199998/200000", 65536, 200000, 0}, {"bytes 65536-199999/*", 65536, 200000, 0},
        {"bytes 65536-199999/200001", 65536, 200000, 0}, {"bytes  65536-199999/200000", 65536, 200000, 0},
        {"bytes 65536-199999/200000x", 65536, 200000, 0},
    };
    for (const auto& c : kRanges) EXPECT_EQ(RangeContinues(c.range, strlen(c.range), c.have, c.total), c.want) << c.range;
    EXPECT_EQ(std::vector<unsigned>({RetryDelayMs(1), RetryDelayMs(2), RetryDelayMs(3), RetryDelayMs(4)}),
              std::vector<unsigned>({1000, 2000, 4000, 0}));
    for (unsigned long s : {502ul, 503ul, 504ul}) EXPECT_TRUE(IsTransientStatus(s)) << s;
    for (unsigned long s : {200ul, 404ul, 500ul, 505ul}) EXPECT_FALSE(IsTransientStatus(s)) << s;
    EXPECT_FALSE(IsTransientWinHttpError(12175)) << "a certificate or TLS failure will not change";

    char a[kRunLockNameCap], b[kRunLockNameCap], c[kRunLockNameCap];
    FormatRunLockName(a, sizeof a, "C:\\Games\\VEQ");
    FormatRunLockName(b, sizeof b, "c:\\GAMES\\veq");
    FormatRunLockName(c, sizeof c, "C:\\Games\\VEQ2");
    EXPECT_STREQ(a, b) << "one folder however its case is written";
    EXPECT_STRNE(a, c);
    EXPECT_EQ(std::string(a).find('\\', 7), std::string::npos) << a << ": one backslash, after the namespace";
    EXPECT_EQ(HashThreadCount(2, 500), 2);
    EXPECT_EQ(HashThreadCount(16, 500), kMaxHashThreads);
    EXPECT_EQ(HashThreadCount(8, 3), 3);
}

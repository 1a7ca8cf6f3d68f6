#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/ini_rules.h"
#include "shell/format_rules.h"
#include "native/printable.h"

namespace {

const std::string kHost = "BishopIP=" VEQ_SERVICE_HOST "\r\n";
const std::string kPort = "BishopPort=7451\r\n";
const std::string kVer = "initialVer=0.9.9.14\r\n";

void Append(void* ctx, const char* bytes, size_t n) {
    EXPECT_GT(n, 0u) << "the writer is never called with nothing";
    static_cast<std::string*>(ctx)->append(bytes, n);
}

std::string Rewrite(const std::string& in, int* replaced) {
    std::string out;
    *replaced = RewriteConfigText(in.data(), in.size(), VEQ_SERVICE_HOST, Append, &out);
    return out;
}

}  // namespace

TEST(ConfigRewrite, Lines) {
    const std::string kLong(1500, 'x');
    const struct {
        std::string in;
        std::string out;
        int replaced;
        const char* why;
    } kCases[] = {
        {"BishopIP = old\n  bishopport=1\r\n\tINITIALVER=1.0\n", kHost + kPort + kVer, 3, "the three keys, any case"},
        {"[Login]\r\nBishopIP=1.2.3.4\r\nName=x\r\n", "[Login]\r\n" + kHost + "Name=x\r\n", 1, "others copied"},
        {"BishopIPAddress=x\n", kHost, 1, "prefix match"},
        {"initialVersion=y\r\n", kVer, 1, "prefix match"},
        {"BishopIPort=1\n", kHost, 1, "BishopIP is tried before BishopPort"},
        {"BishopIP", kHost, 1, "the key alone, no line end"},
        {";BishopIP=x\r\n", ";BishopIP=x\r\n", 0, "commented out"},
        {"[BishopIP]\n", "[BishopIP]\n", 0, "section header"},
        {"Bishop IP=x\n", "Bishop IP=x\n", 0, "blank inside the key"},
        {"\xEF\xBB\xBF" "BishopIP=x\r\n", "\xEF\xBB\xBF" "BishopIP=x\r\n", 0, "byte order mark before the key"},
        {"\fBishopIP=x\n", "\fBishopIP=x\n", 0, "only spaces and tabs are skipped"},
        {"\r BishopIP=x\n", "\r BishopIP=x\n", 0, "CR is not skipped"},
        {"BishopIP=a\nBishopIP=b\n", kHost + kHost, 2, "a key twice counts twice"},
        {"[Login]\r\nServer=x\r\n", "[Login]\r\nServer=x\r\n", 0, "no keys"},
        {"", "", 0, "empty text"},
        {"a=1\nlast", "a=1\nlast", 0, "last line without line end stays so"},
        {"a=1\nBishopPort=1", "a=1\n" + kPort, 1, "key line without line end gains CR LF"},
        {"Bishop\n", "Bishop\n", 0, "shorter than any key"},
        {"BishopI", "BishopI", 0, "shorter than the key at the end of the text"},
        {std::string("Bishop\0IP=x\n", 12), std::string("Bishop\0IP=x\n", 12), 0, "NUL inside the key"},
        {std::string("BishopIP\0=x\n", 12), kHost, 1, "NUL after the key: still a prefix match"},
        {std::string("\0BishopIP\n", 10), std::string("\0BishopIP\n", 10), 0, "NUL is not skipped"},
        {"   \n\t\n", "   \n\t\n", 0, "blank lines"},
        // Lines longer than the 1023-byte read.
        {"BishopIP=" + kLong + "\r\nNext=1\n", kHost + "Next=1\n", 1, "long key line replaced as a whole"},
        {"BishopIP=" + kLong, kHost, 1, "long key line at the end"},
        {"BishopIP=" + std::string(1013, 'x') + "\n" + "a\n", kHost + "a\n", 1, "1023-byte line, LF last"},
        {"BishopIP=" + std::string(1014, 'x') + "\nNext\n", kHost + "Next\n", 1, "LF alone in the 2nd piece"},
        {std::string(1023, 'x') + "BishopIP=evil\n", std::string(1023, 'x') + "BishopIP=evil\n", 0,
         "continuation piece starting with a key"},
        {kLong + "\nBishopPort=1\n", kLong + "\n" + kPort, 1, "long line, then a key line"},
        {std::string(1015, ' ') + "BishopIP=x\n", kHost, 1, "key ends at byte 1023"},
        {std::string(1016, ' ') + "BishopIP=x\n", std::string(1016, ' ') + "BishopIP=x\n", 0,
         "key beyond the first read is not recognised"},
    };
    for (const auto& c : kCases) {
        int replaced = -1;
        std::string out = Rewrite(c.in, &replaced);
        EXPECT_EQ(out, c.out) << Printable(c.in) << " (" << c.why << ")";
        EXPECT_EQ(replaced, c.replaced) << Printable(c.in) << " (" << c.why << ")";
    }
}

TEST(ConfigRewrite, PiecesAsRead) {
    std::string line = "BishopPort=" + std::string(2100, '9') + "\r\n";
    EXPECT_EQ(NextPiece(line.data(), line.size(), 0), 1023u);
    EXPECT_EQ(NextPiece(line.data(), line.size(), 2046), line.size() - 2046);
    int replaced = 0;
    EXPECT_EQ(Rewrite(line + "x=1\n", &replaced), kPort + "x=1\n");
    EXPECT_EQ(replaced, 1);
}

TEST(ConfigRewrite, RewritingTwiceChangesNothingMore) {
    const std::string in = "  BishopIP=x\r\nfoo\n" + std::string(3000, 'k') + "\ninitialVer=1";
    int first = 0, second = 0;
    std::string once = Rewrite(in, &first);
    EXPECT_EQ(Rewrite(once, &second), once);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 2);
}

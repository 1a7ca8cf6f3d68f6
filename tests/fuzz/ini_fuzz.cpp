// Raw bytes as autoupdate.ini: the launcher's rewrite against a plain line-by-line reading of the same rules.
#include <assert.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>

#include "config/ini_rules.h"

static const char* const kLines[] = {"BishopIP=10.9.8.7\r\n", "BishopPort=7451\r\n", "initialVer=0.9.9.14\r\n"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string out, want;
    int replaced = RewriteConfigText((const char*)data, size, "10.9.8.7", [](void* ctx, const char* b, size_t n) {
        assert(n > 0 && "never an empty write");
        static_cast<std::string*>(ctx)->append(b, n);
    }, &out), wantReplaced = 0;
    const std::string text((const char*)data, size);
    for (size_t pos = 0, len; pos < size; pos += len) {
        len = std::min(text.find('\n', pos), size - 1) + 1 - pos;
        // Judged on its first 1023 bytes, what one read of it holds: after blanks and TABs, a key in any ASCII case
        // (strncasecmp in the C locale; it stops at the NUL that ends `head`, or at one inside).
        const std::string head = text.substr(pos, std::min<size_t>(len, 1023));
        const char* key = head.c_str() + std::min(head.find_first_not_of(" \t"), head.size());
        int k = 0;
        while (k < 3 && strncasecmp(key, kLines[k], strcspn(kLines[k], "=")) != 0) k++;
        wantReplaced += k < 3;
        want += k < 3 ? std::string(kLines[k]) : text.substr(pos, len);
    }
    assert(out == want && replaced == wantReplaced && "line by line");
    return 0;
}

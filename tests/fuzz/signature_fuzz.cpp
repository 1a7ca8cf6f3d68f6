// Raw bytes as a signature file and as a record of the last signed release: what the readers accept is exactly
// what the writers make of the fields read, so no two spellings of one statement can be signed or recorded.
#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "patch/signature_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = (const char*)data;
    char line[256];
    ReleaseStatement s;
    if (ParseReleaseSignature(text, size, &s)) {
        size_t n = FormatSignedLine(line, sizeof line, s.counter, s.expires, s.manifestDigest);
        assert(n == s.signedLen && memcmp(line, text, n) == 0 && s.counter >= 1 && "the signed line as written");
        std::string hex;
        for (size_t i = 0; i < s.signatureLen; i++) {
            char two[3];
            snprintf(two, sizeof two, "%02x", s.signature[i]);
            hex += two;
        }
        assert(s.signatureLen >= kSignatureMinBytes && s.signatureLen <= kSignatureMaxBytes && "signature size");
        assert(std::string(text + n, size - n) == hex + "\n" && "the signature, and nothing after it");
    }
    ReleaseRecord r;
    if (ParseReleaseRecord(text, size, &r))
        assert(FormatReleaseRecord(line, sizeof line, &r) == size && memcmp(line, text, size) == 0 && "as written");
    return 0;
}

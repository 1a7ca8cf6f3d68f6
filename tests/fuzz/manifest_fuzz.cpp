// Raw bytes as a manifest, through CheckManifestText: what it accepts meets the rules, written out anew here.
#include <assert.h>
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>

#include "patch/manifest_rules.h"
#include "shell/disk_rules.h"

static ManifestEntry g_entries[kMaxManifestEntries];

static void CheckText(const char* text, size_t size) {
    char id[kReleaseIdChars + 1];
    long bad = -2, n = CheckManifestText(text, size, 20, id, g_entries, &bad);
    long tight = CheckManifestText(text, size, 200, NULL, NULL, NULL);
    assert((tight < 0 || tight == n) && "a 200-character install folder accepts the same or nothing");
    if (n < 0) {
        assert((bad >= 1 || size > kManifestMaxBytes) && "a rejected text names its bad line");
        assert(bad <= std::count(text, text + size, '\n') + 2 && "bad line within the text");
        return;
    }
    assert(n >= 1 && n <= kMaxManifestEntries && bad == 0 && "entry count");
    assert(size >= 10 && memcmp(text, "VEQPATCH1\t", 10) == 0 && strlen(id) == kReleaseIdChars &&
           IsHexDigits(id, kReleaseIdChars) && "the header: its tag and a release id");
    std::set<std::string> seen;
    for (const ManifestEntry* e = g_entries; e < g_entries + n; e++) {
        std::string path = e->path;
        for (char& c : path) c = (char)tolower((unsigned char)c);
        assert(strlen(e->digest) == 64 && IsHexDigits(e->digest, 64) && e->size <= kMaxBlobBytes && "digest, size");
        assert(!path.empty() && path.size() <= kMaxRelPathChars && 20 + path.size() + 16 <= 259 && "path length");
        assert(!ManifestPathProblem(e->path, strlen(e->path), 20) && "the path kept is the path checked");
        std::string under = "C:\\Games\\" + std::string(e->path);
        std::replace(under.begin(), under.end(), '/', '\\');
        assert(DiskRelativeStart("C:\\Games", under.c_str()) == 9 && "the disk module takes every path a manifest names");
        bool fresh = seen.insert(path).second;
        assert(fresh && "no two entries name the same file");
        // Windows opens a device for a component named like one before its first dot, and drops a '.' or ' ' at
        // the end of a name.
        static const std::regex kWindowsName("(^|/)(con|prn|aux|nul|com[1-9]|lpt[1-9])(\\.[^/]*)?(/|$)|[. ](/|$)");
        assert(!std::regex_search(path, kWindowsName) && "no device name, no name ending in . or blank");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckText((const char*)data, size);
    // Behind a valid header too, so entry lines are explored without first finding one.
    std::string withHeader = "VEQPATCH1\t0123456789abcdef0123456789abcdef\n" + std::string((const char*)data, size);
    CheckText(withHeader.data(), withHeader.size());
    return 0;
}

// Raw bytes as a manifest file, through CheckManifestText as the launcher and veq-publish load it: whatever it
// accepts must satisfy the rules on their own terms.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "patch/manifest_rules.h"

static ManifestEntry g_entries[kMaxManifestEntries];
static ManifestEntry g_again[kMaxManifestEntries];

static void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Folding written out again here, not borrowed from the code under test.
static std::string ClientKey(const char* path) {
    std::string key;
    for (const char* p = path; *p; p++) key += *p == '\\' ? '/' : (char)tolower((unsigned char)*p);
    return key;
}

// No component names a device (by the part before its first dot) and none ends in '.' or ' '.
static bool KeepsWindowsNames(const std::string& path) {
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = path.find('/', start) == std::string::npos ? path.size() : path.find('/', start);
        std::string part = path.substr(start, end - start), base = part.substr(0, part.find('.'));
        for (char& c : base) c = (char)toupper((unsigned char)c);
        bool numbered = base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
                        base[3] >= '1' && base[3] <= '9';
        if (numbered || base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return false;
        if (!part.empty() && (part.back() == '.' || part.back() == ' ')) return false;
    }
    return true;
}

static void CheckEntry(const ManifestEntry& e, size_t installDirLen) {
    Require(strlen(e.digest) == 64 && IsHexDigits(e.digest, 64), "digest is 64 hex digits");
    Require(e.size <= kMaxBlobBytes, "size at most 256 MiB");
    size_t len = strlen(e.path);
    Require(len >= 1 && len <= kMaxRelPathChars, "path length");
    Require(ManifestPathProblem(e.path, len, installDirLen) == NULL, "path passes the path rules");
    Require(installDirLen + len + 16 <= 259, "destination fits");
    Require(KeepsWindowsNames(e.path), "no device name, no name ending in . or blank");
}

static void CheckText(const char* text, size_t size) {
    char id[kReleaseIdChars + 1];
    long bad = -2;
    long n = CheckManifestText(text, size, 20, id, g_entries, &bad);
    if (n < 0) {
        long lines = 1;
        for (size_t i = 0; i < size; i++) lines += text[i] == '\n';
        Require(bad >= 1 || size > kManifestMaxBytes, "a rejected text names its bad line");
        Require(bad <= lines + 1, "bad line within the text");
        Require(CheckManifestText(text, size, 200, NULL, NULL, &bad) < 0, "longer install folder accepts less");
        return;
    }
    Require(n >= 1 && n <= kMaxManifestEntries && bad == 0, "entry count");
    Require(size >= 10 && memcmp(text, "VEQPATCH1\t", 10) == 0, "header tag");
    Require(strlen(id) == kReleaseIdChars && IsHexDigits(id, kReleaseIdChars), "release id");

    std::set<std::string> seen;
    std::string again = std::string("VEQPATCH1\t") + id + "\n";
    for (long i = 0; i < n; i++) {
        CheckEntry(g_entries[i], 20);
        Require(seen.insert(ClientKey(g_entries[i].path)).second, "no two entries name the same file");
        again += std::string(g_entries[i].digest) + "\t" + std::to_string(g_entries[i].size) + "\t" + g_entries[i].path +
                 "\n";
    }
    // What was accepted, written out plainly, loads to the same entries.
    char id2[kReleaseIdChars + 1];
    Require(CheckManifestText(again.data(), again.size(), 20, id2, g_again, &bad) == n, "rewritten text loads");
    Require(strcmp(id, id2) == 0, "same release id");
    for (long i = 0; i < n; i++)
        Require(strcmp(g_entries[i].digest, g_again[i].digest) == 0 && g_entries[i].size == g_again[i].size &&
                    strcmp(g_entries[i].path, g_again[i].path) == 0,
                "same entries");
    long tight = CheckManifestText(text, size, 200, NULL, NULL, &bad);
    Require(tight < 0 || tight == n, "a 200-character install folder accepts the same or nothing");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckText((const char*)data, size);
    // Behind a valid header too, so entry lines are explored without first finding one.
    std::string withHeader = "VEQPATCH1\t0123456789abcdef0123456789abcdef\n" + std::string((const char*)data, size);
    CheckText(withHeader.data(), withHeader.size());
    return 0;
}

#include "patch/patch_run_rules.h"

#include "patch/manifest_rules.h"
#include "patch/patch.h"

enum { kTickDigits = 10 };  // GetTickCount as unsigned decimal

static const char kCacheFolder[] = "\\patch-cache\\";
static const char kBackupFolder[] = "\\patch-backups\\delta-";
static const char kJournalName[] = "\\files.tsv";  // longer than "\9999.bak"
static_assert(sizeof kCacheFolder - 1 + kReleaseIdChars + 1 + kDigestChars == kLongestPatchPathSuffix,
              "a cached blob path is install directory + 110");
static_assert(sizeof kBackupFolder - 1 + kReleaseIdChars + 1 + kTickDigits + sizeof kJournalName - 1 <=
                  kLongestPatchPathSuffix,
              "backup paths are shorter than cached blob paths");

int PatchPathsFit(size_t installDirLen) {
    return installDirLen + kLongestPatchPathSuffix <= 259;
}

#include "patch/patch_run_rules.h"

#include "patch/manifest_rules.h"
#include "patch/patch.h"
#include "shell/format_rules.h"

enum { kTickDigits = 10 };  // GetTickCount as unsigned decimal

// Fixed parts of the derived paths, without terminators.
enum {
    kCacheFolderChars = sizeof "\\patch-cache\\" - 1,
    kBackupFolderChars = sizeof "\\patch-backups\\delta-" - 1,
    kJournalNameChars = sizeof "\\files.tsv.veq-new" - 1,  // the marked journal on its way; longer than a backup
};
static_assert(kCacheFolderChars + kReleaseIdChars + 1 + kDigestChars == kLongestPatchPathSuffix,
              "a cached blob path is install directory + 110");
static_assert(kBackupFolderChars + kReleaseIdChars + 1 + kTickDigits + kJournalNameChars <= kLongestPatchPathSuffix,
              "backup paths are shorter than cached blob paths");

int PatchPathsFit(size_t installDirLen) {
    return installDirLen + kLongestPatchPathSuffix <= 259;
}

int HashThreadCount(unsigned long processors, unsigned files) {
    const unsigned long most = kMaxHashThreads;
    unsigned long n = processors < 1 ? 1 : processors > most ? most : processors;
    return (int)(files < n ? (files ? files : 1) : n);
}

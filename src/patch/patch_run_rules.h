#pragma once
// Decisions of the patch run that need no Windows: which install folders the run can serve without cutting a path.
#include <stddef.h>

// Characters the longest path the patch run names adds to the install directory: a cached blob,
// "\patch-cache\<32-digit release id>\<64-digit digest>". Backup directory, backups and journal
// ("\patch-backups\delta-<id>-<tick>\files.tsv.veq-new", "...\9999.bak") and the manifest cache are shorter;
// destinations and their ".veq-new" names are kept short enough by the manifest's own length rule.
enum { kLongestPatchPathSuffix = 110 };

// 1 when every path the patch run derives from an install directory of this length fits into a 260-byte
// buffer, that is, lengths up to 149. Longer folders are refused before anything is written: a cut path could
// name another entry's blob or backup, and a rollback would then restore the wrong bytes.
int PatchPathsFit(size_t installDirLen);

enum { kMaxHashThreads = 4 };
// Threads that hash a client's files: one per processor, at most kMaxHashThreads, never more than files.
int HashThreadCount(unsigned long processors, unsigned files);

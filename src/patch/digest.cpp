#include "patch/patch.h"

// Placeholder until the content digest and directory creation land.
int ComputeContentDigest(const char*, char*) { return 0; }
int EnsureParentDirectories(const char*) { return 0; }

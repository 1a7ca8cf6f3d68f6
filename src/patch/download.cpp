#include "patch/patch.h"

// Placeholder until the HTTPS download lands.
int DownloadToFile(const wchar_t*, const char*, unsigned long long, unsigned long long, int) { return 0; }

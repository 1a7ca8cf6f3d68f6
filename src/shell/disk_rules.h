#pragma once
// What the disk module accepts as a path, without any file or Windows access.
#include <stddef.h>

// The offset of the first name below installDir in path, or 0 when path is not strictly below it or a name on
// its way is one Windows would read as another: empty, "." or "..", ending in a dot or blank, holding '/' or ':'.
size_t DiskRelativeStart(const char* installDir, const char* path);

#include "shell/disk_rules.h"

#include <string.h>

size_t DiskRelativeStart(const char* installDir, const char* path) {
    size_t n = strlen(installDir);
    if (n == 0 || strncmp(path, installDir, n) != 0 || path[n] != '\\') return 0;
    // Windows drops a dot or blank at the end of a name, so "a." or "a " would be "a", and ".." the parent.
    for (const char* name = path + n + 1;;) {
        size_t len = strcspn(name, "\\/:");
        if (len == 0 || name[len - 1] == '.' || name[len - 1] == ' ' || name[len] == '/' || name[len] == ':') return 0;
        if (!name[len]) return n + 1;
        name += len + 1;
    }
}

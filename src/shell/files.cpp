#include "shell/shell.h"

#include <stdio.h>
#include <stdlib.h>

char* ReadWholeFile(const char* path, size_t maxBytes, size_t* size) {
    char* data = NULL;
    long n = -1;
    int ok = 0;
    FILE* f = fopen(path, "rb");  // raw bytes: CR LF is the reader's business, not the runtime's
    if (!f) return NULL;
    if (fseek(f, 0, SEEK_END) == 0) n = ftell(f);
    if (n < 0 || (unsigned long)n > maxBytes || fseek(f, 0, SEEK_SET) != 0) goto done;
    if (!(data = (char*)malloc((size_t)n + 1))) goto done;  // + 1: an empty file is still a buffer
    ok = fread(data, 1, (size_t)n, f) == (size_t)n && fgetc(f) == EOF && !ferror(f);
    *size = (size_t)n;
done:
    fclose(f);
    if (!ok) {
        free(data);
        data = NULL;
    }
    return data;
}

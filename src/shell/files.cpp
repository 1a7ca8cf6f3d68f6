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

int WriteFileDurably(const char* path, const void* data, size_t size, int append) {
    HANDLE f = CreateFileA(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, NULL, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD put = 0;
    if (f == INVALID_HANDLE_VALUE) return 0;
    int ok = WriteFile(f, data, (DWORD)size, &put, NULL) && put == size && FlushFileBuffers(f);
    return CloseHandle(f) && ok;
}

#include "shell/format_rules.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

void FormatBoundedV(char* buf, size_t cap, const char* fmt, va_list ap) {
    if (cap == 0) return;
    vsnprintf(buf, cap, fmt, ap);  // runtimes disagree on overflow (MS _vsnprintf leaves no terminator)
    buf[cap - 1] = '\0';           // so terminate unconditionally
}

void FormatBounded(char* buf, size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    FormatBoundedV(buf, cap, fmt, ap);
    va_end(ap);
}

void FormatBoundedW(wchar_t* buf, size_t cap, const wchar_t* fmt, ...) {
    if (cap == 0) return;
    va_list ap;
    va_start(ap, fmt);
#ifdef _WIN32
    _vsnwprintf(buf, cap, fmt, ap);  // MS semantics: %hs is a narrow string; writes at most cap units
#else
    buf[0] = L'\0';
    vswprintf(buf, cap, fmt, ap);    // C99: fails on overflow, possibly leaving a partial prefix
#endif
    va_end(ap);
    buf[cap - 1] = L'\0';
}

int JoinFits(size_t cap, const char* dir, const char* name) {
    return strlen(dir) + 1 + strlen(name) < cap;
}

static int FoldAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

int EqualsNoCaseN(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        int ca = FoldAscii((unsigned char)a[i]), cb = FoldAscii((unsigned char)b[i]);
        if (ca != cb) return 0;
        if (ca == 0) return 1;
    }
    return 1;
}

int EqualsNoCase(const char* a, const char* b) {
    return EqualsNoCaseN(a, b, (size_t)-1);
}

size_t NextPiece(const char* data, size_t size, size_t pos) {
    if (pos >= size) return 0;
    size_t room = size - pos;
    if (room > kPieceCap - 1) room = kPieceCap - 1;
    const char* lf = (const char*)memchr(data + pos, '\n', room);
    return lf ? (size_t)(lf - (data + pos)) + 1 : room;
}

#pragma once
#include <stdarg.h>
#include <stddef.h>

// Formats into buf[cap]. Output that does not fit is cut silently; for cap > 0 the result is always
// terminated. cap == 0 writes nothing. Every path and message of the launcher goes through these.
void FormatBounded(char* buf, size_t cap, const char* fmt, ...)
#if defined(__GNUC__) && !defined(_WIN32)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void FormatBoundedV(char* buf, size_t cap, const char* fmt, va_list ap);
void FormatBoundedW(wchar_t* buf, size_t cap, const wchar_t* fmt, ...);

// 1 when "%s\%s" of dir and name fits in cap without cutting. Paths that must not be cut check this first.
int JoinFits(size_t cap, const char* dir, const char* name);

// ASCII-only case folding: a locale-aware compare could fold letters that a plain A-Z compare would not.
int EqualsNoCase(const char* a, const char* b);
int EqualsNoCaseN(const char* a, const char* b, size_t n);

enum { kPieceCap = 1024 };
// What one fgets(buf, kPieceCap, f) reads from data at pos: through the first LF, at most kPieceCap - 1 bytes, or
// to the end. Returns its length; 0 at the end. Manifest lines and autoupdate.ini lines are read this way.
size_t NextPiece(const char* data, size_t size, size_t pos);

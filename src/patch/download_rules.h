#pragma once
// Decisions of the download that need no Windows: which failures are worth another try, how long to wait before
// it, and whether a partial answer continues the bytes already on disk.
#include <stddef.h>

enum { kDownloadRetries = 3 };  // after the first try: 1, 2 and 4 s apart

// Milliseconds to wait before try number `failed` + 1, after `failed` failed tries; 0 when there is none left.
unsigned RetryDelayMs(int failed);

// 1 for answers a busy or restarting server gives for a while (502, 503, 504); every other status is final.
int IsTransientStatus(unsigned long status);

// 1 for WinHTTP errors of a connection that failed on its way (refused, reset, cut, timed out), which another try
// may not meet; 0 for everything else (a certificate, TLS or protocol that will not change).
int IsTransientWinHttpError(unsigned long error);

// 1 when a Content-Range value is exactly "bytes FIRST-LAST/TOTAL" with these numbers (decimal, no blanks).
int ContentRangeIs(const char* value, size_t len, unsigned long long first, unsigned long long last,
                   unsigned long long total);
// 1 when a Content-Range value continues exactly the `have` bytes already written of a body of `total` bytes:
// FIRST == have, LAST == total - 1, TOTAL == total.
int RangeContinues(const char* value, size_t len, unsigned long long have, unsigned long long total);

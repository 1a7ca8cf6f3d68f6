#include "patch/download_rules.h"

unsigned RetryDelayMs(int failed) {
    return failed >= 1 && failed <= kDownloadRetries ? 1000u << (failed - 1) : 0;
}

int IsTransientStatus(unsigned long status) { return status == 502 || status == 503 || status == 504; }

int IsTransientWinHttpError(unsigned long error) {
    switch (error) {
    case 12002:  // ERROR_WINHTTP_TIMEOUT: connect, send or receive time-out
    case 12029:  // ERROR_WINHTTP_CANNOT_CONNECT: refused, or no route for now
    case 12030:  // ERROR_WINHTTP_CONNECTION_ERROR: reset or closed mid-transfer
    case 12152:  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE: cut before a whole answer
        return 1;
    }
    return 0;
}

// Reads decimal digits at *pos up to `stop`; 0 when there are none, or more than fit.
static int ReadNumber(const char* s, size_t len, size_t* pos, char stop, unsigned long long* out) {
    size_t start = *pos;
    unsigned long long v = 0;
    while (*pos < len && s[*pos] >= '0' && s[*pos] <= '9') {
        if (v > (~0ULL - 9) / 10) return 0;
        v = v * 10 + (unsigned)(s[(*pos)++] - '0');
    }
    if (*pos == start || (stop && (*pos >= len || s[*pos] != stop))) return 0;
    if (stop) ++*pos;
    *out = v;
    return 1;
}

int ContentRangeIs(const char* value, size_t len, unsigned long long first, unsigned long long last,
                   unsigned long long total) {
    static const char kUnit[] = "bytes ";
    size_t pos = sizeof kUnit - 1;
    unsigned long long a, b, size;
    for (size_t i = 0; i < pos; i++)
        if (i >= len || value[i] != kUnit[i]) return 0;
    if (!ReadNumber(value, len, &pos, '-', &a) || !ReadNumber(value, len, &pos, '/', &b) ||
        !ReadNumber(value, len, &pos, 0, &size) || pos != len)
        return 0;
    return a == first && b == last && size == total;
}

int RangeContinues(const char* value, size_t len, unsigned long long have, unsigned long long total) {
    return total > 0 && ContentRangeIs(value, len, have, total - 1, total);
}

// Raw bytes as the request values veq-serve parses itself: Range for blobs of up to 20 bytes, dates, entity tags,
// queries and the proxy's client address. What is accepted must stay within what was given.
#undef NDEBUG  // the checks stay in Release builds
#include <assert.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "serve_rules.h"

static const char kTag[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char *s = (const char*)data, *value = NULL;
    unsigned long long first = 0, last = 0;
    for (unsigned long long blob = 0; blob <= 20; blob++)  // small blobs, so that the edges are within reach
        if (ParseRange(s, size, blob, &first, &last) == kRangePart) assert(first <= last && last < blob);
    time_t when = 0, again = 0;
    char date[kHttpDateCap], client[kAddressCap];
    if (ParseHttpDate(s, size, &when) && when >= 0) {  // what is read is written back the same
        FormatHttpDate(when, date, sizeof date);
        assert(ParseHttpDate(date, strlen(date), &again) && again == when);
    }
    size_t valueLen = 0;
    if (FindQueryValue(s, size, "tag", &value, &valueLen)) assert(value > s && value + valueLen <= s + size);
    ChooseClientAddress("127.0.0.1", "127.0.0.1", s, size, client, sizeof client);
    assert(strlen(client) < sizeof client && !strpbrk(client, " \r\n\""));  // one field of the log
    EntityTagMatches(s, size, kTag);  // for the sanitizers: no read past the value
    IfRangeMatches(s, size, kTag);
    return 0;
}

// Raw bytes as the request values veq-serve parses itself: Range for blobs of up to 20 bytes, dates,
// entity tags, queries and the proxy's client address. What is accepted must stay within what was given.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "serve_rules.h"

static void Require(bool ok, const char* what) {  // assert() is compiled out of Release builds
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* s = (const char*)data;
    for (unsigned long long blob = 0; blob <= 20; blob++) {  // small blobs, so that the edges are within reach
        unsigned long long first = 0, last = 0;
        if (ParseRange(s, size, blob, &first, &last) == kRangePart)
            Require(first <= last && last < blob, "range inside the blob");
    }
    time_t when = 0;
    char date[kHttpDateCap];
    if (ParseHttpDate(s, size, &when) && when >= 0) {  // what is read is written back the same
        FormatHttpDate(when, date, sizeof date);
        time_t again = 0;
        Require(ParseHttpDate(date, strlen(date), &again) && again == when, "date written back");
    }
    const char* value = NULL;
    size_t valueLen = 0;
    if (FindQueryValue(s, size, "tag", &value, &valueLen))
        Require(value > s && value + valueLen <= s + size, "query value inside");
    char client[kAddressCap];
    ChooseClientAddress("127.0.0.1", "127.0.0.1", s, size, client, sizeof client);
    Require(strlen(client) < sizeof client && !strpbrk(client, " \r\n\""), "client address is one log field");
    EntityTagMatches(s, size, "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    IfRangeMatches(s, size, "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    return 0;
}

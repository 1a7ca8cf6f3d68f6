#pragma once
// Decisions of the test harness's fault injection: what a /ctl/fault request asks for, which requests it hits,
// and how a faulty reply body is cut into writes, stalls and a dropped connection.
#include <stddef.h>

const size_t kFaultPathCap = 256;
const unsigned long long kFaultMaxBody = 1ULL << 40;
const unsigned long long kFaultMaxStallMs = 600000;  // ten minutes: longer than any client time-out

struct Fault {
    char path[kFaultPathCap];  // requests whose path (no query) starts with this
    int has_status;
    int status;
    int has_body;
    unsigned long long body;   // filler bytes instead of the real content
    int chunked;
    int has_stall;
    unsigned long long stall_ms;
    unsigned long long stall_after;
    int has_cut;
    unsigned long long cut_after;
};

struct FaultParam {
    const char* name;
    const char* value;
};

// Reads the parameters of /ctl/fault. Unknown or repeated names and malformed values are refused with a reason in
// err, so a mistyped client call fails at once instead of testing nothing.
int ParseFault(const FaultParam* params, size_t count, Fault* fault, char* err, size_t err_cap);

// 1 when the fault hits a request with this decoded path.
int FaultHitsPath(const Fault* fault, const char* path, size_t path_len);

// 1 when the fault changes the reply body or how it travels, not only its status.
int FaultShapesBody(const Fault* fault);

// Byte i of the filler body is 'a' + i % 26; fills buf with n bytes starting at body offset `offset`.
void FillFiller(char* buf, unsigned long long offset, size_t n);

// One write of a faulty reply body of `total` bytes, `offset` of them already sent.
struct FaultStep {
    int stall_first;       // sleep stall_ms before writing (the stall point is here)
    unsigned long long send;  // bytes to write now
    int stall_then;        // sleep stall_ms after writing them
    int close_then;        // then drop the connection
    int finished;          // then the body is complete
};
// `stalled` says the one stall has been taken; `chunk_cap` bounds one write.
FaultStep PlanFaultStep(const Fault* fault, unsigned long long total, unsigned long long offset, int stalled,
                        size_t chunk_cap);

// "METHOD\tPATH?QUERY\tUSER-AGENT\tCONTENT-TYPE\tREQUEST-BODY-BYTES\tSTATUS\tSTORED-FILE\n" with every text field
// escaped (see EscapeLogField), so a line is always one line of seven fields. Cut at cap, always terminated.
void FormatTestLogLine(char* buf, size_t cap, const char* method, const char* target, const char* user_agent,
                       const char* content_type, unsigned long long body_bytes, int status, const char* stored);

#include "fault_rules.h"

#include <stdio.h>
#include <string.h>

#include "serve_rules.h"

static int ParseNumber(const char* s, unsigned long long max, unsigned long long* value) {
    return ParseContentLength(s, strlen(s), value) && *value <= max;
}

int ParseFault(const FaultParam* params, size_t count, Fault* fault, char* err, size_t err_cap) {
    static const char* const kNames[] = { "path", "status", "body", "chunked", "stall_ms", "stall_after",
                                          "cut_after" };
    const size_t kNameCount = sizeof kNames / sizeof kNames[0];
    int seen[sizeof kNames / sizeof kNames[0]] = {};
    Fault f = {};
    unsigned long long v = 0;
    snprintf(f.path, sizeof f.path, "/");
    snprintf(err, err_cap, "%s", "");
    for (size_t i = 0; i < count; i++) {
        const char* name = params[i].name;
        const char* value = params[i].value;
        size_t k = 0;
        while (k < kNameCount && strcmp(kNames[k], name) != 0) k++;
        if (k == kNameCount) {
            snprintf(err, err_cap, "unknown parameter '%s'", name);
            return 0;
        }
        if (seen[k]++) {
            snprintf(err, err_cap, "parameter '%s' given twice", name);
            return 0;
        }
        int ok = 1;
        switch (k) {
        case 0: ok = value[0] == '/' && strlen(value) < sizeof f.path;
                if (ok) snprintf(f.path, sizeof f.path, "%s", value);
                break;
        case 1: ok = ParseNumber(value, 599, &v) && v >= 100; f.has_status = 1; f.status = (int)v; break;
        case 2: ok = ParseNumber(value, kFaultMaxBody, &f.body); f.has_body = 1; break;
        case 3: ok = strcmp(value, "0") == 0 || strcmp(value, "1") == 0; f.chunked = value[0] == '1'; break;
        case 4: ok = ParseNumber(value, kFaultMaxStallMs, &f.stall_ms); f.has_stall = 1; break;
        case 5: ok = ParseNumber(value, ~0ULL, &f.stall_after); break;
        case 6: ok = ParseNumber(value, ~0ULL, &f.cut_after); f.has_cut = 1; break;
        }
        if (!ok) {
            snprintf(err, err_cap, "bad value '%s' for '%s'", value, name);
            return 0;
        }
    }
    if (seen[5] && !f.has_stall) {
        snprintf(err, err_cap, "stall_after needs stall_ms");
        return 0;
    }
    *fault = f;
    return 1;
}

int FaultHitsPath(const Fault* fault, const char* path, size_t path_len) {
    size_t n = strlen(fault->path);
    return path_len >= n && memcmp(path, fault->path, n) == 0;
}

int FaultShapesBody(const Fault* fault) {
    return fault->has_body || fault->chunked || fault->has_stall || fault->has_cut;
}

void FillFiller(char* buf, unsigned long long offset, size_t n) {
    unsigned phase = (unsigned)(offset % 26);
    for (size_t i = 0; i < n; i++) {
        buf[i] = (char)('a' + phase);
        if (++phase == 26) phase = 0;
    }
}

FaultStep PlanFaultStep(const Fault* f, unsigned long long total, unsigned long long offset, int stalled,
                        size_t chunk_cap) {
    FaultStep step = {};
    step.stall_first = f->has_stall && !stalled && offset == f->stall_after;
    int pending = f->has_stall && !stalled && !step.stall_first;  // the stall point lies ahead
    if (f->has_cut && offset >= f->cut_after) {
        step.close_then = 1;
        return step;
    }
    if (offset >= total) {
        step.finished = 1;
        return step;
    }
    unsigned long long end = total - offset > chunk_cap ? offset + chunk_cap : total;
    if (f->has_cut && f->cut_after < end) end = f->cut_after;
    if (pending && f->stall_after > offset && f->stall_after < end) end = f->stall_after;
    step.send = end - offset;
    step.stall_then = pending && end == f->stall_after;  // also when the stall point is the very end
    if (f->has_cut && end >= f->cut_after)
        step.close_then = 1;
    else if (end == total)
        step.finished = 1;
    return step;
}

void FormatTestLogLine(char* buf, size_t cap, const char* method, const char* target, const char* user_agent,
                       const char* content_type, unsigned long long body_bytes, int status, const char* stored) {
    char m[64], t[2048], ua[512], ct[256], st[1024];
    if (cap == 0) return;
    EscapeLogField(method, strlen(method), m, sizeof m);
    EscapeLogField(target, strlen(target), t, sizeof t);
    EscapeLogField(user_agent, strlen(user_agent), ua, sizeof ua);
    EscapeLogField(content_type, strlen(content_type), ct, sizeof ct);
    EscapeLogField(stored, strlen(stored), st, sizeof st);
    int len = snprintf(buf, cap, "%s\t%s\t%s\t%s\t%llu\t%d\t%s\n", m, t, ua, ct, body_bytes, status, st);
    if (len >= 0 && (size_t)len >= cap && cap >= 2) buf[cap - 2] = '\n';  // a cut line still ends its line
}

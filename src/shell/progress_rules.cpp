#include "shell/progress_rules.h"

#include <string.h>

#include "shell/format_rules.h"

enum {
    kShowLeftAfterMs = 5000,  // before this much transfer the speed is the plain average, and no time left is shown
    kSpeedSettleMs = 3000,    // how fast each smoothed figure follows a change: an exponential average over this
    kLeftSettleMs = 5000,
};
static const double kMostSecondsLeft = 999 * 60 + 59;
static const char kDot[] = "\xC2\xB7";  // U+00B7 MIDDLE DOT

void StartFigures(ProgressFigures* f, int phase, unsigned nowMs) {
    memset(f, 0, sizeof *f);
    f->phase = phase;
    f->lastMs = nowMs;
    f->left = -1;
}

// The smoothed value moves towards `target` by the share of the sample's time in its settling time.
static double Follow(double value, double target, unsigned dt, unsigned settleMs) {
    return value + (target - value) * dt / (dt + settleMs);
}

void SampleFigures(ProgressFigures* f, unsigned long long done, unsigned long long total, unsigned nowMs) {
    unsigned dt = nowMs - f->lastMs;
    if (done < f->done) done = f->done;  // the counters only grow; a late sample must not undo one
    f->total = total;
    if (dt == 0) return;
    // Waiting for the first byte (connecting, verifying a cached blob) is no transfer: the clock starts when bytes do.
    if (f->phase == kProgressDownloading && !f->moving && done > f->done) {
        f->moving = 1;
        f->startMs = f->lastMs;
        f->movedFrom = f->done;
    }
    if (f->moving) {
        unsigned since = nowMs - f->startMs;
        if (since <= kShowLeftAfterMs)
            f->speed = (double)(done - f->movedFrom) * 1000.0 / since;
        else
            f->speed = Follow(f->speed, (double)(done - f->done) * 1000.0 / dt, dt, kSpeedSettleMs);
        if (since >= kShowLeftAfterMs) {
            double estimate = f->speed > 0 ? (double)(total > done ? total - done : 0) / f->speed : kMostSecondsLeft;
            if (estimate > kMostSecondsLeft) estimate = kMostSecondsLeft;
            // The last figure counts down by itself; a new estimate only pulls at it.
            double countdown = f->left - dt / 1000.0;
            f->left = f->left < 0 ? estimate : Follow(countdown < 0 ? 0 : countdown, estimate, dt, kLeftSettleMs);
        }
    }
    f->done = done;
    f->lastMs = nowMs;
}

// Tenths below 100, whole ones from there. Rounded down, so that a phase shows its total only once it is whole.
static void FormatTenths(char* buf, size_t cap, unsigned long long tenths) {
    if (tenths < 1000)
        FormatBounded(buf, cap, "%u.%u", (unsigned)(tenths / 10), (unsigned)(tenths % 10));
    else
        FormatBounded(buf, cap, "%lu", (unsigned long)(tenths / 10));
}

static void FormatMegabytes(char* buf, size_t cap, unsigned long long bytes) {
    FormatTenths(buf, cap, bytes / 1048576 * 10 + bytes % 1048576 * 10 / 1048576);
}

size_t FormatFigures(const ProgressFigures* f, char* buf, size_t cap, unsigned* permille) {
    char done[24], total[24], speed[24];
    unsigned long long shown = f->done < f->total ? f->done : f->total;  // a file may grow past what the manifest said
    *permille = 0;
    if (cap) buf[0] = '\0';
    if (f->phase == kProgressHidden || f->total == 0) return 0;
    *permille = (unsigned)((double)shown * 1000 / (double)f->total);
    FormatMegabytes(done, sizeof done, shown);
    FormatMegabytes(total, sizeof total, f->total);
    if (f->phase == kProgressHashing) {
        FormatBounded(buf, cap, "%s / %s MB", done, total);
    } else {
        double tenths = f->speed * 10 / 1048576 + 0.5;
        FormatTenths(speed, sizeof speed, tenths < 1e9 ? (unsigned long long)tenths : 1000000000ull);
        FormatBounded(buf, cap, "%s / %s MB %s %s MB/s", done, total, kDot, speed);
        if (f->left >= 0) {
            unsigned seconds = (unsigned)(f->left + 0.5);
            size_t n = strlen(buf);
            FormatBounded(buf + n, cap - n, " %s %u:%02u lagi", kDot, seconds / 60, seconds % 60);
        }
    }
    return strlen(buf);
}

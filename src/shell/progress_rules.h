#pragma once
// The figures beside the progress bar while a patch run hashes or downloads: bytes of the whole phase, speed and
// time left, smoothed so that they do not jump. Windows-free; the window samples them ten times a second.
#include <stddef.h>

enum ProgressPhase { kProgressHidden, kProgressHashing, kProgressDownloading };
enum { kProgressTextCap = 96 };

// The window thread's view of one phase, carried from sample to sample.
struct ProgressFigures {
    int phase;
    unsigned long long done, total;
    unsigned long long movedFrom;  // bytes done when the transfer was first seen moving
    unsigned startMs, lastMs;      // a millisecond clock that may wrap: when it moved first, the last sample
    int moving;
    double speed;                  // bytes a second, smoothed
    double left;                   // seconds, smoothed; < 0 while there is no estimate to show
};

// Figures of a phase that starts at nowMs, with nothing done.
void StartFigures(ProgressFigures* f, int phase, unsigned nowMs);
// One sample: `done` of `total` bytes of the phase at nowMs.
void SampleFigures(ProgressFigures* f, unsigned long long done, unsigned long long total, unsigned nowMs);
// The text beside the bar in UTF-8 ("·" is not ASCII), and thousandths of the bar filled; 0 and an empty text when
// nothing is shown (no phase, or nothing to do in it).
size_t FormatFigures(const ProgressFigures* f, char* buf, size_t cap, unsigned* permille);

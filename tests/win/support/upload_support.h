#pragma once
// Helpers for the diagnostics upload tests: the test server's request log and stored uploads, file times,
// and the memory counters of the launcher process.
#include <windows.h>

#include <string>
#include <vector>

// One line of GET /ctl/log.
struct ServerRequest {
    std::string method, target, agent, contentType, stored;
    unsigned long long bodyBytes = 0;
    int status = 0;
};
std::vector<ServerRequest> ParseServerLog(const std::string& text);
// The requests that reached "/legacy/upload" since the last reset.
std::vector<ServerRequest> UploadRequests();

// Resets the test server and has it store uploads in winDir (a folder on T:, created here). False when the
// control port did not answer.
bool ResetServerWithUploadsIn(const std::string& winDir);
// A file the server stored (its own path in the log), as this process sees it.
std::string StoredUploadPath(const std::string& serverPath);

// n bytes that differ by seed and position, so a cut, a shift or the wrong file shows.
std::string PatternBytes(size_t n, unsigned seed);
// Writes a file of n pattern bytes without holding them all in memory.
bool WritePatternFile(const std::string& path, size_t n, unsigned seed);
// 1 when the file holds exactly PatternBytes(n, seed).
bool FileHasPattern(const std::string& path, size_t n, unsigned seed);

// Sets the last-write time (100 ns units) of a file or a directory.
bool SetWriteTime(const std::string& path, ULONGLONG time);

struct MemorySample {
    SIZE_T workingSet, peakWorkingSet;
};
bool SampleMemory(HANDLE process, MemorySample* out);

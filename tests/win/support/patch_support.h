#pragma once
// In-process tests of the patch engine: a main window for the status line, an install folder, the test server.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// One main window per test (built by the launcher's own code, so ShowStatus has its status line) and
// g_shell.installDir pointing at `dir`, a fresh folder on the test drive.
struct PatchTest : testing::Test {
    HWND window = NULL;
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    std::string Status() const;
    void UseInstallDir(const std::string& installDir);
};

std::wstring Wide(const std::string& s);
// Byte pattern that no chunk boundary can hide: byte i = i * 31 + (i >> 8), truncated to 8 bits.
std::string PatternBytes(size_t n);
// The test server's filler body: byte i is 'a' + i % 26.
std::string FillerBytes(size_t n);
// "T:\...\<name padded with x>" of exactly `len` characters, as a subfolder of `parent` (not created).
std::string PathOfLength(const std::string& parent, size_t len);

// A symbolic link at `link` to `target` (a directory or a file), reported as a reparse point; false when none could
// be made. Wine 8 has CreateSymbolicLinkA return TRUE without creating anything and refuses FSCTL_SET_REPARSE_POINT,
// but it reports a Unix symbolic link as a reparse point, as Windows does its own links; so that is the fallback.
bool MakeLink(const std::string& link, const std::string& target, bool directory);

// True under Wine (ntdll exports wine_get_version), for the few assertions where Wine and Windows differ.
bool RunningOnWine();
// A plain WinHTTP GET of https://<service host>/<object> restricted to `protocols` (WINHTTP_FLAG_SECURE_PROTOCOL_*,
// 0 for the platform's defaults); true on status 200. Shows what the platform itself can negotiate.
bool ProbeHttps(const wchar_t* object, DWORD protocols);

// Test server control; each returns false when the server did not answer 200.
bool ServerFault(const std::string& query);  // POST /ctl/fault?<query>
bool ServerTls(const char* mode);             // default, tls13, tls11, untrusted, off
// The request log, one entry per request: METHOD, PATH?QUERY, USER-AGENT, CONTENT-TYPE, BODY-BYTES, STATUS, STORED.
std::vector<std::vector<std::string>> ServerLogEntries();

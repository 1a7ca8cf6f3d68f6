#pragma once
// Building release trees (manifest + blobs) for the test server to serve.
#include <string>
#include <vector>

struct ReleaseFile {
    std::string path;     // relative, with '/', as the manifest names it
    std::string content;  // the bytes published for it
};

std::string Sha256Hex(const std::string& bytes);  // lower-case hex, through CryptoAPI
// A manifest text for `files` (header with releaseId, one LF-ended entry line each).
std::string ManifestText(const std::string& releaseId, const std::vector<ReleaseFile>& files);
// Writes DIR\patch\manifest.tsv and DIR\patch\blobs\<digest> for each file; false on any write failure.
bool WriteRelease(const std::string& dir, const std::string& releaseId, const std::vector<ReleaseFile>& files);
// Writes raw manifest text (for invalid-manifest cases) to DIR\patch\manifest.tsv.
bool WriteManifestText(const std::string& dir, const std::string& text);
// Tells the test server to serve DIR; false when the control port did not answer.
bool ServeRelease(const std::string& dir);
// Installs `files` under an install folder (creating directories), as a client that is already current.
bool InstallFiles(const std::string& installDir, const std::vector<ReleaseFile>& files);
// A 32-hex release id (stable per name).
std::string ReleaseId(const char* name);

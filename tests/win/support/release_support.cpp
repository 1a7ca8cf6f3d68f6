#include "support/release_support.h"

#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

#include "support/test_support.h"

std::string Sha256Hex(const std::string& bytes) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    BYTE value[32];
    DWORD len = sizeof value;
    std::string hex;
    if (CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, (const BYTE*)bytes.data(), (DWORD)bytes.size(), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0)) {
        char two[3];
        for (BYTE b : value) {
            snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
    }
    if (hash) CryptDestroyHash(hash);
    if (prov) CryptReleaseContext(prov, 0);
    return hex;
}

std::string ManifestText(const std::string& releaseId, const std::vector<ReleaseFile>& files) {
    std::string text = "VEQPATCH1\t" + releaseId + "\n";
    for (const ReleaseFile& f : files)
        text += Sha256Hex(f.content) + "\t" + std::to_string(f.content.size()) + "\t" + f.path + "\n";
    return text;
}

static bool EnsureDirs(const std::string& filePath) {
    for (size_t i = 3; i < filePath.size(); i++)
        if (filePath[i] == '\\') {
            std::string prefix = filePath.substr(0, i);
            if (!CreateDirectoryA(prefix.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        }
    return true;
}

bool WriteManifestText(const std::string& dir, const std::string& text) {
    std::string path = dir + "\\patch\\manifest.tsv";
    return EnsureDirs(path) && WriteFileBytes(path, text);
}

bool WriteRelease(const std::string& dir, const std::string& releaseId, const std::vector<ReleaseFile>& files) {
    for (const ReleaseFile& f : files) {
        std::string blob = dir + "\\patch\\blobs\\" + Sha256Hex(f.content);
        if (!EnsureDirs(blob) || !WriteFileBytes(blob, f.content)) return false;
    }
    return WriteManifestText(dir, ManifestText(releaseId, files));
}

bool ServeRelease(const std::string& dir) { return !ServerCtl("POST", "/ctl/release?dir=" + UnixPath(dir)).empty(); }

bool InstallFiles(const std::string& installDir, const std::vector<ReleaseFile>& files) {
    for (const ReleaseFile& f : files) {
        std::string path = installDir + "\\" + f.path;
        for (char& c : path)
            if (c == '/') c = '\\';
        if (!EnsureDirs(path) || !WriteFileBytes(path, f.content)) return false;
    }
    return true;
}

std::string ReleaseId(const char* name) { return Sha256Hex(name).substr(0, 32); }

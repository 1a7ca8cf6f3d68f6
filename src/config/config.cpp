#include "config/config.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "config/ini_rules.h"
#include "shell/disk.h"
#include "shell/shell.h"

static const char kConfigName[] = "autoupdate.ini";
static const char kTempName[] = "autoupdate.tmp";
static const char kLongestName[] = "autoupdate.ini.bak";

namespace {
struct Output {
    char* bytes;  // NULL: only count
    size_t size;
};
}  // namespace

static void Collect(void* ctx, const char* bytes, size_t n) {
    Output* out = (Output*)ctx;
    if (out->bytes) memcpy(out->bytes + out->size, bytes, n);
    out->size += n;
}

int RewriteClientConfig(void) {
    const char* problem = NULL;
    char iniPath[kPathCap], bakPath[kPathCap], tmpPath[kPathCap];
    char* text = NULL;
    size_t size = 0;
    Output out = {NULL, 0};
    int replaced = 0, tmpCreated = 0;
    DWORD attrs;

    // A cut name would be some other file. The patch run refuses such folders before we are ever called.
    if (!JoinFits(kPathCap, g_shell.installDir, kLongestName)) {
        problem = kFolderTooLong;
        goto done;
    }
    InstallPath(iniPath, kConfigName);
    attrs = GetFileAttributesA(iniPath);
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = "autoupdate.ini tak dijumpai";
        goto done;
    }
    FormatBounded(bakPath, sizeof bakPath, "%s.bak", iniPath);
    InstallPath(tmpPath, kTempName);
    // Read whole: a read error would otherwise leave the rest of the file out of the new one.
    if (!(text = DiskReadWhole(iniPath, (size_t)-1, &size))) {
        problem = "tak boleh baca autoupdate.ini";
        goto done;
    }
    DiskWrite(bakPath, text, size, 0);  // best effort: a stale backup must not keep the player from logging in
    RewriteConfigText(text, size, kServiceHost, Collect, &out);  // the size first, then the bytes
    out.bytes = (char*)malloc(out.size + 1);
    out.size = 0;
    if (out.bytes) replaced = RewriteConfigText(text, size, kServiceHost, Collect, &out);
    tmpCreated = 1;
    // On the disk before the move that relies on it: after a power cut the file is the old one or the new one.
    if (!out.bytes || !DiskWrite(tmpPath, out.bytes, out.size, 0)) {
        problem = "tak boleh tulis autoupdate.tmp";
        goto done;
    }
    // One step onto the old file: there is never a moment without autoupdate.ini, and a file that cannot be
    // replaced (open elsewhere, read-only) simply stays as it was.
    if (!DiskMove(tmpPath, iniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        problem = "gagal ganti autoupdate.ini";
done:
    free(out.bytes);
    free(text);
    // A half-written or unplaceable temporary file is of no use to anyone; autoupdate.ini is untouched.
    if (problem && tmpCreated) DiskDelete(tmpPath);
    if (problem) {
        ShowStatus("%s", problem);
        return 0;
    }
    ShowStatus("Patched: %d baris (Bishop %s:%s)", replaced, kServiceHost, kLoginPort);
    return 1;
}

#include "config/config.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "config/ini_rules.h"
#include "shell/shell.h"

static const char kConfigName[] = "autoupdate.ini";
static const char kTempName[] = "autoupdate.tmp";
static const char kLongestName[] = "autoupdate.ini.bak";

struct TempFile {
    FILE* out;
    int failed;  // a write fell short: the file is not the rewrite
};

static void WriteToTemp(void* ctx, const char* bytes, size_t n) {
    TempFile* t = (TempFile*)ctx;
    if (!t->failed && fwrite(bytes, 1, n, t->out) != n) t->failed = 1;
}

int RewriteClientConfig(void) {
    const char* problem = NULL;
    char iniPath[kPathCap], bakPath[kPathCap], tmpPath[kPathCap];
    char* text = NULL;
    size_t size = 0;
    TempFile tmp = {NULL, 0};
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
    CopyFileA(iniPath, bakPath, FALSE);  // best effort: a stale backup must not keep the player from logging in
    InstallPath(tmpPath, kTempName);
    // Read whole: a read error would otherwise leave the rest of the file out of the new one.
    if (!(text = ReadWholeFile(iniPath, (size_t)-1, &size))) {
        problem = "tak boleh baca autoupdate.ini";
        goto done;
    }
    if (!(tmp.out = fopen(tmpPath, "wb"))) {  // binary: CR LF stays exactly as the file has it
        problem = "tak boleh tulis autoupdate.tmp";
        goto done;
    }
    tmpCreated = 1;
    replaced = RewriteConfigText(text, size, kServiceHost, WriteToTemp, &tmp);
    // The buffered tail is written here: a full disk often shows only now.
    if (fclose(tmp.out) != 0) tmp.failed = 1;
    tmp.out = NULL;
    if (tmp.failed) {
        problem = "tak boleh tulis autoupdate.tmp";
        goto done;
    }
    // One step onto the old file: there is never a moment without autoupdate.ini, and a file that cannot be
    // replaced (open elsewhere, read-only) simply stays as it was.
    if (!MoveFileExA(tmpPath, iniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        problem = "gagal ganti autoupdate.ini";
done:
    if (tmp.out) fclose(tmp.out);
    free(text);
    // A half-written or unplaceable temporary file is of no use to anyone; autoupdate.ini is untouched.
    if (problem && tmpCreated) DeleteFileA(tmpPath);
    if (problem) {
        ShowStatus("%s", problem);
        return 0;
    }
    ShowStatus("Patched: %d baris (Bishop %s:%s)", replaced, kServiceHost, kLoginPort);
    return 1;
}

#include "config/config.h"

#include <windows.h>

#include <stdio.h>

#include "config/ini_rules.h"
#include "shell/shell.h"

static const char kLoginPort[] = "7451";
static const char kConfigName[] = "autoupdate.ini";
static const char kTempName[] = "autoupdate.tmp";
static const char kLongestName[] = "autoupdate.ini.bak";

// What fgets(piece, cap, in) reads, with its true length: a NUL byte in the file is just a byte to copy, and
// strlen would drop the rest of its line. At most cap - 1 bytes, through the first LF; 0 at the end or on error.
static size_t ReadConfigPiece(FILE* in, char* piece, size_t cap) {
    size_t n = 0;
    int c;
    while (n + 1 < cap && (c = getc(in)) != EOF) {
        piece[n++] = (char)c;
        if (c == '\n') break;
    }
    return n;
}

int RewriteClientConfig(void) {
    int ok = 0;
    const char* problem = NULL;
    char iniPath[kPathCap], bakPath[kPathCap], tmpPath[kPathCap];
    char piece[kConfigPieceCap];
    FILE* in = NULL;
    FILE* out = NULL;
    int tmpCreated = 0;
    ConfigRewriter rw;
    size_t len;
    DWORD attrs;

    StartConfigRewrite(&rw);
    // A cut name would be some other file. The patch run refuses such folders before we are ever called.
    if (!JoinFits(kPathCap, g_shell.installDir, kLongestName)) {
        problem = "Folder game terlalu panjang. Pindahkan game ke folder yang lebih pendek.";
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
    if (!(in = fopen(iniPath, "rb"))) {  // binary both ways: CR LF stays exactly as the file has it
        problem = "tak boleh baca autoupdate.ini";
        goto done;
    }
    if (!(out = fopen(tmpPath, "wb"))) {
        problem = "tak boleh tulis autoupdate.tmp";
        goto done;
    }
    tmpCreated = 1;

    while ((len = ReadConfigPiece(in, piece, sizeof piece)) > 0) {
        const char* bytes;
        size_t n;
        RewriteConfigPiece(&rw, piece, len, &bytes, &n);
        if (n > 0 && fwrite(bytes, 1, n, out) != n) {
            problem = "tak boleh tulis autoupdate.tmp";
            goto done;
        }
    }
    // A read error would leave the rest of the file out of the new one.
    if (ferror(in)) {
        problem = "tak boleh baca autoupdate.ini";
        goto done;
    }
    fclose(in);
    in = NULL;
    // The buffered tail is written here: a full disk often shows only now.
    if (fclose(out) != 0) {
        out = NULL;
        problem = "tak boleh tulis autoupdate.tmp";
        goto done;
    }
    out = NULL;
    // One step onto the old file: there is never a moment without autoupdate.ini, and a file that cannot be
    // replaced (open elsewhere, read-only) simply stays as it was.
    if (!MoveFileExA(tmpPath, iniPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        problem = "gagal ganti autoupdate.ini";
        goto done;
    }
    ok = 1;
done:
    if (out) fclose(out);
    if (in) fclose(in);
    // A half-written or unplaceable temporary file is of no use to anyone; autoupdate.ini is untouched.
    if (!ok && tmpCreated) DeleteFileA(tmpPath);
    if (ok)
        ShowStatus("Patched: %d baris (Bishop %s:%s)", rw.replaced, kServiceHost, kLoginPort);
    else
        ShowStatus("%s", problem);
    return ok;
}

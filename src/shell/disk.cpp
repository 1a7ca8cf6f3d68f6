// Every change to the disk below the install folder, made so that a link planted there (before or during the
// call) cannot lead it anywhere else: see disk.h.
#include "shell/disk.h"

#include <sddl.h>
#include <stdlib.h>
#include <string.h>

#include "shell/disk_rules.h"
#include "shell/shell.h"

enum { kMaxHeld = kPathCap / 2 + 1, kCopyChunkBytes = 1024 * 1024 };
static const DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                  FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER;

// Administrators and SYSTEM full control, Users read, for everything below; nothing inherited from above.
static const char kOwnFolderSddl[] = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";
static const char* const kOwnFolders[] = {"patch-cache", "patch-backups", "dumps"};

namespace {
// The folders from the install folder down to the one a call acts in, open without FILE_SHARE_DELETE.
struct Held {
    HANDLE h[kMaxHeld];
    int n;
};
}  // namespace

static void Release(Held* held) {
    while (held->n > 0) CloseHandle(held->h[--held->n]);
}

static int Missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// 1 when the name is no link (junction, symbolic link, mount point). Windows shows a link on a handle opened with
// FILE_FLAG_OPEN_REPARSE_POINT; Wine opens the target even then and shows the link only by path, so both are asked.
static int NoLink(HANDLE h, const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    if (!GetFileInformationByHandle(h, info) || (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
    DWORD attrs = GetFileAttributesA(path);
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A plain file: no link, no folder, and with `oneLink` no other name (a hard link) anywhere.
static int PlainFile(HANDLE h, const char* path, int oneLink) {
    BY_HANDLE_FILE_INFORMATION info;
    return NoLink(h, path, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (!oneLink || info.nNumberOfLinks == 1);
}

// Opens a folder so that it stays where it is while the handle is open: FILE_LIST_DIRECTORY, since share modes
// only bind opens that ask for more than attributes.
static int OpenHeld(const char* folder, HANDLE* out) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = CreateFileA(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    if (!NoLink(h, folder, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);  // a link or a file is in the way, not just missing
        return 0;
    }
    *out = h;
    return 1;
}

static int Elevated(void) {
    static int elevated = -1;  // the token does not change; a race only asks twice
    if (elevated < 0) {
        HANDLE token;
        TOKEN_ELEVATION e = {0};
        DWORD n = 0;
        int known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
        if (known) {
            known = GetTokenInformation(token, TokenElevation, &e, sizeof e, &n);
            CloseHandle(token);
        }
        elevated = known && e.TokenIsElevated;
    }
    return elevated;
}

static PSECURITY_DESCRIPTOR OwnFolderSecurity(void) {
    PSECURITY_DESCRIPTOR sd = NULL;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(kOwnFolderSddl, SDDL_REVISION_1, &sd, NULL) ? sd : NULL;
}

// `name` is the folder's path below the install folder. The launcher's own folders are made the administrators'
// at their creation: set later, a program could open one in between and keep its handle.
static void MakeFolder(const char* folder, const char* name) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, FALSE};
    for (const char* own : kOwnFolders)
        if (EqualsNoCase(name, own) && Elevated()) sa.lpSecurityDescriptor = OwnFolderSecurity();
    CreateDirectoryA(folder, sa.lpSecurityDescriptor ? &sa : NULL);  // one already there is fine: the open decides
    LocalFree(sa.lpSecurityDescriptor);
}

// Opens and holds the install folder and every folder below it on the way to `path`'s last name (and the last name
// too with withLast), making missing ones with `make`. 0, with nothing held, when a folder is missing, is no
// folder or is a link, or path is not below the install folder.
static int HoldWay(const char* path, int withLast, int make, Held* held) {
    char buf[kPathCap];
    size_t rel = DiskRelativeStart(g_shell.installDir, path), len = strlen(path);
    held->n = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    if (!rel || len >= sizeof buf) return 0;
    memcpy(buf, path, len + 1);
    size_t end = withLast ? len : (size_t)(strrchr(buf, '\\') - buf);
    for (size_t i = rel - 1;;) {  // buf[i] ends the folder to open: first the install folder itself
        buf[i] = '\0';
        if (make && i >= rel) MakeFolder(buf, buf + rel);
        int ok = held->n < kMaxHeld && OpenHeld(buf, &held->h[held->n]);
        buf[i] = path[i];
        if (!ok) {
            DWORD error = GetLastError();
            Release(held);
            SetLastError(error);
            return 0;
        }
        held->n++;
        if (i >= end) return 1;
        const char* next = strchr(buf + i + 1, '\\');
        i = next ? (size_t)(next - buf) : len;
    }
}

// Clears the read-only attribute of a name whose folder is held, through a handle to the name itself, and only
// of a file with no other name: the attribute belongs to the file, and would change for a hard link's target too.
static void AllowChange(const char* path) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return;
    if (NoLink(h, path, &info) && info.nNumberOfLinks == 1 && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
        FILE_BASIC_INFO basic;
        ZeroMemory(&basic, sizeof basic);  // zero times: left as they are
        basic.FileAttributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
    }
    CloseHandle(h);
}

// Deletes a name whose folder is held: a file, or a link itself (a folder link too). A real folder stays.
static int DeleteName(const char* path) {
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) return Missing(GetLastError());
    int link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) && !link) return 0;
    if ((attrs & FILE_ATTRIBUTE_READONLY) && !link) AllowChange(path);
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryA(path) != 0;
    return DeleteFileA(path) || Missing(GetLastError());
}

int DiskMakeFolders(const char* path, int withLast) {
    Held held;
    int ok = HoldWay(path, withLast, 1, &held);
    Release(&held);
    return ok;
}

HANDLE DiskCreate(const char* path, int append) {
    Held held;
    HANDLE f = INVALID_HANDLE_VALUE;
    if (!HoldWay(path, 0, 0, &held)) return f;
    if (append) {
        f = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, 0, NULL, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (f != INVALID_HANDLE_VALUE && !PlainFile(f, path, 1)) {
            CloseHandle(f);
            f = INVALID_HANDLE_VALUE;
        }
    } else if (DeleteName(path)) {
        // CREATE_NEW fails on any name that is there again, a link planted meanwhile included.
        f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                        NULL);
    }
    Release(&held);
    return f;
}

int DiskWrite(const char* path, const void* data, size_t size, int append) {
    HANDLE f = DiskCreate(path, append);
    DWORD put = 0;
    if (f == INVALID_HANDLE_VALUE) return 0;
    int ok = WriteFile(f, data, (DWORD)size, &put, NULL) && put == size && FlushFileBuffers(f);
    return CloseHandle(f) && ok;
}

HANDLE DiskOpenPlain(const char* path, DWORD share) {
    Held held;
    HANDLE f = INVALID_HANDLE_VALUE;
    if (!HoldWay(path, 0, 0, &held)) return f;
    f = CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    Release(&held);
    if (f != INVALID_HANDLE_VALUE && !PlainFile(f, path, 0)) {
        CloseHandle(f);
        f = INVALID_HANDLE_VALUE;
    }
    return f;
}

int DiskCopy(const char* from, const char* to) {
    int ok = 0;
    HANDLE in = DiskOpenPlain(from, FILE_SHARE_READ), out = INVALID_HANDLE_VALUE;
    char* chunk = (char*)malloc(kCopyChunkBytes);
    DWORD got = 0, put = 0;
    if (in == INVALID_HANDLE_VALUE || !chunk) goto done;
    if ((out = DiskCreate(to, 0)) == INVALID_HANDLE_VALUE) goto done;
    while (ReadFile(in, chunk, kCopyChunkBytes, &got, NULL)) {
        if (got == 0) {
            ok = FlushFileBuffers(out);
            break;
        }
        if (!WriteFile(out, chunk, got, &put, NULL) || put != got) break;
    }
done:
    free(chunk);
    if (out != INVALID_HANDLE_VALUE && !CloseHandle(out)) ok = 0;
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    return ok;
}

int DiskMove(const char* from, const char* to, DWORD flags) {
    Held a, b;
    int ok = 0;
    if (HoldWay(from, 0, 0, &a) && HoldWay(to, 0, 0, &b)) {
        HANDLE f = CreateFileA(from, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        ok = f != INVALID_HANDLE_VALUE && PlainFile(f, from, 1);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        if (ok && (flags & MOVEFILE_REPLACE_EXISTING)) AllowChange(to);
        ok = ok && MoveFileExA(from, to, flags);
        Release(&b);
    }
    Release(&a);
    return ok;
}

int DiskDelete(const char* path) {
    Held held;
    if (!HoldWay(path, 0, 0, &held)) return Missing(GetLastError());
    int ok = DeleteName(path);
    Release(&held);
    return ok;
}

// The names in a folder, each ending in a NUL, the list in an empty one (free it); NULL when it cannot be read.
static char* ReadNames(const char* folder) {
    char pattern[kPathCap];
    WIN32_FIND_DATAA fd;
    size_t size = 0, cap = 4096;
    char* names = (char*)malloc(cap);
    FormatBounded(pattern, sizeof pattern, "%s\\*", folder);
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE || !names) {
        free(names);
        return NULL;
    }
    do {
        size_t n = strlen(fd.cFileName) + 1;
        if (strcmp(fd.cFileName, ".") == 0 || strcmp(fd.cFileName, "..") == 0) continue;
        if (size + n + 1 > cap) {
            char* more = (char*)realloc(names, cap *= 2);
            if (!more) break;  // what was read still goes
            names = more;
        }
        memcpy(names + size, fd.cFileName, n);
        size += n;
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    names[size] = '\0';
    return names;
}

// Removes a name whose folder is held; a folder is held in turn while what it holds goes. Its names are read
// first: a folder changed while it is listed may be listed wrongly.
static int RemoveHeld(const char* path) {
    char child[kPathCap];
    HANDLE folder;
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) return Missing(GetLastError());
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return DeleteName(path);
    if (!OpenHeld(path, &folder)) return 0;  // swapped for a link since: left alone
    char* names = ReadNames(path);
    for (const char* name = names; name && *name; name += strlen(name) + 1) {
        if (!JoinFits(sizeof child, path, name)) continue;
        FormatBounded(child, sizeof child, "%s\\%s", path, name);
        RemoveHeld(child);
    }
    free(names);
    CloseHandle(folder);  // our own handle would keep it from going
    AllowChange(path);
    return RemoveDirectoryA(path) != 0;
}

int DiskRemoveTree(const char* path) {
    Held held;
    if (!HoldWay(path, 0, 0, &held)) return Missing(GetLastError());
    int ok = RemoveHeld(path);
    Release(&held);
    return ok;
}

HANDLE DiskOpenRead(const char* path, DWORD access, DWORD share, DWORD flags) {
    if (access & kWriteAccess) return INVALID_HANDLE_VALUE;
    return CreateFileA(path, access, share, NULL, OPEN_EXISTING, flags, NULL);
}

char* DiskReadWhole(const char* path, size_t maxBytes, size_t* size) {
    HANDLE f = DiskOpenPlain(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    LARGE_INTEGER n;
    char* data = NULL;
    DWORD got = 0;
    size_t have = 0;
    int ok = 0;
    if (f == INVALID_HANDLE_VALUE) return NULL;
    if (!GetFileSizeEx(f, &n) || (unsigned long long)n.QuadPart > maxBytes) goto done;
    if (!(data = (char*)malloc((size_t)n.QuadPart + 1))) goto done;  // + 1: an empty file is still a buffer
    while (have < (size_t)n.QuadPart && ReadFile(f, data + have, (DWORD)((size_t)n.QuadPart - have), &got, NULL) && got > 0)
        have += got;
    // Exactly the size measured: a file that grew meanwhile has more to read.
    ok = have == (size_t)n.QuadPart && ReadFile(f, data + have, 1, &got, NULL) && got == 0;
    *size = have;
done:
    CloseHandle(f);
    if (!ok) {
        free(data);
        data = NULL;
    }
    return data;
}

int DiskInUse(const char* path) {
    HANDLE f = CreateFileA(path, GENERIC_READ | DELETE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f != INVALID_HANDLE_VALUE) {
        CloseHandle(f);
        return 0;
    }
    return !Missing(GetLastError());
}

const char* LinkOnTheWay(const char* relPath) {
    static char rel[kPathCap];  // the patch run's thread only
    char path[kPathCap];
    FormatBounded(rel, sizeof rel, ".");
    FormatBounded(path, sizeof path, "%s", g_shell.installDir);
    for (size_t start = 0;;) {
        DWORD attrs = GetFileAttributesA(path);
        if (attrs == INVALID_FILE_ATTRIBUTES) return NULL;  // the rest does not exist yet: we make it, link-free
        if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return rel;
        size_t end = start;
        while (relPath[end] && relPath[end] != '/' && relPath[end] != '\\') end++;
        if (!relPath[end]) return NULL;  // the last name is the file's own
        FormatBounded(rel, sizeof rel, "%.*s", (int)end, relPath);
        InstallPath(path, rel);
        start = end + 1;
    }
}

int DiskFolderIdentity(const char* path, unsigned long* volume, unsigned long long* fileId) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return 0;
    *volume = info.dwVolumeSerialNumber;
    *fileId = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return 1;
}

// The same entries in the same order, byte for byte.
static int SameAces(PACL a, PACL b) {
    if (!a || !b || a->AceCount != b->AceCount) return 0;
    for (DWORD i = 0; i < a->AceCount; i++) {
        ACE_HEADER *x, *y;
        if (!GetAce(a, i, (void**)&x) || !GetAce(b, i, (void**)&y) || x->AceSize != y->AceSize || memcmp(x, y, x->AceSize))
            return 0;
    }
    return 1;
}

int DiskFolderIsOurs(const char* path) {
    BY_HANDLE_FILE_INFORMATION info;
    PSECURITY_DESCRIPTOR ours = OwnFolderSecurity(), theirs = NULL;
    PACL ourDacl = NULL, dacl = NULL;
    PSID owner = NULL;
    BOOL present = FALSE, defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0, need = 0;
    int ok = 0;
    HANDLE h = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (h == INVALID_HANDLE_VALUE || !ours || !NoLink(h, path, &info)) goto done;
    GetKernelObjectSecurity(h, what, NULL, 0, &need);
    if (!need || !(theirs = malloc(need)) || !GetKernelObjectSecurity(h, what, theirs, need, &need)) goto done;
    // The owner may rewrite the DACL at will: only an administrators' folder stays as we made it.
    ok = GetSecurityDescriptorOwner(theirs, &owner, &defaulted) && owner &&
         (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid)) &&
         GetSecurityDescriptorControl(theirs, &control, &revision) && (control & SE_DACL_PROTECTED) &&
         GetSecurityDescriptorDacl(theirs, &present, &dacl, &defaulted) && present &&
         GetSecurityDescriptorDacl(ours, &present, &ourDacl, &defaulted) && SameAces(dacl, ourDacl);
done:
    free(theirs);
    LocalFree(ours);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
}

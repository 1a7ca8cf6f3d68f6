#pragma once
// The one way the launcher changes the disk. It runs as administrator in a folder the player (and any program of
// the player's) may write, so everything below that folder is somebody else's input. Every create, write, move,
// attribute change and delete goes through here, and only here calls the functions that change files
// (tests/native/disk_only.sh checks src/ for them).
//
// Paths are absolute and strictly below g_shell.installDir, as InstallPath builds them. Each call opens the folders
// from the install folder down to the path's folder without FILE_SHARE_DELETE, refuses a link among them, and keeps
// them open until it is done, so that none of them can be renamed or replaced meanwhile; then it acts by path. A
// last name is never followed: a file to be written is created anew (an old one, hard link or link, is deleted
// first), and an attribute is changed through a handle to the name itself. Every function returns 0 (or
// INVALID_HANDLE_VALUE, NULL) when it refused or failed.
#include <windows.h>

#include <stddef.h>

// The folders of `path` before its last backslash, and with `withLast` the last name too. patch-cache,
// patch-backups and dumps get an administrators-only DACL when the launcher creates them elevated.
int DiskMakeFolders(const char* path, int withLast);
// A new file for writing (an old one is replaced, never written through); with `append`, the existing file, only
// when it is a plain file with one link (a partial download).
HANDLE DiskCreate(const char* path, int append);
// Writes (or appends) the bytes and returns once they are on the disk, not just in its cache.
int DiskWrite(const char* path, const void* data, size_t size, int append);
// `from` (a plain file) into a new `to`, on the disk before it returns.
int DiskCopy(const char* from, const char* to);
// MoveFileEx of a plain file with one link; a read-only `to` is replaced too.
int DiskMove(const char* from, const char* to, DWORD flags);
// 1 when the name is gone, deleted or never there; a read-only file goes too.
int DiskDelete(const char* path);
// A file or a folder with all it holds; a link is removed itself, never followed. 1 when it is gone.
int DiskRemoveTree(const char* path);

// Reads. A file or folder for reading, with CreateFile's flags (no write access is given); nothing on its way is
// checked: for digests and facts, not for content that is kept.
HANDLE DiskOpenRead(const char* path, DWORD access, DWORD share, DWORD flags);
// A plain file (hard links allowed) opened for reading, the folders on its way held meanwhile; invalid when it is a
// link or behind one: for content that leaves the folder or is kept.
HANDLE DiskOpenPlain(const char* path, DWORD share);
// The whole file in one heap block (free it), with its size; NULL when it is a link or behind one, cannot be read,
// holds more than maxBytes, or there is no memory. A file that grows while read is refused, not cut.
char* DiskReadWhole(const char* path, size_t maxBytes, size_t* size);
// 1 when another program has the file open (so it could not be replaced now); 0 when it is free or not there.
int DiskInUse(const char* path);
// The first folder that is a link on the way from the install folder to the folder of relPath ('/' or '\'), as a
// relative folder ("." for the install folder itself); NULL when there is none. Missing folders are no links.
const char* LinkOnTheWay(const char* relPath);
// The folder's volume serial number and file id, as every path to it sees them.
int DiskFolderIdentity(const char* path, unsigned long* volume, unsigned long long* fileId);
// 1 when the folder is a plain folder that the launcher secured: owned by Administrators or SYSTEM, with exactly
// the DACL it gives patch-cache, patch-backups and dumps. (Wine keeps no DACL, only mode bits: there, never.)
int DiskFolderIsOurs(const char* path);

#!/bin/sh
# Only the disk module, src/shell/disk.cpp, calls what creates, changes, moves or deletes files; the rest of the
# launcher goes through it. Lists every other call and fails.
cd "$(dirname "$0")/../../src" || exit 2
win32='(CreateFile|MoveFile|CopyFile|DeleteFile|RemoveDirectory|CreateDirectory|SetFileAttributes|ReplaceFile|CreateHardLink|CreateSymbolicLink|SetFileInformationByHandle|Set[A-Za-z]*Security)[A-Za-z0-9]*'
found=$(grep -rnE "\\b($win32|fopen|_wfopen|freopen|remove|rename)[[:space:]]*\\(" --include='*.cpp' --include='*.h' . |
        grep -v '^\./shell/disk\.cpp:')
[ -z "$found" ] && exit 0
printf 'outside src/shell/disk.cpp:\n%s\n' "$found"
exit 1

// Preloaded into veq-serve by the server tests, as a failing or slow disk: fsync of a regular file fails with EIO
// for the first VEQ_FSYNC_FAIL calls, and takes VEQ_FSYNC_DELAY seconds more for a file of 1 MiB or more.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

int fsync(int fd) {
    static int calls;
    struct stat st;
    const char *fail = getenv("VEQ_FSYNC_FAIL"), *delay = getenv("VEQ_FSYNC_DELAY");
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return real(fd);
    if (fail && __atomic_fetch_add(&calls, 1, __ATOMIC_SEQ_CST) < atoi(fail)) {
        errno = EIO;
        return -1;
    }
    if (delay && st.st_size >= (1 << 20)) sleep((unsigned)atoi(delay));
    return real(fd);
}

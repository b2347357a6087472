/*
 * slow_sync.c - storage whose flushes are slow, for the recorder's tests:
 * loaded with LD_PRELOAD, every fsync() and fdatasync() of the process
 * waits SLOW_SYNC_MS milliseconds (default 200) before the real call, and,
 * when SLOW_SYNC_LOG names a file, first appends one line naming the call to
 * it (so a test can count the flushes without strace).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void slow_flush(const char *line) {
    const int saved = errno;
    const char *log = getenv("SLOW_SYNC_LOG");
    if (log != NULL && *log != '\0') {
        /* O_APPEND: one write per line, whole even with several processes. */
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (write(fd, line, strlen(line)) < 0) { /* the count is lost, not the flush */
            }
            close(fd);
        }
    }
    const char *ms_text = getenv("SLOW_SYNC_MS");
    const long ms = ms_text != NULL && *ms_text != '\0' ? strtol(ms_text, NULL, 10) : 200;
    struct timespec left = {ms / 1000, (ms % 1000) * 1000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    errno = saved;
}

int fsync(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    slow_flush("fsync\n");
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    slow_flush("fdatasync\n");
    return real(fd);
}

// child_run.h - a test body run in a forked child, so that a fault, a
// signal or a resource limit ends the child and not the test.
#ifndef TESTS_SUPPORT_CHILD_RUN_H
#define TESTS_SUPPORT_CHILD_RUN_H

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

// Runs `fn` in a child and returns how the child ended: fn's result as its
// exit status, 128 + the signal that ended it, or -1 if it could not be
// started or waited for.  With an `fsize_limit` the child's files may not
// grow past it: a write beyond fails with EFBIG (SIGXFSZ is ignored), and
// the child exits 10 if the limit cannot be set.  Buffered output is
// flushed first so the child does not write it a second time.
inline int child_exit_status(const std::function<int()> &fn, rlim_t fsize_limit = RLIM_INFINITY) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (fsize_limit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fsize_limit, fsize_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        }
        _exit(fn());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif  // TESTS_SUPPORT_CHILD_RUN_H

// proc_clock.cpp - the clocks the benchmark scripts read, all on
// CLOCK_MONOTONIC:
//   proc_clock run [-o FILE] -- CMD [ARG...]
//       runs CMD as a whole process and appends one line to FILE (default
//       standard error): wall=S user=S sys=S maxrss_kib=N status=N vcsw=N
//       ivcsw=N, the times in seconds to the microsecond, and the voluntary
//       and involuntary context switches of all its threads (wait4's
//       resource usage).
//   proc_clock stamp
//       copies standard input to standard output, each line prefixed with
//       the monotonic time in milliseconds at which it was read.
//   proc_clock await DIR NAME [TIMEOUT_S]
//       prints the monotonic time in milliseconds at which DIR/NAME appears
//       (created or renamed into DIR); exit status 1 on timeout (default 600 s).
//   proc_clock now
//       prints the monotonic time in milliseconds.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double seconds(const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

int usage() {
    std::fputs(
        "Usage: proc_clock run [-o FILE] -- CMD [ARG...] | stamp | await DIR NAME [TIMEOUT_S] | "
        "now\n",
        stderr);
    return 2;
}

int run(int argc, char **argv) {
    const char *out = nullptr;
    int i = 0;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            break;
        }
    }
    if (i >= argc) return usage();
    const double start = now_ms();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("proc_clock: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "proc_clock: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    const double wall = (now_ms() - start) / 1e3;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE *f = out != nullptr ? std::fopen(out, "a") : stderr;
    if (f == nullptr) {
        std::perror("proc_clock: output file");
        return 1;
    }
    std::fprintf(f, "wall=%.6f user=%.6f sys=%.6f maxrss_kib=%ld status=%d vcsw=%ld ivcsw=%ld\n",
                 wall, seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss, code, ru.ru_nvcsw,
                 ru.ru_nivcsw);
    if (f != stderr) std::fclose(f);
    return code;
}

int stamp() {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) >= 0) {
        std::printf("%.3f %s", now_ms(), line);
        if (n == 0 || line[n - 1] != '\n') std::putchar('\n');
        std::fflush(stdout);
    }
    std::free(line);
    return 0;
}

int await(int argc, char **argv) {
    if (argc < 2) return usage();
    const std::string dir = argv[0], name = argv[1];
    const double timeout_ms = (argc > 2 ? std::atof(argv[2]) : 600.0) * 1e3;
    const int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        std::perror("proc_clock: inotify");
        return 1;
    }
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) == 0) {
        std::printf("%.3f\n", now_ms());
        return 0;
    }
    const double deadline = now_ms() + timeout_ms;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const double left = deadline - now_ms();
        if (left <= 0) return 1;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        const double t = now_ms();
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            if (e->len > 0 && name == e->name) {
                std::printf("%.3f\n", t);
                return 0;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const std::string cmd = argv[1];
    if (cmd == "run") return run(argc - 2, argv + 2);
    if (cmd == "stamp") return stamp();
    if (cmd == "await") return await(argc - 2, argv + 2);
    if (cmd == "now") {
        std::printf("%.3f\n", now_ms());
        return 0;
    }
    return usage();
}

// ring_latency.cpp - how long a frame takes from its put to a reader in
// another process, for three ways of waiting, in one run:
//
//   wait    the reader follows with MediaDataGetNextFrame and sleeps in
//           MediaDataWaitPut when it has caught up (the ring's wait);
//   poll    the same reader, sleeping 10 ms instead (how readers waited
//           before the wait existed);
//   futex   the floor: no ring at all, a producer stamps a word in a shared
//           file mapping and wakes a reader sleeping on it (FUTEX_WAKE and
//           FUTEX_WAIT on a shared mapping, as the ring's wait does).
//
// The producer puts a 400-byte frame (or stamps the word) every 1 to 2 ms,
// so the reader is asleep when each one comes; each frame carries its
// CLOCK_MONOTONIC time of put, and the reader takes the difference when the
// frame is in its hands.  Prints the median, p90, p99 and maximum in µs.
//
//   ring_latency [FRAMES]      (default 2000 per mode; files on /dev/shm)
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "media_ring/media_ring.h"

namespace {

constexpr int kChannel = 2;
constexpr uint32_t kFrameBytes = 400;

uint64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

void pace(unsigned *seed) {
    const long us = 1000 + static_cast<long>(rand_r(seed) % 1000);
    timespec t{0, us * 1000};
    nanosleep(&t, nullptr);
}

// What the reader process hands back: one latency per frame, in ns.
struct Shared {
    std::atomic<uint32_t> ready;  // the reader has taken its starting point
    std::atomic<uint32_t> taken;  // futex mode: stamps the reader has timed
    uint32_t word;                // futex mode: the stamp count (the futex word)
    uint64_t stamp;               // futex mode: the newest put's time
    uint64_t latency[1];          // FRAMES of them follow
};

long futex(uint32_t *word, int op, uint32_t value) {
    return syscall(SYS_futex, word, op, value, nullptr, nullptr, 0);
}

void ring_producer(Shared *sh, uint32_t frames) {
    while (sh->ready.load(std::memory_order_acquire) == 0) usleep(100);
    unsigned seed = 7;
    std::vector<uint8_t> payload(kFrameBytes, 0x5a);
    for (uint32_t k = 0; k < frames; ++k) {
        pace(&seed);
        FrameInfo info{};
        info.ts = k;
        info.frameType = MEDIA_FRAME_P;
        const uint64_t t = now_ns();
        std::memcpy(payload.data(), &t, sizeof t);
        if (MediaDataPut(kChannel, payload.data(), kFrameBytes, &info) != 0) _exit(2);
    }
}

void ring_reader(Shared *sh, uint32_t frames, bool poll) {
    std::vector<uint8_t> buf(kFrameBytes);
    FrameInfo info;
    uint32_t count = 0;
    int bd = 0;
    if (MediaDataGetPutCount(kChannel, &count) != 0) _exit(3);
    sh->ready.store(1, std::memory_order_release);
    uint32_t got = 0;
    bool started = false;
    while (got < frames) {
        if (MediaDataGetPutCount(kChannel, &count) != 0) _exit(3);
        const int rc = started ? MediaDataGetNextFrame(kChannel, buf.data(), kFrameBytes, &bd, &info)
                               : MediaDataAudioGetNewFrame(kChannel, buf.data(), kFrameBytes, &bd, &info);
        if (rc == 0) {
            const uint64_t t = now_ns();
            uint64_t put;
            std::memcpy(&put, buf.data(), sizeof put);
            // The first read may find an older frame of an earlier mode.
            if (started || info.ts == 0) sh->latency[got++] = t - put;
            started = true;
            continue;
        }
        if (poll)
            usleep(10000);
        else
            MediaDataWaitPut(kChannel, count, -1);
    }
}

void futex_producer(Shared *sh, uint32_t frames) {
    while (sh->ready.load(std::memory_order_acquire) == 0) usleep(100);
    unsigned seed = 7;
    for (uint32_t k = 0; k < frames; ++k) {
        // One stamp at a time: a second one before the reader woke for the
        // first would overwrite it, and one wake would stand for two.
        while (sh->taken.load(std::memory_order_acquire) != k) usleep(20);
        pace(&seed);
        std::atomic_ref<uint64_t>(sh->stamp).store(now_ns(), std::memory_order_relaxed);
        std::atomic_ref<uint32_t>(sh->word).fetch_add(1, std::memory_order_release);
        futex(&sh->word, FUTEX_WAKE, 1);
    }
}

void futex_reader(Shared *sh, uint32_t frames) {
    uint32_t seen = std::atomic_ref<uint32_t>(sh->word).load(std::memory_order_acquire);
    sh->ready.store(1, std::memory_order_release);
    for (uint32_t got = 0; got < frames;) {
        const uint32_t w = std::atomic_ref<uint32_t>(sh->word).load(std::memory_order_acquire);
        if (w == seen) {
            futex(&sh->word, FUTEX_WAIT, seen);
            continue;
        }
        sh->latency[got++] = now_ns() - std::atomic_ref<uint64_t>(sh->stamp).load(std::memory_order_relaxed);
        seen = w;
        sh->taken.store(got, std::memory_order_release);
    }
}

struct Mode {
    const char *name;
    void (*producer)(Shared *, uint32_t);
    void (*reader)(Shared *, uint32_t);
};

bool run(const Mode &m, Shared *sh, uint32_t frames, std::vector<double> *us) {
    sh->ready.store(0);
    sh->taken.store(0);
    sh->word = 0;
    std::fflush(nullptr);
    const pid_t reader = fork();
    if (reader == 0) {
        m.reader(sh, frames);
        _exit(0);
    }
    const pid_t producer = fork();
    if (producer == 0) {
        m.producer(sh, frames);
        _exit(0);
    }
    int a = 0, b = 0;
    waitpid(producer, &a, 0);
    waitpid(reader, &b, 0);
    if (!WIFEXITED(a) || WEXITSTATUS(a) != 0 || !WIFEXITED(b) || WEXITSTATUS(b) != 0) return false;
    us->assign(frames, 0);
    for (uint32_t k = 0; k < frames; ++k) (*us)[k] = static_cast<double>(sh->latency[k]) / 1000.0;
    std::sort(us->begin(), us->end());
    return true;
}

double at(const std::vector<double> &v, double q) {
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char **argv) {
    const uint32_t frames = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 2000;
    if (frames == 0) {
        std::fprintf(stderr, "usage: ring_latency [FRAMES]\n");
        return 2;
    }
    const std::string dir = bench::make_scratch(getenv("MEDIA_BENCH_DIR") ? getenv("MEDIA_BENCH_DIR") : "/dev/shm", "ring_latency");
    if (dir.empty()) return 1;
    setenv("MEDIA_RING_PATH", (dir + "/view").c_str(), 1);
    if (MediaDataInit(1) != 0) return 1;  // created once, before the processes fork

    // The futex word lives in a shared file mapping, as the ring's does.
    const size_t bytes = sizeof(Shared) + frames * sizeof(uint64_t);
    const int fd = open((dir + "/words").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) return 1;
    auto *sh = static_cast<Shared *>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    if (sh == MAP_FAILED) return 1;

    const Mode modes[] = {
        {"futex (floor)", futex_producer, futex_reader},
        {"ring wait", ring_producer, [](Shared *s, uint32_t n) { ring_reader(s, n, false); }},
        {"ring, 10 ms polling", ring_producer, [](Shared *s, uint32_t n) { ring_reader(s, n, true); }},
    };
    std::printf("put -> reader latency across two processes, %u frames each, in us\n", frames);
    std::printf("%-22s %10s %10s %10s %10s\n", "mode", "median", "p90", "p99", "max");
    int status = 0;
    for (const Mode &m : modes) {
        std::vector<double> us;
        if (!run(m, sh, frames, &us)) {
            std::printf("%-22s failed\n", m.name);
            status = 1;
            continue;
        }
        std::printf("%-22s %10.1f %10.1f %10.1f %10.1f\n", m.name, at(us, 0.5), at(us, 0.9),
                    at(us, 0.99), us.back());
    }
    munmap(sh, bytes);
    bench::remove_scratch(dir);
    return status;
}

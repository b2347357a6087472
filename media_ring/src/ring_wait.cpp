// ring_wait.cpp - readers that sleep until a put: each channel's wake word,
// an eventcount in the 4 bytes at ChannelCtrl offset 12.
//
//   bits 1..31  the put count: the writer adds 2 at the end of every put;
//   bit 0       "a reader sleeps on this word": set by a waiting reader
//               (compare-and-swap), cleared by the writer, which then wakes
//               every sleeper.
//
// The writer pays one atomic add per put and makes the system call only
// when the flag is set.  The futex is the shared kind: the ring is a file
// mapping shared between processes (and between x86-64 and 32-bit ARM
// processes mapping one file), so the kernel keys the word by file and
// offset.  Orders, by name (ring_atomic.h lists the pairs):
//   announce_put's fetch_add (release, ring_internal.h)  ->  the acquire
//   loads here;
//   the waiter's CAS and the writer's fetch_add, both RMWs of one word.
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "ring_atomic.h"
#include "ring_internal.h"

namespace media_ring {
namespace {

std::atomic_ref<uint32_t> wake_word(ChannelCtrl &c) {
    return std::atomic_ref<uint32_t>(c.wakeWord);
}

long futex(uint32_t *word, int op, uint32_t value, const struct timespec *timeout) {
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

// Nanoseconds, so a wait of N ms never ends before N ms have passed.
int64_t now_ns() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

// Called by announce_put (ring_internal.h), whose add saw the flag set.
void wake_waiters(ChannelCtrl &c) {
    // Clear the flag first, then wake: a reader that sets it again after
    // this sleeps on a word that has moved, and so waits for the next put.
    wake_word(c).fetch_and(~kWakeWaiting, std::memory_order_release);
    futex(&c.wakeWord, FUTEX_WAKE, INT_MAX, nullptr);
}

}  // namespace media_ring

using namespace media_ring;

MEDIA_RING_EXPORT int MediaDataGetPutCount(int channel, uint32_t *count) {
    Channel ch;
    if (!enter_channel(channel, 0, &ch) || count == nullptr) return -1;
    // Acquire: the reads the caller makes next see at least the puts counted.
    *count = wake_word(*ch.ctrl).load(std::memory_order_acquire) & ~kWakeWaiting;
    return 0;
}

MEDIA_RING_EXPORT int MediaDataWaitPut(int channel, uint32_t count, int timeoutMs) {
    Channel ch;
    if (!enter_channel(channel, 0, &ch)) {
        errno = EINVAL;
        return -1;
    }
    const int64_t deadline = timeoutMs < 0 ? 0 : now_ns() + int64_t{timeoutMs} * 1000000;
    for (;;) {
        uint32_t v = wake_word(*ch.ctrl).load(std::memory_order_acquire);
        if ((v & ~kWakeWaiting) != count) return 0;
        struct timespec rel;
        const struct timespec *limit = nullptr;
        if (timeoutMs >= 0) {
            const int64_t left = deadline - now_ns();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            rel.tv_sec = static_cast<time_t>(left / 1000000000);
            rel.tv_nsec = static_cast<long>(left % 1000000000);
            limit = &rel;
        }
        // Raise the flag on exactly the value seen; a put in between moves
        // the word, the CAS fails, and the loop sees the new count.
        if ((v & kWakeWaiting) == 0) {
            if (!wake_word(*ch.ctrl).compare_exchange_strong(v, v | kWakeWaiting,
                                                              std::memory_order_seq_cst))
                continue;
            v |= kWakeWaiting;
        }
        // Sleeps only while the word still holds v (checked by the kernel
        // under its lock); woken, timed out, interrupted or refused (the word
        // moved), the loop looks again.
        futex(&ch.ctrl->wakeWord, FUTEX_WAIT, v, limit);
    }
}

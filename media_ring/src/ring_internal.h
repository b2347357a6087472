// ring_internal.h - what the ring's own translation units share.
//
// src/ holds the library's internals (layout, atomic access, writer,
// readers, mapping, log); none of it is installed or reachable through the
// public include directory, include/media_ring/.
#ifndef MEDIA_RING_RING_INTERNAL_H
#define MEDIA_RING_RING_INTERNAL_H

#include <atomic>
#include <cstdint>

#include "ring_layout.h"

// The library is built with hidden visibility; only the C interface is exported.
#define MEDIA_RING_VISIBLE __attribute__((visibility("default")))
#define MEDIA_RING_EXPORT extern "C" MEDIA_RING_VISIBLE

// The writer's per-process running counters, the source of video frames' seq.
// Process-private (not in the ring); exported so tests can start them anywhere.
MEDIA_RING_EXPORT uint16_t g_frame_seq[media_ring::kChannelCount];

namespace media_ring {

// One channel as an operation sees it after the entry steps.
struct Channel {
    int number;
    ChannelCtrl *ctrl;
    unsigned char *data;  // first byte of the channel's region
    uint32_t region_size;
};

// Entry steps shared by the writer and every frame reader: map the ring if
// this process has not yet (mode 1 writer, 0 reader), look the channel's
// region up, and refuse any channel whose whole value is not 0..5 (the
// region lookup sees only its low eight bits).  false: return -1.
bool enter_channel(int channel, int mode, Channel *out);

// The wake word's two bits of protocol (ring_wait.cpp has the rest).
inline constexpr uint32_t kWakeWaiting = 1;  // bit 0: a reader sleeps on the word
inline constexpr uint32_t kWakePutStep = 2;  // bits 1..31 count the puts

// Clears the waiting flag and wakes every reader sleeping on the word.
void wake_waiters(ChannelCtrl &c);

// The writer's last step of every put: counts it in the channel's wake word
// and, only when a reader sleeps there, makes the system call that wakes
// it.  Release: a reader whose acquire load sees this count sees every store
// of the put (the frame, curBDIndex) made before it.  Inline, as it runs on
// every put.
inline void announce_put(ChannelCtrl &c) {
    const uint32_t old = std::atomic_ref<uint32_t>(c.wakeWord).fetch_add(kWakePutStep,
                                                                      std::memory_order_release);
    if (old & kWakeWaiting) wake_waiters(c);
}

}  // namespace media_ring

#endif  // MEDIA_RING_RING_INTERNAL_H

// ring_atomic.h - the loads and stores that order the ring across processes.
//
// The writer publishes with release stores and readers observe with acquire
// loads, so the store order of a put holds on a weakly ordered ARM core and
// the compiler cannot reorder it.  Pairs, by name:
//   publish(bd.valid, 1)          <->  observe(bd.valid)       frame filled
//   publish(ctrl.writeOffset, W') <->  observe(ctrl.writeOffset) slot claimed
//   publish(ctrl.curBDIndex, K')  <->  observe(ctrl.curBDIndex)  table grown
//   publish(ctrl.lastBDIndex, I') <->  observe(ctrl.lastBDIndex) oldest dropped
// and the descriptor's generation, a seqlock (begin_change / end_change in
// the writer, load_candidate / read_out in the readers):
//   publish(bd.generation, even)  <->  observe(bd.generation)  clear ended:
//       a reader that sees the even value sees the whole clear;
//   store_relaxed(bd.generation, odd); release fence  <->  acquire fence;
//       load_relaxed(bd.generation)  clear begun: a reader that loaded any
//       byte the writer stored after the fence (the zeroing, a refill, the
//       payload bytes written over the frame) sees the odd value or a later
//       one in its second load, so it cannot take a mix of two frames, or
//       half a cleared record, for a frame.
// A fill needs no step of its own: the reader loads the generation, then
// valid (acquire); valid = 1 comes only from a fill and brings all of it,
// and nothing of that frame changes again before the clear that moves the
// generation.
// and the channel's wake word, an eventcount (ring_wait.cpp):
//   announce_put: fetch_add(ctrl.wakeWord, 2, release) after the put's last
//       publish  <->  MediaDataGetPutCount / MediaDataWaitPut: load(acquire)
//       a reader that sees the new count sees the frame it counts;
//   MediaDataWaitPut: CAS(ctrl.wakeWord, v, v | 1)  <->  announce_put's
//       fetch_add: both are read-modify-writes of one word, so one is first
//       in its order: the CAS fails if the put came before it, and the put
//       sees the flag (and wakes) if it came after; the futex's own check
//       of the word under the kernel's lock closes the gap before sleeping.
// A producer built before the generation existed never moves it (0): the
// re-check of valid, offset, size, ts and seq after the copy, ordered by
// the writer's release fences after evictions and the reader's acquire
// fence, is then the only guard.  It is sound on x86 (TSO); on ARM only the
// generation closes the refill (valid 1 -> 0 -> 1) and torn-record cases.
// The fields are naturally aligned in the mapping, as std::atomic_ref needs.
#ifndef MEDIA_RING_RING_ATOMIC_H
#define MEDIA_RING_RING_ATOMIC_H

#include <atomic>
#include <cstdint>

namespace media_ring {

template <typename T>
inline void publish(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

template <typename T>
inline T observe(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}

// A single-copy-atomic access with no ordering of its own, for words that
// another process may change at any moment but whose order is carried by a
// fence or by a neighbouring publish/observe.
template <typename T>
inline T load_relaxed(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T>
inline void store_relaxed(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

}  // namespace media_ring

#endif  // MEDIA_RING_RING_ATOMIC_H

// ring_readout.h - what every frame reader shares: the reader's entry steps,
// the guarded loads of control-block indices and descriptors, the
// half-region window and the read-out that turns a chosen descriptor into the
// caller's copy.  The searches (ring_search.cpp) and the next-frame walk
// (ring_next.cpp) differ only in how they choose a descriptor and in the
// message forms they hand the read-out.
//
// Readers never write the ring and never index it with a value they have not
// bounded: control-block indices are refused when >= 500, descriptor indices
// are formed modulo 500, and a payload is copied only when it lies wholly
// inside the channel's region.
#ifndef MEDIA_RING_RING_READOUT_H
#define MEDIA_RING_RING_READOUT_H

#include <cstdint>

#include "ring_atomic.h"
#include "ring_internal.h"

namespace media_ring {

// A search fails once it has passed over more descriptors than this.
inline constexpr uint32_t kSearchCountLimit = kBDCount - 1;

// The read-out's messages that differ from one reader family to another.
struct ReadoutForms {
    const char *size;    // name, channel, i, framesize, 0x60000, bufferSize, 5
    const char *bounds;  // name, channel, i, shm_offset, framesize, region size
    bool bounds_long;    // the bounds form's three figures are %lx (unsigned long)
    const char *read;    // name, channel, i, shm_offset, framesize
};

// _MediaDataGetOldFrame and _MediaDataGetNewFrame.
inline constexpr ReadoutForms kTypeSearchForms = {
    "%s: ch %d, bdindex %3d, framesize 0x%6x > 0x%6x/0x%6x, or < 0x%x error \n",
    "%s: ch %d, bdindex %3d, shm_offset 0x%6x + size 0x%6x >= 0x%6x error \n",
    false,
    "%s: ch %d, read bdindex %3d, offset 0x%6x, size 0x%6x \n",
};
// MediaDataAudioGetByTs and MediaDataVideoGetByTs.
inline constexpr ReadoutForms kTsSearchForms = {
    "%s: ch %d, bdindex %3d, framesize 0x%5x > 0x%5x/0x%5x, or < 0x%x error \n",
    "%s: ch %d, bdindex %3d, shm_offset 0x%6x + size 0x%5x >= 0x%6x error \n",
    false,
    "%s: ch %d, read bdindex %3d, offset 0x%6x, size 0x%x \n",
};
// MediaDataGetNextFrame and MediaDataGetNextVideoFrameType.
inline constexpr ReadoutForms kNextForms = {
    "%s: ch %d, bdindex %3d, framesize 0x%6x > 0x%6x/0x%6x, or < 0x%x error \n",
    "%s: ch %d, bdindex %3d, shm_offset 0x%lx + size 0x%lx >= 0x%lx error \n",
    true,
    "%s: ch %d, read bdindex %3d, offset 0x%6x, size 0x%6x \n",
};

// A live descriptor as one step saw it: each shared word loaded once, and
// every test, the copy and the re-check of that step use these locals.
struct Candidate {
    uint32_t index;       // 0..499
    uint16_t generation;  // even, loaded (acquire) before every other field
    uint32_t shm_offset;
    uint32_t framesize;
    uint32_t ts;
    uint16_t seq;
    uint8_t frameType;
};

// The entry steps of a reader: map the ring (mode 0) if this process has
// not, look the channel up, and test for emptiness with `empty_form` (level
// 7).  On a non-empty channel whose indices are not both below 500, prints a
// level-2 line and refuses.  `last` and `cur` receive the indices the
// emptiness test used.  false: the reader returns -1.
bool enter_reader(int channel, const char *name, const char *empty_form, Channel *ch,
                  uint32_t *last, uint32_t *cur);

// Prints the level-2 line for a control-block index of 500 or more.
// Out of line: the guarded loads below stay small enough to inline.
void report_bad_index(const Channel &ch, const char *name, const char *field, uint32_t value);

// Loads one control-block index, curBDIndex or lastBDIndex, with acquire
// order.  A value of 500 or more is reported (level 2) and refused.
// These loads run once per descriptor a walk passes over, so they are
// inline: as calls into another file they were most of a search's cost.
inline bool load_cur_index(const Channel &ch, const char *name, uint32_t *out) {
    *out = observe(ch.ctrl->curBDIndex);  // pairs with publish(ctrl.curBDIndex, K')
    if (*out < kBDCount) return true;
    report_bad_index(ch, name, "curBDIndex", *out);
    return false;
}
inline bool load_last_index(const Channel &ch, const char *name, uint32_t *out) {
    *out = observe(ch.ctrl->lastBDIndex);  // pairs with publish(ctrl.lastBDIndex, I')
    if (*out < kBDCount) return true;
    report_bad_index(ch, name, "lastBDIndex", *out);
    return false;
}

// Loads descriptor `i` (< 500).  false when its valid is not exactly 1, or
// while the writer is changing it (odd generation).
inline bool load_candidate(const Channel &ch, uint32_t i, Candidate *out) {
    FrameBD &d = ch.ctrl->bd[i];
    // The seqlock's first load; pairs with publish(bd.generation, even).
    const uint16_t g = observe(d.generation);
    if (g & 1u) return false;
    // Pairs with publish(bd.valid, 1): the loads below see the fill it ends
    // (all a producer that never moves the generation gives).
    if (observe(d.valid) != 1) return false;
    out->index = i;
    out->generation = g;
    out->shm_offset = load_relaxed(d.shm_offset);
    out->framesize = load_relaxed(d.info.framesize);
    out->ts = load_relaxed(d.info.ts);
    out->seq = load_relaxed(d.info.seq);
    out->frameType = load_relaxed(d.info.frameType);
    return true;
}

// The distance from a payload forward to the writer's next slot:
// (writeOffset + region size - shm_offset) mod region size, unsigned 32-bit.
inline uint32_t wait_read_size(const Channel &ch, uint32_t shm_offset) {
    // Pairs with publish(ctrl.writeOffset, W'): the evictions made for the
    // slot ending at W' are seen by this step's later loads and re-check.
    const uint32_t w = observe(ch.ctrl->writeOffset);
    return (w + ch.region_size - shm_offset) % ch.region_size;
}

enum class Deliver {
    kFrame,     // payload to buffer, FrameInfo to info, index to *bdIndex
    kInfoOnly,  // FrameInfo only; buffer and *bdIndex are left alone
};

// What the read-out of a chosen descriptor found.  Only kRead hands the
// caller a frame; the readers return -1 for every other outcome.
enum class Readout {
    kRead,     // payload and FrameInfo copied, both from one put; index stored
    kRefused,  // framesize outside 5..0x60000 or above bufferSize: nothing written
    kDamaged,  // offset outside the region, or payload reaching its end: nothing
               // copied (level-2 line); the descriptor stays damaged until refilled
    kRaced,    // the writer changed the descriptor during the copy (level-2 line):
               // buffer and info hold bytes that are no frame
};

// The read-out of a chosen descriptor.  The index goes to *bdIndex only on
// kRead with Deliver::kFrame; what a failure does to a cursor is the
// caller's to decide.
Readout read_out(const Channel &ch, const char *name, const ReadoutForms &forms,
                 const Candidate &c, Deliver what, uint8_t *buffer, uint32_t bufferSize,
                 int *bdIndex, FrameInfo *info);

#ifdef MEDIA_RING_TEST_SEAMS
// Test builds only: called by read_out between the copy and the re-check, so
// a test can change the descriptor exactly where a racing writer would.
extern void (*g_readout_after_copy)(const Channel &ch, uint32_t index);
#endif

}  // namespace media_ring

#endif  // MEDIA_RING_RING_READOUT_H

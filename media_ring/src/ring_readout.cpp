// ring_readout.cpp - the reader's entry steps, its guarded loads and the
// read-out shared by every frame reader.
//
// Acquire side of the writer's store order (pairs named in ring_atomic.h):
//   observe(bd.valid)          <- publish(bd.valid, 1): the descriptor's
//                                 fields and payload, stored before, are seen;
//   observe(ctrl.curBDIndex)   <- publish(ctrl.curBDIndex, K'): the table up to
//                                 K' - 1 is filled;
//   observe(ctrl.lastBDIndex)  <- publish(ctrl.lastBDIndex, I'): the oldest
//                                 end as the writer moved it;
//   observe(ctrl.writeOffset)  <- publish(ctrl.writeOffset, W'): every eviction
//                                 made for the slot before W' is seen;
//   observe(bd.generation)     <- publish(bd.generation, even): the clear it
//                                 ends is seen whole;
//   acquire fence after the copy <- the writer's release fence in
//                                 begin_change (and after its evictions): a
//                                 copy that read any byte the writer stored
//                                 after making the generation odd is followed
//                                 by a second load of the generation that
//                                 sees it moved, so the read fails.
//
// A read-out hands back a frame only when payload and FrameInfo come from
// one put.  Otherwise it reports why, and the reader returns -1.
#include "ring_readout.h"

#include <atomic>
#include <cstring>

#include "ring_atomic.h"

namespace media_ring {
namespace {

constexpr const char *kIndexError = "%s: ch %d, %s %d >= %d error \n";

bool checked_index(const Channel &ch, const char *name, const char *field, uint32_t value) {
    if (value < kBDCount) return true;
    report_bad_index(ch, name, field, value);
    return false;
}

}  // namespace

void report_bad_index(const Channel &ch, const char *name, const char *field, uint32_t value) {
    media_printf(2, kIndexError, name, ch.number, field, static_cast<int>(value),
                 static_cast<int>(kBDCount));
}

bool enter_reader(int channel, const char *name, const char *empty_form, Channel *ch,
                  uint32_t *last, uint32_t *cur) {
    if (!enter_channel(channel, 0, ch)) return false;
    const uint32_t l = observe(ch->ctrl->lastBDIndex);  // pairs with publish(ctrl.lastBDIndex)
    const uint32_t c = observe(ch->ctrl->curBDIndex);   // pairs with publish(ctrl.curBDIndex)
    if (l == c) {
        media_printf(7, empty_form, name, channel);
        return false;
    }
    if (!checked_index(*ch, name, "lastBDIndex", l) || !checked_index(*ch, name, "curBDIndex", c))
        return false;
    *last = l;
    *cur = c;
    return true;
}

#ifdef MEDIA_RING_TEST_SEAMS
void (*g_readout_after_copy)(const Channel &ch, uint32_t index) = nullptr;
#endif

Readout read_out(const Channel &ch, const char *name, const ReadoutForms &forms,
                 const Candidate &c, Deliver what, uint8_t *buffer, uint32_t bufferSize,
                 int *bdIndex, FrameInfo *info) {
    const uint32_t region = ch.region_size;
    const int i = static_cast<int>(c.index);
    if (c.shm_offset >= region) {
        media_printf(2, "%s: ch %d, bdindex %3d, shm_offset 0x%6x >= 0x%6x error \n", name,
                     ch.number, i, c.shm_offset, region);
        return Readout::kDamaged;
    }
    if (c.framesize > kReadMaxFrame || c.framesize < kReadMinFrame || c.framesize > bufferSize) {
        media_printf(2, forms.size, name, ch.number, i, c.framesize, kReadMaxFrame, bufferSize,
                     kReadMinFrame);
        return Readout::kRefused;
    }
    if (c.shm_offset + c.framesize >= region) {
        // No overflow: shm_offset < region <= 0x200000 and framesize <= 0x60000.
        if (forms.bounds_long) {
            media_printf(
                2, forms.bounds, name, ch.number, i, static_cast<unsigned long>(c.shm_offset),
                static_cast<unsigned long>(c.framesize), static_cast<unsigned long>(region));
        } else {
            media_printf(2, forms.bounds, name, ch.number, i, c.shm_offset, c.framesize, region);
        }
        return Readout::kDamaged;
    }

    FrameBD &d = ch.ctrl->bd[c.index];
    // [shm_offset, shm_offset + framesize) lies inside the region (tests above).
    if (what == Deliver::kFrame) std::memcpy(buffer, ch.data + c.shm_offset, c.framesize);
    std::memcpy(info, &d.info, sizeof(FrameInfo));
#ifdef MEDIA_RING_TEST_SEAMS
    if (g_readout_after_copy != nullptr) g_readout_after_copy(ch, c.index);
#endif
    // Orders the second load of the generation and the re-check after the
    // copies; pairs with the writer's release fence in begin_change (and,
    // for a producer that never moves the generation, with its release fence
    // after its evictions).
    std::atomic_thread_fence(std::memory_order_acquire);
    // The frame may have been evicted (valid 0) or evicted and refilled with
    // another frame (valid 1 again) while it was copied.  The generation
    // catches every such change; the fields catch it on a ring whose producer
    // never moves the generation.
    const bool same = load_relaxed(d.generation) == c.generation && load_relaxed(d.valid) == 1 &&
                      load_relaxed(d.shm_offset) == c.shm_offset &&
                      load_relaxed(d.info.framesize) == c.framesize &&
                      load_relaxed(d.info.ts) == c.ts && load_relaxed(d.info.seq) == c.seq;
    if (!same) {
        media_printf(2, "%s: ch %d, bdindex %3d, offset 0x%6x, after read set to invalid error \n",
                     name, ch.number, i, c.shm_offset);
        return Readout::kRaced;
    }
    if (what == Deliver::kFrame) *bdIndex = i;
    media_printf(7, forms.read, name, ch.number, i, c.shm_offset, c.framesize);
    return Readout::kRead;
}

}  // namespace media_ring

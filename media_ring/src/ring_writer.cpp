// ring_writer.cpp - MediaDataPut, the frame writer.
//
// A put of L bytes claims the slot at writeOffset W: 64 bytes left as they
// are, the payload at W + 64, then filler up to a multiple of 4.  For room the
// slot is reckoned as the window [W, W + L + 68).  Before writing, the writer
// evicts, oldest first, the frames whose payloads meet that window; a window
// that would pass the region's end first evicts the frames in the region's
// tail and starts again at offset 0.
//
// Store order within one put (readers take no lock and rely on it):
//   1. each eviction: lastBDIndex advanced (release), then the descriptor
//      cleared: its generation made odd and a release fence, valid = 0 and
//      the rest zeroed, the generation made even (release); one release
//      fence after the last eviction keeps every zeroing ahead of the
//      payload bytes that overwrite its frame (for readers that predate the
//      generation);
//   2. the payload bytes;
//   3. the descriptor's record, offset, size, isVideo, seq (and on a video I
//      frame newestIFrameTs), then valid = 1 (release) as its last store: a
//      fill needs no generation of its own, as valid goes from 0 to 1 only
//      there, and nothing of a live frame changes until its clear;
//   4. writeOffset (release), then curBDIndex (release);
//   5. full table: descriptor K' cleared as in 1, a release fence (its
//      payload is overwritten by a later put), then lastBDIndex advanced
//      (release);
//   6. the put counted in the wake word (release RMW), and the readers
//      sleeping on it woken, if any.
// Release stores keep both the compiler and a weakly ordered ARM core from
// making a later store visible before the earlier ones.
//
// No allocation, and no system call unless a reader sleeps on the channel:
// levels 6 and 7 cost a level test.
#include <atomic>
#include <cstddef>
#include <cstring>

#include "ring_atomic.h"
#include "ring_internal.h"

extern "C" {
MEDIA_RING_VISIBLE uint16_t g_frame_seq[media_ring::kChannelCount] = {};
}

namespace media_ring {
namespace {

constexpr const char *kPut = "MediaDataPut";

// The writer's half of the descriptor's seqlock, around each clear.
// begin_change makes the generation odd and fences, so no store that
// follows (the zeroing, a refill, the payload bytes written over the
// cleared frame) is seen without it; end_change publishes the even value
// after the zeroing.  Only this process writes the word, so
// its own relaxed load is exact.
uint16_t begin_change(FrameBD &d) {
    const uint16_t g = static_cast<uint16_t>(load_relaxed(d.generation) | 1u);
    store_relaxed(d.generation, g);
    // Pairs with the reader's acquire fence before its second load of the
    // generation in read_out.
    std::atomic_thread_fence(std::memory_order_release);
    return g;
}

void end_change(FrameBD &d, uint16_t odd) {
    publish(d.generation, static_cast<uint16_t>(odd + 1));  // pairs with observe(bd.generation)
}

// Zeroes every byte but the generation, valid first.
void clear_descriptor(FrameBD &d) {
    const uint16_t g = begin_change(d);
    store_relaxed(d.valid, uint8_t{0});
    d.isVideo = 0;
    std::memset(reinterpret_cast<unsigned char *>(&d) + offsetof(FrameBD, shm_offset), 0,
                sizeof(FrameBD) - offsetof(FrameBD, shm_offset));
    end_change(d, g);
}

// Evicts, from index `i` on, the run of oldest frames whose payloads meet
// [lo, hi).  Stops at the descriptor about to be filled, at a free one, or at
// the first that does not overlap, even if a later one would.  All
// comparisons are unsigned 32-bit.  Returns the eviction cursor, which is the
// channel's lastBDIndex as the pass leaves it.
uint32_t evict(const Channel &ch, uint32_t lo, uint32_t hi, uint32_t i, uint32_t fill,
               bool *evicted) {
    ChannelCtrl &c = *ch.ctrl;
    while (i != fill) {
        FrameBD &d = c.bd[i];
        if (d.valid != 1) break;
        const uint32_t off = d.shm_offset;
        const uint32_t size = d.info.framesize;
        if (off + size <= lo) break;
        if (hi <= off) break;
        const uint32_t next = next_index(i);
        publish(c.lastBDIndex, static_cast<uint16_t>(next));
        media_printf(7,
                     "%s: ch %d, new 0x%6x~0x%6x, old 0x%6x~0x%6x(size 0x%6x), clean bdIndex %3d , "
                     "lastBDIndex %3d \n",
                     kPut, ch.number, lo, hi, off, off + size, size, i, next);
        clear_descriptor(d);
        *evicted = true;
        i = next;
    }
    return i;
}

}  // namespace
}  // namespace media_ring

using namespace media_ring;

MEDIA_RING_EXPORT int MediaDataPut(int channel, const uint8_t *data, uint32_t length,
                                   const FrameInfo *info) {
    Channel ch;
    if (!enter_channel(channel, 1, &ch)) return -1;
    const uint32_t region = ch.region_size;
    if (length > region - kSlotReckon || info == nullptr || (data == nullptr && length != 0)) {
        // Such a slot cannot fit even an empty region; refuse it before
        // anything in the ring changes.
        media_printf(3, "%s: ch %d, size 0x%x > max 0x%x or no frame, fail!!!\n", kPut, channel,
                     length, region - kSlotReckon);
        return -1;
    }
    if (length > largest_frame(channel)) {
        // Stored, it could never be read, and it would put the frames before
        // it out of every reader's reach: refuse it with nothing changed.
        media_printf(3, "%s: ch %d, size 0x%x > max readable 0x%x, fail!!!\n", kPut, channel,
                     length, largest_frame(channel));
        return -1;
    }
    ChannelCtrl &c = *ch.ctrl;

    // The channel's own fields: only this process writes them.
    uint32_t w = c.writeOffset;
    uint32_t fill = c.curBDIndex;
    uint32_t oldest = c.lastBDIndex;
    if (fill >= kBDCount || oldest >= kBDCount || w > region) {
        // A damaged control block: keep every store inside the ring.  A
        // writeOffset past the region forces a wrap.
        media_printf(2, "%s: ch %d, lastBDIndex %d curBDIndex %d writeOffset 0x%x error \n", kPut,
                     channel, oldest, fill, w);
        fill %= kBDCount;
        oldest %= kBDCount;
        if (w > region) w = region;
        publish(c.lastBDIndex, static_cast<uint16_t>(oldest));
    }

    bool evicted = false;
    if (w + length + kSlotReckon > region) {
        media_printf(6, "%s: ch %d, 0x%6x > 0x%6x, need 0x%6x > left 0x%6x, change to begin...\n",
                     kPut, channel, w + length + kSlotReckon, region, length + kSlotReckon,
                     region - w);
        oldest = evict(ch, w, w + length + kSlotReckon, oldest, fill, &evicted);
        w = 0;
        media_printf(6, "%s: ch %d, lastBDIndex %3d \n", kPut, channel, oldest);
    }
    oldest = evict(ch, w, w + length + kSlotReckon, oldest, fill, &evicted);
    // Pairs with the reader's acquire fence before its re-check of valid: a
    // reader that copied any byte written below also sees its frame cleared.
    if (evicted) std::atomic_thread_fence(std::memory_order_release);

    FrameBD &d = c.bd[fill];
    if (length != 0) std::memcpy(ch.data + w + kSlotHeader, data, length);

    std::memcpy(&d.info, info, sizeof(FrameInfo));
    d.shm_offset = w + kSlotHeader;
    d.info.framesize = length;
    if (MediaDataIsAudioChannel(channel)) {
        d.isVideo = 0;
    } else {
        d.isVideo = 1;
        d.info.seq = g_frame_seq[channel]++;
        if (d.info.frameType == MEDIA_FRAME_I) {
            store_relaxed(c.newestIFrameTs, info->ts);
            media_printf(7, "%s: ch %d, newestIFrameTs 0x%x \n", kPut, channel, info->ts);
        }
    }
    publish(d.valid, uint8_t{1});  // pairs with observe(bd.valid)

    const uint32_t next_w = (w + kSlotHeader + length + 3) & ~3u;
    publish(c.writeOffset, next_w);
    const uint32_t next_fill = next_index(fill);
    publish(c.curBDIndex, static_cast<uint16_t>(next_fill));

    if (oldest == next_fill) {
        // Full table: drop the oldest frame although its payload was not
        // overwritten, so bd[curBDIndex] stays clear.  Zeroing first, then the
        // index (release orders the zeroing before it).
        clear_descriptor(c.bd[next_fill]);
        // Its payload is overwritten by a later put that may evict nothing:
        // fence here, so that overwrite cannot be seen before this zeroing.
        std::atomic_thread_fence(std::memory_order_release);
        oldest = next_index(next_fill);
        publish(c.lastBDIndex, static_cast<uint16_t>(oldest));
    }
    media_printf(7, "%s: ch %d, size 0x%6x, Offset 0x%6x, lastBDIndex %3d, curBDIndex %3d \n", kPut,
                 channel, length, next_w, oldest, next_fill);
    announce_put(c);
    return 0;
}

// ring_next.cpp - sequential reading: the next-frame walk and the newest
// I frame's timestamp.
//
// The caller owns the position (its bdIndex).  The walk examines the
// descriptors after it up to and including the one at curBDIndex, which is
// re-read (acquire) before every step; the first valid one is the next frame.
// Passed-over descriptors (cleared by eviction, or not yet published) are
// counted and bound the walk.  A next frame outside the half-region window
// means the reader has fallen behind the writer: it is moved to the newest
// SPS (video) or the newest frame (audio) by the newest-first search.
//
// A next frame that cannot be read fails (-1), and the cursor moves so that
// the reader never stalls on it and never goes back:
//  - damaged (payload offset outside the region, or reaching its end):
//    *bdIndex becomes its index, so the next call goes on past it;
//  - raced (the writer changed it during the copy): *bdIndex becomes the
//    index just before it, so the next call looks at it again.  Evicted, it
//    is passed over like any evicted position, and the reader, which has
//    fallen behind, reads the oldest frame still within the window or is
//    moved to the newest SPS (audio: frame); refilled, it is read.
// Both hold for the info-only walk too, whose cursor otherwise stays.
#include "ring_atomic.h"
#include "ring_readout.h"

namespace media_ring {
namespace {

int next_walk(const char *name, Deliver what, int channel, uint8_t *buffer, uint32_t bufferSize,
              int *bdIndex, FrameInfo *info) {
    Channel ch;
    uint32_t last, cur;
    if (!enter_reader(channel, name, "%s: ch %d, media data empty!\n", &ch, &last, &cur)) return -1;
    const int position = *bdIndex;
    if (position < 0) {
        // Not an index any reader returned; refuse rather than guess one.
        media_printf(3, "%s: ch %d, bdIndex %d < 0 fail\n", name, channel, position);
        return -1;
    }
    const uint32_t half = ch.region_size / 2;
    uint32_t i = static_cast<uint32_t>(position) % kBDCount;
    uint32_t searchCnt = 0;
    for (;;) {
        if (!load_cur_index(ch, name, &cur)) return -1;
        if (i == cur) break;
        i = next_index(i);
        Candidate c;
        if (!load_candidate(ch, i, &c)) {
            if (++searchCnt > kSearchCountLimit) {
                media_printf(4, "%s: searchCnt too big, ch %d fail\n", name, channel);
                return -1;
            }
            continue;
        }
        // The frame at curBDIndex is one whose put is still being published:
        // valid is set, but writeOffset may not count it yet, and against the
        // old writeOffset it would seem a whole region behind (region - 64)
        // and send the reader back to an older SPS.  Its slot ends where the
        // writer's next writeOffset will be; measure it against that.
        const uint32_t wait = i == cur ? ((c.shm_offset + c.framesize + 3) & ~3u) - c.shm_offset
                                       : wait_read_size(ch, c.shm_offset);
        if (wait > half) {
            media_printf(4,
                         "%s: ch %d, read(bdindex %3d) too slow, force to NewFrame, maybe error!\n",
                         name, channel, static_cast<int>(i));
            if (MediaDataIsAudioChannel(channel))
                return MediaDataAudioGetNewFrame(channel, buffer, bufferSize, bdIndex, info);
            return MediaDataVideoGetNewSPSFrame(channel, buffer, bufferSize, bdIndex, info);
        }
        switch (read_out(ch, name, kNextForms, c, what, buffer, bufferSize, bdIndex, info)) {
            case Readout::kRead:
                return 0;
            case Readout::kRefused:
                return -1;
            case Readout::kDamaged:
                *bdIndex = static_cast<int>(i);
                return -1;
            case Readout::kRaced:
                *bdIndex = static_cast<int>(prev_index(i));
                return -1;
        }
        return -1;
    }
    const uint32_t last_now =
        observe(ch.ctrl->lastBDIndex);  // pairs with publish(ctrl.lastBDIndex)
    media_printf(5, "%s: ch %d no new bd, sope %3d~%3d \n", name, channel,
                 static_cast<int>(last_now), static_cast<int>(cur));
    return -1;
}

}  // namespace
}  // namespace media_ring

using namespace media_ring;

MEDIA_RING_EXPORT int MediaDataGetNextFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                            int *bdIndex, FrameInfo *info) {
    return next_walk("MediaDataGetNextFrame", Deliver::kFrame, channel, buffer, bufferSize, bdIndex,
                     info);
}

MEDIA_RING_EXPORT int MediaDataGetNextVideoFrameType(int channel, uint8_t *buffer,
                                                     uint32_t bufferSize, int *bdIndex,
                                                     FrameInfo *info) {
    return next_walk("MediaDataGetNextVideoFrameType", Deliver::kInfoOnly, channel, buffer,
                     bufferSize, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetNewestIFrameTs(uint32_t channel, uint32_t *ts) {
    constexpr const char *name = "MediaDataVideoGetNewestIFrameTs";
    if (g_media_shm == nullptr) {
        // Needs a ring that an earlier operation mapped; this query never maps.
        media_printf(3, "%s: ch %d, media ring not mapped, fail\n", name,
                     static_cast<int>(channel));
        return -1;
    }
    // One 32-bit word the writer stores without ordering anything after it;
    // a single-copy-atomic load is all it needs.
    if (channel < static_cast<uint32_t>(kChannelCount)) {
        *ts = load_relaxed(channel_ctrl(g_media_shm, static_cast<int>(channel))->newestIFrameTs);
        media_printf(7, "%s: ch %d, newestIFrameTs 0x%x!\n", name, static_cast<int>(channel), *ts);
        return 0;
    }
    *ts = load_relaxed(channel_ctrl(g_media_shm, 0)->newestIFrameTs);
    media_printf(3, "%s: ch %d error, return main chn newestIFrameTs 0x%x!\n", name,
                 static_cast<int>(channel), *ts);
    return -1;
}

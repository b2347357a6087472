// ring_search.cpp - the searches: the oldest or newest live frame of a type,
// and the oldest live frame at or after a timestamp (as a plain unsigned
// number, or on the millisecond clock that wraps every 2^32 ms).
//
// Both walks examine exactly the live descriptors while the writer keeps
// still: oldest-first from lastBDIndex up to, not including, curBDIndex;
// newest-first from the one before curBDIndex back to lastBDIndex inclusive.
// The stop index is re-read (acquire) before every step, so a channel that
// grows or sheds frames during the search is followed; searchCnt bounds the
// walk when the stop index keeps moving.  A candidate is read only while its
// waitReadSize is at most half its region, away from the frames the writer's
// next slots will cover first.
#include "ring_atomic.h"
#include "ring_readout.h"

namespace media_ring {
namespace {

constexpr const char *kEmpty = "%s: ch %d media data empty!\n";
constexpr const char *kNoNewBd = "%s: ch %d no new bd, sope %3d~%3d \n";
constexpr const char *kSearchCnt = "%s: searchCnt too big, ch %d fail\n";
constexpr const char *kDrop = "%s: ch %d waitReadSize 0x%6x > 0x%6x drop!\n";
constexpr const char *kVideoTsDrop =
    "%s: ch %d, frameType %d, ts 0x%x, waitReadSize 0x%6x > 0x%6x drop!\n";

enum class Oldest { kType, kAudioTs, kVideoTs, kSinceTs };

bool type_matches(const Candidate &c, int frameType) {
    return frameType == MEDIA_FRAME_ANY || static_cast<int>(c.frameType) == frameType;
}

bool matches(Oldest kind, const Candidate &c, int frameType, uint32_t ts) {
    switch (kind) {
        case Oldest::kType:
            return type_matches(c, frameType);
        case Oldest::kAudioTs:
            return c.ts >= ts;
        case Oldest::kVideoTs:
            return c.ts >= ts && static_cast<int>(c.frameType) == frameType;  // 0 no wildcard
        case Oldest::kSinceTs:
            // At or after on the wrapping 32-bit millisecond clock.
            return c.ts - ts < 0x80000000u && type_matches(c, frameType);
    }
    return false;
}

int search_oldest(Oldest kind, const char *name, int channel, uint8_t *buffer, uint32_t bufferSize,
                  int frameType, uint32_t ts, int *bdIndex, FrameInfo *info) {
    Channel ch;
    uint32_t last, cur;
    if (!enter_reader(channel, name, kEmpty, &ch, &last, &cur)) return -1;
    const uint32_t half = ch.region_size / 2;
    const ReadoutForms &forms = kind == Oldest::kType ? kTypeSearchForms : kTsSearchForms;
    uint32_t i = last;
    uint32_t searchCnt = 0;
    for (;;) {
        if (!load_cur_index(ch, name, &cur)) return -1;
        if (i == cur) break;
        Candidate c;
        if (load_candidate(ch, i, &c) && matches(kind, c, frameType, ts)) {
            const uint32_t wait = wait_read_size(ch, c.shm_offset);
            if (wait <= half) {
                if (kind == Oldest::kType) {
                    media_printf(5, "%s: ch %d, jump to bdIndex %3d, oldest frameType %d!\n", name,
                                 channel, static_cast<int>(i), frameType);
                } else if (kind == Oldest::kVideoTs) {
                    media_printf(5,
                                 "%s: ch %d, jump to bdIndex %3d, frameType %d, ts %d(need %d)!\n",
                                 name, channel, static_cast<int>(i), frameType,
                                 static_cast<int>(c.ts), static_cast<int>(ts));
                }
                return read_out(ch, name, forms, c, Deliver::kFrame, buffer, bufferSize, bdIndex,
                                info) == Readout::kRead
                           ? 0
                           : -1;
            }
            if (kind == Oldest::kVideoTs) {
                media_printf(4, kVideoTsDrop, name, channel, frameType, ts, wait, half);
            } else {
                media_printf(4, kDrop, name, channel, wait, half);
            }
        }
        i = next_index(i);
        if (++searchCnt > kSearchCountLimit) {
            media_printf(4, kSearchCnt, name, channel);
            return -1;
        }
    }
    // lastBDIndex as it stands now, only printed, so not bounded.
    const uint32_t last_now =
        observe(ch.ctrl->lastBDIndex);  // pairs with publish(ctrl.lastBDIndex)
    media_printf(3, kNoNewBd, name, channel, static_cast<int>(last_now), static_cast<int>(cur));
    return -1;
}

int search_newest(int channel, uint8_t *buffer, uint32_t bufferSize, int frameType, int *bdIndex,
                  FrameInfo *info) {
    constexpr const char *name = "_MediaDataGetNewFrame";
    Channel ch;
    uint32_t last, cur;
    if (!enter_reader(channel, name, kEmpty, &ch, &last, &cur)) return -1;
    const uint32_t half = ch.region_size / 2;
    uint32_t i = prev_index(cur);
    uint32_t searchCnt = 0;
    for (;;) {
        Candidate c;
        if (load_candidate(ch, i, &c) && type_matches(c, frameType)) {
            const uint32_t wait = wait_read_size(ch, c.shm_offset);
            if (wait <= half) {
                media_printf(5, "%s: ch %d, jump to bdIndex %3d, newest frameType %d!\n", name,
                             channel, static_cast<int>(i), frameType);
                return read_out(ch, name, kTypeSearchForms, c, Deliver::kFrame, buffer, bufferSize,
                                bdIndex, info) == Readout::kRead
                           ? 0
                           : -1;
            }
            media_printf(4, kDrop, name, channel, wait, half);
        }
        if (!load_last_index(ch, name, &last)) return -1;
        if (i == last) break;
        i = prev_index(i);
        if (++searchCnt > kSearchCountLimit) {
            media_printf(4, kSearchCnt, name, channel);
            return -1;
        }
    }
    media_printf(3, "%s: ch %d fail\n", name, channel);
    return -1;
}

}  // namespace
}  // namespace media_ring

using namespace media_ring;

MEDIA_RING_EXPORT int _MediaDataGetOldFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                            int frameType, int *bdIndex, FrameInfo *info) {
    return search_oldest(Oldest::kType, "_MediaDataGetOldFrame", channel, buffer, bufferSize,
                         frameType, 0, bdIndex, info);
}

MEDIA_RING_EXPORT int _MediaDataGetNewFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                            int frameType, int *bdIndex, FrameInfo *info) {
    return search_newest(channel, buffer, bufferSize, frameType, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetOldIFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                                 int *bdIndex, FrameInfo *info) {
    return _MediaDataGetOldFrame(channel, buffer, bufferSize, MEDIA_FRAME_I, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetOldSPSFrame(int channel, uint8_t *buffer,
                                                   uint32_t bufferSize, int *bdIndex,
                                                   FrameInfo *info) {
    return _MediaDataGetOldFrame(channel, buffer, bufferSize, MEDIA_FRAME_SPS, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetOldPPSFrame(int channel, uint8_t *buffer,
                                                   uint32_t bufferSize, int *bdIndex,
                                                   FrameInfo *info) {
    return _MediaDataGetOldFrame(channel, buffer, bufferSize, MEDIA_FRAME_PPS, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataAudioGetOldFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                                int *bdIndex, FrameInfo *info) {
    return _MediaDataGetOldFrame(channel, buffer, bufferSize, MEDIA_FRAME_ANY, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetNewIFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                                 int *bdIndex, FrameInfo *info) {
    return _MediaDataGetNewFrame(channel, buffer, bufferSize, MEDIA_FRAME_I, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetNewSPSFrame(int channel, uint8_t *buffer,
                                                   uint32_t bufferSize, int *bdIndex,
                                                   FrameInfo *info) {
    return _MediaDataGetNewFrame(channel, buffer, bufferSize, MEDIA_FRAME_SPS, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetNewPPSFrame(int channel, uint8_t *buffer,
                                                   uint32_t bufferSize, int *bdIndex,
                                                   FrameInfo *info) {
    return _MediaDataGetNewFrame(channel, buffer, bufferSize, MEDIA_FRAME_PPS, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataAudioGetNewFrame(int channel, uint8_t *buffer, uint32_t bufferSize,
                                                int *bdIndex, FrameInfo *info) {
    return _MediaDataGetNewFrame(channel, buffer, bufferSize, MEDIA_FRAME_ANY, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataAudioGetByTs(int channel, uint8_t *buffer, uint32_t bufferSize,
                                            uint32_t ts, int *bdIndex, FrameInfo *info) {
    return search_oldest(Oldest::kAudioTs, "MediaDataAudioGetByTs", channel, buffer, bufferSize,
                         MEDIA_FRAME_ANY, ts, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataGetSinceTs(int channel, uint8_t *buffer, uint32_t bufferSize,
                                          uint32_t ts, int frameType, int *bdIndex,
                                          FrameInfo *info) {
    return search_oldest(Oldest::kSinceTs, "MediaDataGetSinceTs", channel, buffer, bufferSize,
                         frameType, ts, bdIndex, info);
}

MEDIA_RING_EXPORT int MediaDataVideoGetByTs(int channel, uint8_t *buffer, uint32_t bufferSize,
                                            uint32_t ts, int frameType, int *bdIndex,
                                            FrameInfo *info) {
    return search_oldest(Oldest::kVideoTs, "MediaDataVideoGetByTs", channel, buffer, bufferSize,
                         frameType, ts, bdIndex, info);
}

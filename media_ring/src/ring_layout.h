// ring_layout.h - the byte layout of the media ring file, declared once.
//
// Every process that maps the ring (producers, readers, the recorder, tools)
// must agree on these bytes on every compiler and CPU (x86-64 and 32-bit
// ARM), so each structure is pinned by static_asserts on its size and on the
// offset of every field.  Multi-byte fields are native (little-endian) and
// naturally aligned.
//
//   file byte 0        six ChannelCtrl blocks, channel c at c * 16016
//   file byte 96096    the data area: six channel regions (kRegions)
//   file byte 3110752  end of file
//
// Who writes what: a channel's ChannelCtrl, its descriptors and its region
// are written only by that channel's single producer (MediaDataPut).
// Readers write nothing but bit 0 of a channel's wakeWord, and only to sleep
// until a put (MediaDataWaitPut).
#ifndef MEDIA_RING_RING_LAYOUT_H
#define MEDIA_RING_RING_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "media_ring/media_ring.h"

namespace media_ring {

inline constexpr int kChannelCount = MEDIA_CH_COUNT;
inline constexpr uint32_t kBDCount = 500;           // descriptors per channel
inline constexpr uint32_t kSlotHeader = 64;         // bytes ahead of each payload, never written
inline constexpr uint32_t kSlotReckon = 68;         // a slot of L bytes is reckoned L + 68 for room
inline constexpr uint32_t kDataAreaOffset = 96096;  // six control blocks
inline constexpr uint32_t kDataAreaSize = 0x2E0000;
inline constexpr uint32_t kRingFileSize = kDataAreaOffset + kDataAreaSize;  // 3110752
inline constexpr const char *kRingPath = "/home/vexlon/view";
inline constexpr const char *kRingPathEnv = "MEDIA_RING_PATH";

// Payload sizes a reader accepts, inclusive.
inline constexpr uint32_t kReadMinFrame = 5;
inline constexpr uint32_t kReadMaxFrame = 0x60000;

// One stored frame.  32 bytes.  Filled by the writer with `valid` as its
// last store (release); zeroed, all but the generation, when the frame is
// evicted, between two steps of the generation.
struct FrameBD {
    uint8_t valid;        // 1 while live; 0 when free or cleared  [writer, release store]
    uint8_t isVideo;      // 1 on channels 0..3, 0 on 4 and 5
    uint16_t generation;  // seqlock word: odd while the writer clears this descriptor, even
                          // otherwise; +2 per clear, so it has moved whenever anything of
                          // a frame a reader saw live may have changed (a fill is
                          // published by valid, which only a fill sets).  [writer only;
                          // relaxed store to odd + release fence, release store to even]
                          // A producer built before it existed leaves it 0.
    uint32_t shm_offset;  // region-relative offset of the payload's first byte
    FrameInfo info;       // the frame's record; info.framesize is the payload length
};

// A channel's control block.  16016 bytes.  Live descriptors are
// [lastBDIndex, curBDIndex) modulo 500; bd[curBDIndex] is always clear, so at
// most 499 are live and the channel is empty when the two indices are equal.
struct ChannelCtrl {
    uint16_t lastBDIndex;     // oldest live descriptor        [writer, release store]
    uint16_t curBDIndex;      // descriptor the next put fills [writer, release store]
    uint32_t newestIFrameTs;  // ts of the newest I frame (video channels only)
    uint32_t writeOffset;     // region offset of the next slot, a multiple of 4 [writer, release]
    uint32_t wakeWord;        // bits 1..31: put count, +2 per put [writer, release RMW at
                              // the end of each put]; bit 0: a reader sleeps on the word
                              // [set by readers with a CAS, cleared by the writer before it
                              // wakes them].  The only word of the ring a reader writes.
                              // A producer built before it existed leaves it 0.
    FrameBD bd[kBDCount];
};

// A channel's slice of the data area.
struct ChannelRegion {
    uint32_t offset;  // from the start of the data area
    uint32_t size;
};

inline constexpr ChannelRegion kRegions[kChannelCount] = {
    {0x000000, 0x200000},  // 0 video, the main channel
    {0x200000, 0x080000},  // 1 video, the recorder's source
    {0x280000, 0x010000},  // 2 video
    {0x290000, 0x010000},  // 3 video
    {0x2A0000, 0x020000},  // 4 audio, the recorder's source
    {0x2C0000, 0x020000},  // 5 audio
};

static_assert(sizeof(FrameInfo) == 24);
static_assert(offsetof(FrameInfo, framesize) == 0);
static_assert(offsetof(FrameInfo, ts) == 4);
static_assert(offsetof(FrameInfo, frameType) == 8);
static_assert(offsetof(FrameInfo, framerate) == 9);
static_assert(offsetof(FrameInfo, seq) == 10);
static_assert(offsetof(FrameInfo, width) == 12);
static_assert(offsetof(FrameInfo, height) == 14);
static_assert(offsetof(FrameInfo, sec) == 16);
static_assert(offsetof(FrameInfo, aux) == 20);

static_assert(sizeof(FrameBD) == 32);
static_assert(offsetof(FrameBD, valid) == 0);
static_assert(offsetof(FrameBD, isVideo) == 1);
static_assert(offsetof(FrameBD, generation) == 2);
static_assert(offsetof(FrameBD, shm_offset) == 4);
static_assert(offsetof(FrameBD, info) == 8);

static_assert(sizeof(ChannelCtrl) == 16016);
static_assert(offsetof(ChannelCtrl, lastBDIndex) == 0);
static_assert(offsetof(ChannelCtrl, curBDIndex) == 2);
static_assert(offsetof(ChannelCtrl, newestIFrameTs) == 4);
static_assert(offsetof(ChannelCtrl, writeOffset) == 8);
static_assert(offsetof(ChannelCtrl, wakeWord) == 12);
static_assert(offsetof(ChannelCtrl, bd) == 16);

static_assert(sizeof(ChannelRegion) == 8);
static_assert(kChannelCount * sizeof(ChannelCtrl) == kDataAreaOffset);
static_assert(kRingFileSize == 3110752);
static_assert(kRegions[5].offset + kRegions[5].size == kDataAreaSize);

inline ChannelCtrl *channel_ctrl(unsigned char *shm, int channel) {
    return reinterpret_cast<ChannelCtrl *>(shm + channel * sizeof(ChannelCtrl));
}

inline unsigned char *channel_data(unsigned char *shm, int channel) {
    return shm + kDataAreaOffset + kRegions[channel].offset;
}

// The largest frame a channel takes: one that a reader can still read as
// soon as it is stored.  A reader takes a frame only while it lies within
// half the region of the writer's next slot, and a frame lies its own
// length (rounded up to 4) from it; nor does a reader take more than
// kReadMaxFrame.  A larger frame would be unreadable, and would push every
// frame before it out of the window too.
inline constexpr uint32_t largest_frame(int channel) {
    return kRegions[channel].size / 2 < kReadMaxFrame ? kRegions[channel].size / 2 : kReadMaxFrame;
}
static_assert(largest_frame(0) == 0x60000 && largest_frame(1) == 0x40000 &&
              largest_frame(2) == 0x8000 && largest_frame(4) == 0x10000);

inline constexpr uint32_t next_index(uint32_t i) {
    return i + 1 == kBDCount ? 0 : i + 1;
}
inline constexpr uint32_t prev_index(uint32_t i) {
    return i == 0 ? kBDCount - 1 : i - 1;
}

}  // namespace media_ring

#endif  // MEDIA_RING_RING_LAYOUT_H

// The frame writer: slots, eviction, wrap-around, the full table, seq and
// newestIFrameTs, refusals, and the ring's invariants after many puts.
#include <algorithm>
#include <cstring>
#include <random>

#include "ring_fixture.h"

namespace ring_test {
namespace {

using media_ring::ChannelCtrl;
using media_ring::FrameBD;

// A cleared descriptor: every byte zero but its generation, which is even
// (no change under way) and, once anything was stored there, not 0.
bool cleared(const FrameBD &d) {
    FrameBD zero{};
    zero.generation = d.generation;
    return std::memcmp(&zero, &d, sizeof d) == 0 && d.generation % 2 == 0;
}

class RingWriterTest : public RingTest {
  protected:
    void SetUp() override {
        RingTest::SetUp();
        map_ring();
    }
    // The live descriptor indices of a channel, oldest first.
    std::vector<int> live(int channel) {
        std::vector<int> out;
        for (uint32_t i = ctrl(channel).lastBDIndex; i != ctrl(channel).curBDIndex;
             i = media_ring::next_index(i))
            out.push_back(static_cast<int>(i));
        return out;
    }
    const FrameBD &bd(int channel, int i) { return ctrl(channel).bd[i]; }
};

TEST_F(RingWriterTest, FirstPutFillsDescriptorZero) {
    struct Case {
        int channel;
        uint32_t length, write_offset;
    };
    for (const Case &c : {Case{0, 100, 164}, Case{2, 0, 64}, Case{4, 1, 68}, Case{5, 5, 72}}) {
        SCOPED_TRACE(c.channel);
        FrameInfo info = frame(9);
        info.framesize = 0xDEAD;  // the producer's figure is ignored
        const std::string out = stdout_of([&] { put(c.channel, c.length, 0x33, info); });
        EXPECT_EQ(out, "");  // every message of a normal put is above the print threshold
        const ChannelCtrl &k = ctrl(c.channel);
        EXPECT_EQ(k.lastBDIndex, 0);
        EXPECT_EQ(k.curBDIndex, 1);
        EXPECT_EQ(k.writeOffset, c.write_offset);
        EXPECT_EQ(k.bd[0].valid, 1);
        EXPECT_EQ(k.bd[0].shm_offset, 64u);
        EXPECT_EQ(k.bd[0].info.framesize, c.length);
    }
}

TEST_F(RingWriterTest, WindowEndingAtTheRegionEndDoesNotWrap) {
    // Channels 2 and 3 have 64 KiB regions.  Frames of 36, 20000 and 20000
    // bytes move writeOffset to 40228; then a frame whose window ends
    // exactly at 65536 stays in place, and one byte more wraps to offset 0
    // and evicts the three frames its window [0, 25309) covers.
    for (int channel : {2, 3})
        for (uint32_t n : {36u, 20000u, 20000u}) put(channel, n, 0x01, frame(1));
    ASSERT_EQ(ctrl(2).writeOffset, 40228u);
    put(2, 65536 - 68 - 40228, 0x02, frame(2));
    EXPECT_EQ(bd(2, 3).shm_offset, 40292u);
    EXPECT_EQ(live(2), (std::vector<int>{0, 1, 2, 3}));

    put(3, 65536 - 68 - 40228 + 1, 0x02, frame(2));
    EXPECT_EQ(bd(3, 3).shm_offset, 64u);
    EXPECT_EQ(live(3), (std::vector<int>{3}));
    EXPECT_EQ(bd(3, 0).valid, 0);
}

// Channel 2 (65536 bytes), frames f0..f5; payload ranges as [start, end):
// f0 [64,20064) and f1 [20128,40128) evicted by f4's wrap, f2 [40192,60192)
// by f5; live: f3 [60256,65256) in the tail, f4 [64,30064), f5 [30128,59128).
constexpr uint32_t kWrapSizes[] = {20000, 20000, 20000, 5000, 30000, 29000};

TEST_F(RingWriterTest, WrapEvictsTheTailThenTheStartAndStopsAtTheFirstNonOverlap) {
    for (uint32_t i = 0; i < 6; ++i) put(2, kWrapSizes[i], static_cast<uint8_t>(i + 1), frame(i));
    ASSERT_EQ(live(2), (std::vector<int>{3, 4, 5}));
    ASSERT_EQ(bd(2, 3).shm_offset, 60256u);
    ASSERT_EQ(ctrl(2).writeOffset, 59128u);

    // f6 (7000 bytes) does not fit before the end: the tail pass evicts f3,
    // which ends after 59128, and stops at f4, which ends before it; the
    // pass from 0 evicts f4 and stops at f5, whose payload starts after
    // 7068.  f6 lands at 64.
    put(2, 7000, 7, frame(6));
    EXPECT_EQ(live(2), (std::vector<int>{5, 6}));
    EXPECT_EQ(bd(2, 6).shm_offset, 64u);
    EXPECT_EQ(ctrl(2).writeOffset, (64u + 7000 + 3) & ~3u);
    for (int gone : {3, 4}) EXPECT_TRUE(cleared(bd(2, gone)) && bd(2, gone).generation == 2) << gone;
    EXPECT_EQ(file_bytes(96096 + 0x280000 + 30128, 29000), payload(29000, 6));  // f5 intact
}

TEST_F(RingWriterTest, EvictionStopsAtAFreeDescriptorAndLeavesLaterOnesAlone) {
    for (uint32_t i = 0; i < 6; ++i) put(2, kWrapSizes[i], static_cast<uint8_t>(i + 1), frame(i));
    ctrl(2).bd[3].valid = 0;  // the oldest descriptor, found free
    put(2, 7000, 7, frame(6));
    // Both passes stop at once: f4 stays live although f6 covers its start.
    EXPECT_EQ(ctrl(2).lastBDIndex, 3);
    EXPECT_EQ(bd(2, 4).valid, 1);
    EXPECT_EQ(bd(2, 6).shm_offset, 64u);
}

TEST_F(RingWriterTest, FullTableDropsTheOldestAtThe500thPut) {
    for (int i = 0; i < 499; ++i) put(4, 8, 0x10, frame(i));
    EXPECT_EQ(ctrl(4).lastBDIndex, 0);
    EXPECT_EQ(ctrl(4).curBDIndex, 499);
    EXPECT_EQ(live(4).size(), 499u);

    put(4, 8, 0x11, frame(499));
    EXPECT_EQ(ctrl(4).curBDIndex, 0);
    EXPECT_EQ(ctrl(4).lastBDIndex, 1);
    EXPECT_EQ(live(4).size(), 499u);
    EXPECT_EQ(bd(4, 0).valid, 0);
    EXPECT_EQ(bd(4, 499).info.ts, 499u);

    put(4, 8, 0x12, frame(500));  // the index wraps from 499 to 0
    EXPECT_EQ(bd(4, 0).info.ts, 500u);
    EXPECT_EQ(ctrl(4).curBDIndex, 1);
    EXPECT_EQ(ctrl(4).lastBDIndex, 2);
}

TEST_F(RingWriterTest, SeqCountsPerVideoChannelAndWraps) {
    FrameInfo info = frame(0);
    info.seq = 777;
    for (int i = 0; i < 3; ++i) put(0, 4, 0, info);
    put(1, 4, 0, info);
    put(4, 4, 0, info);
    EXPECT_EQ(bd(0, 0).info.seq, 0);
    EXPECT_EQ(bd(0, 2).info.seq, 2);
    EXPECT_EQ(bd(1, 0).info.seq, 0);
    EXPECT_EQ(bd(4, 0).info.seq, 777);  // audio keeps the producer's seq
    EXPECT_EQ(bd(4, 0).isVideo, 0);
    EXPECT_EQ(bd(1, 0).isVideo, 1);

    g_frame_seq[3] = 65535;
    put(3, 4, 0, info);
    put(3, 4, 0, info);
    EXPECT_EQ(bd(3, 0).info.seq, 65535);
    EXPECT_EQ(bd(3, 1).info.seq, 0);
}

TEST_F(RingWriterTest, NewestIFrameTsFollowsVideoIFramesOnly) {
    struct Step {
        int channel;
        uint8_t type;
        uint32_t ts, expected;
    };
    const Step steps[] = {
        {1, 5, 5000, 5000}, {1, 1, 6000, 5000}, {1, 7, 7000, 5000},
        {1, 8, 7000, 5000}, {1, 5, 100, 100},  // smaller than before: still taken
        {4, 5, 9000, 0},                       // audio channels leave it alone
    };
    for (const Step &s : steps) {
        put(s.channel, 16, 0, frame(s.ts, s.type));
        EXPECT_EQ(ctrl(s.channel).newestIFrameTs, s.expected) << s.ts;
    }
}

TEST_F(RingWriterTest, RefusedPutsLeaveTheFileByteIdentical) {
    put(1, 100, 0x77, frame(1));
    const auto before = whole_file();
    const FrameInfo info = frame(2);
    const std::vector<uint8_t> big(0x80000, 1);
    struct Case {
        int channel;
        uint32_t length;
        std::string out;
    };
    const Case cases[] = {
        {6, 4, "MediaDataGetAddr: ch 6 fail!!!\n"},
        {-1, 4, "MediaDataGetAddr: ch 255 fail!!!\n"},
        {257, 4, ""},  // low eight bits say channel 1; the whole value says no channel
        {1 << 20, 4, ""},
        {1, 0x80000 - 67, "MediaDataPut: ch 1, size 0x7ffbd > max 0x7ffbc or no frame, fail!!!\n"},
        {2, 0x10000, "MediaDataPut: ch 2, size 0x10000 > max 0xffbc or no frame, fail!!!\n"},
        {1, 0x40001, "MediaDataPut: ch 1, size 0x40001 > max readable 0x40000, fail!!!\n"},
        {0, 0x60001, "MediaDataPut: ch 0, size 0x60001 > max readable 0x60000, fail!!!\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.channel);
        const std::string out =
            stdout_of([&] { EXPECT_EQ(MediaDataPut(c.channel, big.data(), c.length, &info), -1); });
        EXPECT_EQ(out, c.out);
    }
    EXPECT_EQ(MediaDataPut(1, big.data(), 4, nullptr), -1);
    EXPECT_EQ(whole_file(), before);
    // The largest readable frame is taken, and read back.
    EXPECT_EQ(MediaDataPut(4, big.data(), 0x10000, &info), 0);
    std::vector<uint8_t> back(0x10000);
    int index;
    FrameInfo got;
    EXPECT_EQ(MediaDataAudioGetNewFrame(4, back.data(), 0x10000, &index, &got), 0);
}

TEST_F(RingWriterTest, DamagedControlBlockKeepsStoresInsideTheRing) {
    put(5, 10, 1, frame(1));
    ctrl(5).curBDIndex = 0xFFFF;
    ctrl(5).lastBDIndex = 600;
    ctrl(5).writeOffset = 0xFFFFFFF0u;
    const std::string out = stdout_of([&] { put(5, 10, 2, frame(2)); });
    EXPECT_NE(out.find("error"), std::string::npos);
    EXPECT_LT(ctrl(5).curBDIndex, 500);
    EXPECT_LT(ctrl(5).lastBDIndex, 500);
    EXPECT_LE(ctrl(5).writeOffset, 0x20000u);
}

// After many puts of random sizes into every channel, the raw ring keeps its
// invariants: indices in range, bd[curBDIndex] clear, exactly the live range
// valid, live payloads inside the region, not overlapping, and intact.
TEST_F(RingWriterTest, RandomPutsKeepTheInvariants) {
    std::mt19937 rng(20261208);
    uint32_t ts = 0;
    for (int n = 0; n < 30000; ++n) {
        const int channel = static_cast<int>(rng() % 6);
        const uint32_t max = media_ring::largest_frame(channel);
        uint32_t length;
        switch (rng() % 10) {
            case 0:
                length = rng() % (max + 1);
                break;  // anything that fits
            case 1:
                length = max - rng() % 8;
                break;  // near the largest
            default:
                length = rng() % 2048;
                break;  // typical frames
        }
        FrameInfo info = frame(++ts, static_cast<uint8_t>(rng() % 9));
        info.aux = ts;
        put(channel, length, static_cast<uint8_t>(ts), info);
    }
    for (int c = 0; c < 6; ++c) {
        SCOPED_TRACE(c);
        const ChannelCtrl &k = ctrl(c);
        const uint32_t region = media_ring::kRegions[c].size;
        ASSERT_LT(k.lastBDIndex, 500);
        ASSERT_LT(k.curBDIndex, 500);
        EXPECT_EQ(k.writeOffset % 4, 0u);
        EXPECT_LE(k.writeOffset, region);
        const std::vector<int> l = live(c);
        std::vector<bool> is_live(500, false);
        for (int i : l) is_live[i] = true;
        for (int i = 0; i < 500; ++i) {
            if (!is_live[i]) {
                ASSERT_TRUE(cleared(k.bd[i])) << i;
                continue;
            }
            ASSERT_EQ(k.bd[i].valid, 1) << i;
            ASSERT_EQ(k.bd[i].generation % 2, 0) << i;  // no clear under way
            ASSERT_LE(k.bd[i].shm_offset + k.bd[i].info.framesize, region) << i;
        }
        std::vector<std::pair<uint32_t, uint32_t>> spans;
        uint32_t prev_ts = 0;
        for (int i : l) {
            const FrameBD &d = k.bd[i];
            EXPECT_GT(d.info.ts, prev_ts);  // oldest first, in put order
            prev_ts = d.info.ts;
            spans.emplace_back(d.shm_offset, d.shm_offset + d.info.framesize);
            const uint8_t *p = g_media_shm + 96096 + media_ring::kRegions[c].offset + d.shm_offset;
            const uint8_t tag = static_cast<uint8_t>(d.info.aux);
            ASSERT_TRUE(std::all_of(p, p + d.info.framesize, [&](uint8_t b) { return b == tag; }))
                << "live frame " << i << " overwritten";
        }
        std::sort(spans.begin(), spans.end());
        for (size_t i = 1; i < spans.size(); ++i)
            ASSERT_LE(spans[i - 1].second, spans[i].first) << "live payloads overlap";
    }
}

}  // namespace
}  // namespace ring_test

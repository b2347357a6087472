// The next-frame walk, its catch-up, the info-only variant, and the newest
// I frame query, over rings built by the writer.
#include <climits>

#include "reader_test.h"

namespace ring_test {
namespace {

using media_ring::FrameBD;

// Channel 1 holds five 16-byte frames (descriptors 0..4, payload k at
// 0x40 + 0x50 * k); curBDIndex is 5.
class WalkTest : public ReaderTest {
  protected:
    void SetUp() override {
        ReaderTest::SetUp();
        for (int k = 0; k < 5; ++k) put(1, 16, static_cast<uint8_t>(k), frame(10 * k, k ? 1 : 7));
    }
    static ReaderCall next(int channel = 1) {
        return [channel](uint8_t *b, uint32_t n, int *x, FrameInfo *i) {
            return MediaDataGetNextFrame(channel, b, n, x, i);
        };
    }
    static ReaderCall peek(int channel = 1) {
        return [channel](uint8_t *b, uint32_t n, int *x, FrameInfo *i) {
            return MediaDataGetNextVideoFrameType(channel, b, n, x, i);
        };
    }
};

TEST_F(WalkTest, StartsAfterTheCallersIndexModulo500) {
    const char *no_new = "MediaDataGetNextFrame: ch 1 no new bd, sope   0~  5 \n";
    const struct {
        int start, index;  // index -1: no frame
        std::vector<LogLine> log;
    } cases[] = {
        {0, 1, {}},
        {3, 4, {}},
        {4, -1, {{5, no_new}}},  // the newest was read: the clear one at curBDIndex ends it
        {5, -1, {{5, no_new}}},  // at curBDIndex: the walk does not start
        {499, 0, {}},
        {500, 1, {}},
        {1003, 4, {}},
        {-1, -1, {{3, "MediaDataGetNextFrame: ch 1, bdIndex -1 < 0 fail\n"}}},
        {INT_MIN, -1, {{3, "MediaDataGetNextFrame: ch 1, bdIndex -2147483648 < 0 fail\n"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.start);
        const Outcome o = run(next(), kBigBuffer, c.start);
        if (c.index < 0) {
            EXPECT_EQ(o.rc, -1);
            EXPECT_EQ(o.bd, c.start);
            EXPECT_TRUE(o.info_untouched() && o.buf_untouched());
            EXPECT_EQ(o.log, c.log);
            continue;
        }
        expect_frame(o, 1, c.index);
        std::vector<LogLine> printed = o.printed();
        EXPECT_EQ(printed, c.log);
    }
    put(1, 16, 9, frame(50));  // a reader that caught up gets the next put
    expect_frame(run(next(), kBigBuffer, 4), 1, 5);
}

// 520 puts of 8 bytes into channel 0: the table is full and wrapped, live
// 21..499 then 0..19.  A reader delivers each live frame once, in put order,
// across the wrap.
TEST_F(ReaderTest, WalkFollowsTheChannelAcrossTheWrap) {
    for (int k = 0; k < 520; ++k) put(0, 8, 1, frame(k, 1));
    ASSERT_EQ(ctrl(0).lastBDIndex, 21);
    int index = 21;
    uint32_t ts = 21;
    uint8_t buf[64];
    FrameInfo info;
    log_start(4);
    for (int n = 1; n < 499; ++n) {
        ASSERT_EQ(MediaDataGetNextFrame(0, buf, sizeof buf, &index, &info), 0);
        ASSERT_EQ(index, (21 + n) % 500);
        ASSERT_EQ(info.ts, ++ts);
    }
    EXPECT_EQ(MediaDataGetNextFrame(0, buf, sizeof buf, &index, &info), -1);
    EXPECT_EQ(index, 19);
    EXPECT_TRUE(log_lines().empty());
}

// The reader's next frames were evicted (cleared, lastBDIndex moved past
// them): it walks over them to the oldest live frame, here within the window.
TEST_F(WalkTest, WalkPassesOverEvictedFrames) {
    ctrl(1).lastBDIndex = 3;
    std::memset(&bd(1, 1), 0, 2 * sizeof(FrameBD));
    const Outcome o = run(next(), kBigBuffer, 0);
    expect_frame(o, 1, 3);
    EXPECT_TRUE(o.printed().empty());
}

// A reader more than half a region behind the writer is moved to the newest
// SPS (video) or the newest frame (audio), by the newest-first search.
TEST_F(ReaderTest, ReaderFallenBehindCatchesUp) {
    // Channel 2 (half 0x8000): 40 frames of 1000 bytes, an SPS every tenth.
    for (int k = 0; k < 40; ++k) put(2, 1000, static_cast<uint8_t>(k), frame(k, k % 10 ? 1 : 7));
    // Channel 4 (half 0x10000): 80 frames of 1000 bytes.
    for (int k = 0; k < 80; ++k) put(4, 1000, static_cast<uint8_t>(k), frame(k));
    const auto readers = all_frame_readers();
    const struct {
        int channel;
        const AnyReader *reader;
        int index;
        const char *slow;
        const char *jump;
    } cases[] = {
        {2, &readers[12], 30,
         "MediaDataGetNextFrame: ch 2, read(bdindex   1) too slow, force to NewFrame, maybe "
         "error!\n",
         "_MediaDataGetNewFrame: ch 2, jump to bdIndex  30, newest frameType 7!\n"},
        {2, &readers[13], 30,  // the info-only walk catches up with the same call
         "MediaDataGetNextVideoFrameType: ch 2, read(bdindex   1) too slow, force to NewFrame, "
         "maybe "
         "error!\n",
         "_MediaDataGetNewFrame: ch 2, jump to bdIndex  30, newest frameType 7!\n"},
        {4, &readers[12], 79,
         "MediaDataGetNextFrame: ch 4, read(bdindex   1) too slow, force to NewFrame, maybe "
         "error!\n",
         "_MediaDataGetNewFrame: ch 4, jump to bdIndex  79, newest frameType 0!\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.slow);
        const Outcome o = run(on(c.channel, *c.reader), kBigBuffer, 0);
        expect_frame(o, c.channel, c.index);
        ASSERT_GE(o.log.size(), 2u);
        EXPECT_EQ(o.log[0], (LogLine{4, c.slow}));
        EXPECT_EQ(o.log[1], (LogLine{5, c.jump}));
        EXPECT_EQ(o.printed().size(), 1u);
    }
}

// The writer has set valid on descriptor 5 but not yet stored writeOffset
// and curBDIndex.  The walk reads that newest frame; it must not take it for
// one a whole region behind and send the reader back to the SPS at 0.
TEST_F(WalkTest, FrameStillBeingPublishedIsReadNotCaughtUp) {
    media_ring::ChannelCtrl &c = ctrl(1);
    FrameBD &d = bd(1, 5);
    d.info = frame(50, 1);
    d.info.framesize = 16;
    d.shm_offset = c.writeOffset + 64;
    std::memset(media_ring::channel_data(g_media_shm, 1) + d.shm_offset, 5, 16);
    d.valid = 1;
    const Outcome o = run(next(), kBigBuffer, 4);
    expect_frame(o, 1, 5);
    EXPECT_TRUE(o.printed().empty());
}

TEST_F(WalkTest, InfoOnlyWalkLeavesBufferAndCursorAlone) {
    const Outcome first = run(peek(), kBigBuffer, 1);
    const Outcome again = run(peek(), kBigBuffer, 1);
    for (const Outcome *o : {&first, &again}) {
        EXPECT_EQ(o->rc, 0);
        EXPECT_EQ(o->bd, 1);
        EXPECT_TRUE(o->buf_untouched());
        EXPECT_EQ(std::memcmp(&o->info, &bd(1, 2).info, sizeof(FrameInfo)), 0);
    }
    EXPECT_EQ(
        first.log,
        (std::vector<LogLine>{{7,
                               "MediaDataGetNextVideoFrameType: ch 1, read bdindex   2, offset "
                               "0x    e0, size 0x    10 \n"}}));
    const Outcome taken = run(next(), kBigBuffer, 1);
    expect_frame(taken, 1, 2);
    EXPECT_EQ(std::memcmp(&taken.info, &first.info, sizeof(FrameInfo)), 0);

    // The size test holds though no payload is copied.
    const Outcome small = run(peek(), 15, 1);
    EXPECT_EQ(small.rc, -1);
    EXPECT_TRUE(small.info_untouched());
    EXPECT_EQ(small.printed(),
              (std::vector<LogLine>{{2,
                                     "MediaDataGetNextVideoFrameType: ch 1, bdindex   2, framesize "
                                     "0x    10 > 0x 60000/0x     f, or < 0x5 error \n"}}));
}

TEST_F(ReaderTest, NewestIFrameTsPerChannelAndForOthersChannelZeros) {
    put(0, 16, 1, frame(0x6f, 5));
    put(1, 16, 1, frame(0xde, 5));
    put(1, 16, 1, frame(0x100, 7));  // not an I frame: leaves the value
    ctrl(4).newestIFrameTs = 0x44;   // audio channels hold whatever is there
    const struct {
        uint32_t channel;
        int rc;
        uint32_t ts;
        LogLine line;
    } cases[] = {
        {0, 0, 0x6f, {7, "MediaDataVideoGetNewestIFrameTs: ch 0, newestIFrameTs 0x6f!\n"}},
        {1, 0, 0xde, {7, "MediaDataVideoGetNewestIFrameTs: ch 1, newestIFrameTs 0xde!\n"}},
        {2, 0, 0, {7, "MediaDataVideoGetNewestIFrameTs: ch 2, newestIFrameTs 0x0!\n"}},
        {4, 0, 0x44, {7, "MediaDataVideoGetNewestIFrameTs: ch 4, newestIFrameTs 0x44!\n"}},
        {6,
         -1,
         0x6f,
         {3,
          "MediaDataVideoGetNewestIFrameTs: ch 6 error, return main chn newestIFrameTs 0x6f!\n"}},
        {0xffffffffu,
         -1,
         0x6f,
         {3,
          "MediaDataVideoGetNewestIFrameTs: ch -1 error, return main chn newestIFrameTs 0x6f!\n"}},
    };
    for (const auto &c : cases) {
        uint32_t ts = 12345;
        log_start();
        EXPECT_EQ(MediaDataVideoGetNewestIFrameTs(c.channel, &ts), c.rc);
        EXPECT_EQ(ts, c.ts);
        EXPECT_EQ(log_lines(), std::vector<LogLine>{c.line});
    }
}

TEST_F(ReaderTest, NewestIFrameTsRefusesAnUnmappedRing) {
    forget_mapping();
    uint32_t ts = 12345;
    log_start();
    EXPECT_EQ(MediaDataVideoGetNewestIFrameTs(0, &ts), -1);
    EXPECT_EQ(ts, 12345u);
    EXPECT_EQ(g_media_shm, nullptr);  // it does not map either
    EXPECT_EQ(log_lines(),
              (std::vector<LogLine>{
                  {3, "MediaDataVideoGetNewestIFrameTs: ch 0, media ring not mapped, fail\n"}}));
}

}  // namespace
}  // namespace ring_test

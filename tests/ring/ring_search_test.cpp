// The searches and the read-out over rings built by the writer: which frame
// each search picks, the half-region window, the read-out's limits and odd
// results, the re-check after the copy, and every message with its level.
#include <algorithm>
#include <climits>

#include "reader_test.h"

namespace ring_test {
namespace {

using media_ring::FrameBD;

// Empty and invalid channels: every frame reader refuses before touching
// anything, with its own empty message or the lookup's.
TEST_F(ReaderTest, EmptyAndInvalidChannelsFailLeavingOutputsAlone) {
    struct Case {
        int channel;
        bool empty;          // else an invalid channel
        const char *lookup;  // the lookup's message for an invalid channel
    };
    const Case cases[] = {{3, true, nullptr},
                          {6, false, "MediaDataGetAddr: ch 6 fail!!!\n"},
                          {-1, false, "MediaDataGetAddr: ch 255 fail!!!\n"},
                          {257, false, nullptr}};  // passes the lookup as 1, refused whole
    put(1, 16, 1, frame(100));                     // channel 257 & 0xFF is not empty
    for (const Case &c : cases) {
        for (const AnyReader &r : all_frame_readers()) {
            SCOPED_TRACE(std::string(r.reports_as) + " ch " + std::to_string(c.channel));
            const Outcome o = run(on(c.channel, r), 64);
            EXPECT_EQ(o.rc, -1);
            EXPECT_EQ(o.bd, kBdSentinel);
            EXPECT_TRUE(o.info_untouched());
            EXPECT_TRUE(o.buf_untouched());
            std::vector<LogLine> want;
            if (c.empty) {
                const bool next = std::string(r.reports_as).rfind("MediaDataGetNext", 0) == 0;
                want.push_back({7, std::string(r.reports_as) + (next ? ": ch 3, " : ": ch 3 ") +
                                       "media data empty!\n"});
            } else if (c.lookup) {
                want.push_back({3, c.lookup});
            }
            EXPECT_EQ(o.log, want);
        }
    }
}

TEST_F(ReaderTest, FirstReaderMapsTheRingAsAReader) {
    forget_mapping();
    const Outcome o = run(on(4, all_frame_readers()[9]));
    EXPECT_EQ(o.rc, -1);  // a fresh ring: empty
    ASSERT_NE(g_media_shm, nullptr);
    ASSERT_EQ(o.log.size(), 2u);
    EXPECT_EQ(o.log[0].level, 4u);
    EXPECT_NE(o.log[0].text.find("mode=0, try 1"), std::string::npos) << o.log[0].text;
    EXPECT_EQ(o.log[1], (LogLine{7, "_MediaDataGetNewFrame: ch 4 media data empty!\n"}));
}

// Channel 1: SPS PPS I P P SPS PPS I P and one frame of type 0; ts 100..1000,
// 16 bytes each, so frame k's payload lies at 0x40 + 0x50 * k.
class GopTest : public ReaderTest {
  protected:
    void SetUp() override {
        ReaderTest::SetUp();
        const uint8_t types[] = {7, 8, 5, 1, 1, 7, 8, 5, 1, 0};
        for (int k = 0; k < 10; ++k)
            put(1, 16, static_cast<uint8_t>(k), frame(100 * (k + 1), types[k]));
    }
};

TEST_F(GopTest, EachSearchPicksItsFrameAndSaysSo) {
    using B = uint8_t *;
    using I = FrameInfo *;
    struct Case {
        const char *label;
        ReaderCall call;
        int index;
        std::vector<LogLine> log;
    };
    const char *old_jump = "_MediaDataGetOldFrame: ch 1, jump to bdIndex ";
    const char *new_jump = "_MediaDataGetNewFrame: ch 1, jump to bdIndex ";
    const char *old_read = "_MediaDataGetOldFrame: ch 1, read bdindex ";
    const char *new_read = "_MediaDataGetNewFrame: ch 1, read bdindex ";
    const char *video_ts = "MediaDataVideoGetByTs: ch 1, ";
    const auto s = [](const char *a, const char *b) { return std::string(a) + b; };
    const Case cases[] = {
        {"old I",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetOldIFrame(1, b, n, x, i); },
         2,
         {{5, s(old_jump, "  2, oldest frameType 5!\n")},
          {7, s(old_read, "  2, offset 0x    e0, size 0x    10 \n")}}},
        {"old SPS",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetOldSPSFrame(1, b, n, x, i); },
         0,
         {{5, s(old_jump, "  0, oldest frameType 7!\n")},
          {7, s(old_read, "  0, offset 0x    40, size 0x    10 \n")}}},
        {"old PPS",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetOldPPSFrame(1, b, n, x, i); },
         1,
         {{5, s(old_jump, "  1, oldest frameType 8!\n")},
          {7, s(old_read, "  1, offset 0x    90, size 0x    10 \n")}}},
        {"old any",
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetOldFrame(1, b, n, x, i); },
         0,
         {{5, s(old_jump, "  0, oldest frameType 0!\n")},
          {7, s(old_read, "  0, offset 0x    40, size 0x    10 \n")}}},
        {"old P",
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetOldFrame(1, b, n, 1, x, i); },
         3,
         {{5, s(old_jump, "  3, oldest frameType 1!\n")},
          {7, s(old_read, "  3, offset 0x   130, size 0x    10 \n")}}},
        {"new I",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetNewIFrame(1, b, n, x, i); },
         7,
         {{5, s(new_jump, "  7, newest frameType 5!\n")},
          {7, s(new_read, "  7, offset 0x   270, size 0x    10 \n")}}},
        {"new SPS",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetNewSPSFrame(1, b, n, x, i); },
         5,
         {{5, s(new_jump, "  5, newest frameType 7!\n")},
          {7, s(new_read, "  5, offset 0x   1d0, size 0x    10 \n")}}},
        {"new PPS",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetNewPPSFrame(1, b, n, x, i); },
         6,
         {{5, s(new_jump, "  6, newest frameType 8!\n")},
          {7, s(new_read, "  6, offset 0x   220, size 0x    10 \n")}}},
        {"new any",
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetNewFrame(1, b, n, x, i); },
         9,
         {{5, s(new_jump, "  9, newest frameType 0!\n")},
          {7, s(new_read, "  9, offset 0x   310, size 0x    10 \n")}}},
        {"new P",
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetNewFrame(1, b, n, 1, x, i); },
         8,
         {{5, s(new_jump, "  8, newest frameType 1!\n")},
          {7, s(new_read, "  8, offset 0x   2c0, size 0x    10 \n")}}},
        {"audio ts 0",
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(1, b, n, 0, x, i); },
         0,
         {{7, "MediaDataAudioGetByTs: ch 1, read bdindex   0, offset 0x    40, size 0x10 \n"}}},
        {"audio ts between",
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(1, b, n, 450, x, i); },
         4,
         {{7, "MediaDataAudioGetByTs: ch 1, read bdindex   4, offset 0x   180, size 0x10 \n"}}},
        {"audio ts equal",
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(1, b, n, 500, x, i); },
         4,
         {{7, "MediaDataAudioGetByTs: ch 1, read bdindex   4, offset 0x   180, size 0x10 \n"}}},
        {"video ts 0 I",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(1, b, n, 0, 5, x, i); },
         2,
         {{5, s(video_ts, "jump to bdIndex   2, frameType 5, ts 300(need 0)!\n")},
          {7, s(video_ts, "read bdindex   2, offset 0x    e0, size 0x10 \n")}}},
        {"video ts after I",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(1, b, n, 301, 5, x, i); },
         7,
         {{5, s(video_ts, "jump to bdIndex   7, frameType 5, ts 800(need 301)!\n")},
          {7, s(video_ts, "read bdindex   7, offset 0x   270, size 0x10 \n")}}},
        {"video ts equal SPS",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(1, b, n, 600, 7, x, i); },
         5,
         {{5, s(video_ts, "jump to bdIndex   5, frameType 7, ts 600(need 600)!\n")},
          {7, s(video_ts, "read bdindex   5, offset 0x   1d0, size 0x10 \n")}}},
        {"video type 0 is no wildcard",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(1, b, n, 0, 0, x, i); },
         9,
         {{5, s(video_ts, "jump to bdIndex   9, frameType 0, ts 1000(need 0)!\n")},
          {7, s(video_ts, "read bdindex   9, offset 0x   310, size 0x10 \n")}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const Outcome o = run(c.call);
        expect_frame(o, 1, c.index);
        EXPECT_EQ(o.buf[0], c.index);  // the tag of the k-th put
        EXPECT_EQ(o.log, c.log);
    }
}

TEST_F(GopTest, NoMatchFailsWithItsMessage) {
    using B = uint8_t *;
    using I = FrameInfo *;
    const struct {
        ReaderCall call;
        const char *text;
    } cases[] = {
        {[](B b, uint32_t n, int *x, I i) { return _MediaDataGetOldFrame(1, b, n, 3, x, i); },
         "_MediaDataGetOldFrame: ch 1 no new bd, sope   0~ 10 \n"},
        {[](B b, uint32_t n, int *x, I i) { return _MediaDataGetNewFrame(1, b, n, 3, x, i); },
         "_MediaDataGetNewFrame: ch 1 fail\n"},
        {[](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(1, b, n, 1001, x, i); },
         "MediaDataAudioGetByTs: ch 1 no new bd, sope   0~ 10 \n"},
        {[](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(1, b, n, 801, 5, x, i); },
         "MediaDataVideoGetByTs: ch 1 no new bd, sope   0~ 10 \n"},
        {[](B b, uint32_t n, int *x, I i) { return _MediaDataGetOldFrame(1, b, n, 0x107, x, i); },
         "_MediaDataGetOldFrame: ch 1 no new bd, sope   0~ 10 \n"},  // whole int, not low 8 bits
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome o = run(c.call);
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.bd, kBdSentinel);
        EXPECT_TRUE(o.info_untouched() && o.buf_untouched());
        EXPECT_EQ(o.printed(), (std::vector<LogLine>{{3, c.text}}));
    }
}

TEST_F(ReaderTest, SingleFrameAndLoneOldestSPSAreFoundBothWays) {
    put(4, 16, 1, frame(10));
    expect_frame(run(on(4, all_frame_readers()[5])), 4, 0);  // oldest, any type
    expect_frame(run(on(4, all_frame_readers()[9])), 4, 0);  // newest, any type
    put(1, 16, 1, frame(10, 7));
    put(1, 16, 2, frame(20, 1));
    put(1, 16, 3, frame(30, 1));
    expect_frame(run(on(1, all_frame_readers()[3])), 1, 0);  // oldest SPS
    expect_frame(run(on(1, all_frame_readers()[7])), 1, 0);  // newest SPS, at lastBDIndex
}

// 499 live frames and none matches: the walk ends at the far end of the live
// range, not at the search bound.
TEST_F(ReaderTest, FullTableWithoutMatchEndsAtTheLiveRange) {
    for (int k = 0; k < 499; ++k) put(0, 8, 1, frame(k, 1));
    ASSERT_EQ(ctrl(0).curBDIndex, 499);
    using B = uint8_t *;
    using I = FrameInfo *;
    const struct {
        ReaderCall call;
        const char *text;
    } cases[] = {
        {[](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetOldIFrame(0, b, n, x, i); },
         "_MediaDataGetOldFrame: ch 0 no new bd, sope   0~499 \n"},
        {[](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetNewIFrame(0, b, n, x, i); },
         "_MediaDataGetNewFrame: ch 0 fail\n"},
        {[](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(0, b, n, 0, 5, x, i); },
         "MediaDataVideoGetByTs: ch 0 no new bd, sope   0~499 \n"},
        {[](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(0, b, n, 499, x, i); },
         "MediaDataAudioGetByTs: ch 0 no new bd, sope   0~499 \n"},
    };
    for (const auto &c : cases) {
        const Outcome o = run(c.call);
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.printed(), (std::vector<LogLine>{{3, c.text}}));
    }
    // The last frame each way is still reached.
    expect_frame(
        run([](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(0, b, n, 498, x, i); }),
        0, 498);
}

// 520 puts: live 21..499 then 0..19; the SPS sits at 499 and the I frame at 0.
TEST_F(ReaderTest, SearchesWrapTheIndexBothWays) {
    for (int k = 0; k < 520; ++k) put(0, 8, 1, frame(k, k == 499 ? 7 : k == 500 ? 5 : 1));
    ASSERT_EQ(ctrl(0).lastBDIndex, 21);
    ASSERT_EQ(ctrl(0).curBDIndex, 20);
    expect_frame(run(on(0, all_frame_readers()[2])), 0, 0);    // oldest I: 499 -> 0
    expect_frame(run(on(0, all_frame_readers()[7])), 0, 499);  // newest SPS: 0 -> 499
    expect_frame(run(on(0, all_frame_readers()[3])), 0, 499);
    expect_frame(run(on(0, all_frame_readers()[6])), 0, 0);
}

// The step back from index 0 must land on 499: descriptor "500" would be the
// first 32 bytes of the next channel's control block.  Channel 1 is in use
// with lastBDIndex 257 (low byte 1, read there as valid) and a live P frame
// at bd[0] (read there as frameType 1), so a wrong step finds a "frame".
TEST_F(ReaderTest, NewestFirstStepsFromZeroTo499WithTheNextChannelInUse) {
    for (int k = 0; k < 756; ++k) put(1, 8, 2, frame(k, MEDIA_FRAME_P));
    ASSERT_EQ(ctrl(1).lastBDIndex, 257);
    using B = uint8_t *;
    using I = FrameInfo *;
    const struct {
        const char *label;
        int puts;  // into channel 0; frames from the 500th on are I frames
        ReaderCall reader;
    } cases[] = {
        {"from curBDIndex 0, any type", 500,
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetNewFrame(0, b, n, x, i); }},
        {"from curBDIndex 0, P", 500,
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetNewFrame(0, b, n, 1, x, i); }},
        {"through index 0, P", 520,
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetNewFrame(0, b, n, 1, x, i); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::memset(media_ring::channel_ctrl(g_media_shm, 0), 0, sizeof(media_ring::ChannelCtrl));
        for (int k = 0; k < c.puts; ++k)
            put(0, 8, 1, frame(k, k < 500 ? MEDIA_FRAME_P : MEDIA_FRAME_I));
        const Outcome o = run(c.reader);
        expect_frame(o, 0, 499);
        EXPECT_EQ(o.printed(), std::vector<LogLine>{});
    }
}

// Channel 2 (half region 0x8000): frame 0 (an I frame) lies exactly 0x8000
// before writeOffset, then one byte further.
TEST_F(ReaderTest, HalfRegionWindowHoldsAtItsLimitAndDropsOneBytePast) {
    put(2, 100, 1, frame(100, 5));
    put(2, 32604, 2, frame(200, 1));
    ASSERT_EQ(ctrl(2).writeOffset, 0x8040u);
    using B = uint8_t *;
    using I = FrameInfo *;
    const struct {
        uint32_t writeOffset;
        ReaderCall call;
        int rc, index;
        std::vector<LogLine> printed;
    } cases[] = {
        {0x8040,
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetOldFrame(2, b, n, 0, x, i); },
         0,
         0,
         {}},
        {0x8041,
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetOldFrame(2, b, n, 0, x, i); },
         0,
         1,
         {{4, "_MediaDataGetOldFrame: ch 2 waitReadSize 0x  8001 > 0x  8000 drop!\n"}}},
        {0x8040,
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetNewFrame(2, b, n, 5, x, i); },
         0,
         0,
         {}},
        {0x8041,
         [](B b, uint32_t n, int *x, I i) { return _MediaDataGetNewFrame(2, b, n, 5, x, i); },
         -1,
         0,
         {{4, "_MediaDataGetNewFrame: ch 2 waitReadSize 0x  8001 > 0x  8000 drop!\n"},
          {3, "_MediaDataGetNewFrame: ch 2 fail\n"}}},
        {0x8041,
         [](B b, uint32_t n, int *x, I i) { return MediaDataAudioGetByTs(2, b, n, 0, x, i); },
         0,
         1,
         {{4, "MediaDataAudioGetByTs: ch 2 waitReadSize 0x  8001 > 0x  8000 drop!\n"}}},
        {0x8041,
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(2, b, n, 0, 5, x, i); },
         -1,
         0,
         {{4,
           "MediaDataVideoGetByTs: ch 2, frameType 5, ts 0x0, waitReadSize 0x  8001 > 0x  8000 "
           "drop!\n"},
          {3, "MediaDataVideoGetByTs: ch 2 no new bd, sope   0~  2 \n"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.writeOffset);
        ctrl(2).writeOffset = c.writeOffset;
        const Outcome o = run(c.call);
        if (c.rc == 0) expect_frame(o, 2, c.index);
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.printed(), c.printed);
    }
}

struct SizeCase {
    uint32_t framesize, bufferSize;
    bool by_ts;         // MediaDataAudioGetByTs, else _MediaDataGetNewFrame
    const char *error;  // the size message, or null when the frame is read
};

class ReadOutSize : public ReaderTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ReadOutSize, AcceptsFiveTo0x60000WithinTheBuffer) {
    const SizeCase &c = GetParam();
    // A frame above 0x60000 no writer of ours stores: one from elsewhere is
    // made by enlarging a stored frame's record.
    put(0, std::min(c.framesize, media_ring::kReadMaxFrame), 3, frame(1));
    bd(0, 0).info.framesize = c.framesize;
    const Outcome o = run(
        [&](uint8_t *b, uint32_t n, int *x, FrameInfo *i) {
            return c.by_ts ? MediaDataAudioGetByTs(0, b, n, 0, x, i)
                           : _MediaDataGetNewFrame(0, b, n, 0, x, i);
        },
        c.bufferSize);
    if (c.error == nullptr) {
        expect_frame(o, 0, 0);
        EXPECT_TRUE(o.printed().empty());
    } else {
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.bd, kBdSentinel);
        EXPECT_TRUE(o.info_untouched() && o.buf_untouched());
        EXPECT_EQ(o.printed(), (std::vector<LogLine>{{2, c.error}}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ReadOutSize,
    ::testing::Values(SizeCase{0, 64, false,
                               "_MediaDataGetNewFrame: ch 0, bdindex   0, framesize 0x     0 > 0x "
                               "60000/0x    40, or < 0x5 error \n"},
                      SizeCase{4, 64, false,
                               "_MediaDataGetNewFrame: ch 0, bdindex   0, framesize 0x     4 > 0x "
                               "60000/0x    40, or < 0x5 error \n"},
                      SizeCase{4, 64, true,
                               "MediaDataAudioGetByTs: ch 0, bdindex   0, framesize 0x    4 > "
                               "0x60000/0x   40, or < 0x5 error \n"},
                      SizeCase{5, 5, false, nullptr}, SizeCase{0x60000, 0x60000, false, nullptr},
                      SizeCase{0x60001, 0x60001, false,
                               "_MediaDataGetNewFrame: ch 0, bdindex   0, framesize 0x 60001 > 0x "
                               "60000/0x 60001, or < 0x5 error \n"},
                      SizeCase{0x60001, 0x60001, true,
                               "MediaDataAudioGetByTs: ch 0, bdindex   0, framesize 0x60001 > "
                               "0x60000/0x60001, or < 0x5 error \n"},
                      SizeCase{100, 99, false,
                               "_MediaDataGetNewFrame: ch 0, bdindex   0, framesize 0x    64 > 0x "
                               "60000/0x    63, or < 0x5 error \n"},
                      SizeCase{100, 100, true, nullptr}));

// A control block holding indices of 500 or more (only damage puts them
// there) is reported and never used as an index.
TEST_F(ReaderTest, ControlBlockIndicesOutOfRangeAreRefused) {
    const auto readers = all_frame_readers();
    const struct {
        uint16_t last, cur;
        const AnyReader *reader;
        std::vector<LogLine> printed;
    } cases[] = {
        {0, 500, &readers[0], {{2, "_MediaDataGetOldFrame: ch 1, curBDIndex 500 >= 500 error \n"}}},
        {0,
         65535,
         &readers[1],
         {{2, "_MediaDataGetNewFrame: ch 1, curBDIndex 65535 >= 500 error \n"}}},
        {777,
         3,
         &readers[10],
         {{2, "MediaDataAudioGetByTs: ch 1, lastBDIndex 777 >= 500 error \n"}}},
        {0,
         1000,
         &readers[12],
         {{2, "MediaDataGetNextFrame: ch 1, curBDIndex 1000 >= 500 error \n"}}},
        {600, 600, &readers[11], {}},  // equal: empty, nothing indexed
    };
    for (int k = 0; k < 3; ++k) put(1, 16, 1, frame(k));
    for (const auto &c : cases) {
        ctrl(1).lastBDIndex = c.last;
        ctrl(1).curBDIndex = c.cur;
        const Outcome o = run(on(1, *c.reader), kBigBuffer, 0);
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.printed(), c.printed);
    }
}

}  // namespace
}  // namespace ring_test

namespace ring_test {
namespace {

// Across the wrap of the millisecond clock: frames at 2^32 - 4000, - 2000,
// then 100 and 3000 (types SPS, P, SPS, P).  The wrapping search takes the
// frames after the wrap for what they are; the plain one, as specified,
// takes every pre-wrap frame as later.
TEST_F(ReaderTest, SinceTsSearchComparesAcrossTheWrap) {
    const uint32_t ts[] = {0xFFFFF060u, 0xFFFFF830u, 100, 3000};
    const uint8_t types[] = {7, 1, 7, 1};
    for (int k = 0; k < 4; ++k) put(1, 16, static_cast<uint8_t>(k), frame(ts[k], types[k]));
    using B = uint8_t *;
    using I = FrameInfo *;
    const struct {
        uint32_t since;
        int type, index;  // index -1: nothing found
    } cases[] = {
        {0xFFFFF000u, 0, 0}, {0xFFFFF061u, 0, 1}, {0xFFFFF061u, 7, 2}, {50, 0, 2},
        {101, 0, 3},          {3001, 0, -1},      {100u - 5000u, 7, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.since);
        const Outcome o = run([&](B b, uint32_t n, int *x, I i) {
            return MediaDataGetSinceTs(1, b, n, c.since, c.type, x, i);
        });
        if (c.index < 0) {
            EXPECT_EQ(o.rc, -1);
        } else {
            expect_frame(o, 1, c.index);
        }
    }
    // The plain search: 50 lies below every pre-wrap ts, so it finds the oldest.
    const Outcome plain = run([](B b, uint32_t n, int *x, I i) {
        return MediaDataAudioGetByTs(1, b, n, 50, x, i);
    });
    expect_frame(plain, 1, 0);
}

}  // namespace
}  // namespace ring_test

// The read-out's outcomes, one table over the three kinds of reader (a
// search, the next-frame walk, the info-only walk): a frame is handed back
// with 0 only when payload and record come from one put; a damaged
// descriptor or one the writer changed during the copy fails, and the
// walks' cursor moves on.  Changes "during the copy" are made through the
// seam between the copy and the re-check that only this build has.
#include <cstring>

#include "reader_test.h"
#include "ring_readout.h"

namespace ring_test {
namespace {

using media_ring::FrameBD;

// Channel 1: SPS 0, PPS 1, I 2 (cleared), P 3 (the frame read), P 4, SPS 5,
// P 6.  The walks start at 1, so they pass over 2 to reach 3.
constexpr int kTarget = 3;
constexpr int kWalkFrom = 1;
constexpr int kRetry = kTarget - 1;  // a raced walk looks at the frame again
constexpr int kUntouched = kBdSentinel;

void (*g_during_copy)(FrameBD &) = nullptr;

void seam(const media_ring::Channel &ch, uint32_t index) {
    if (g_during_copy != nullptr) g_during_copy(ch.ctrl->bd[index]);
}

// What the writer leaves when it clears a descriptor and fills it again,
// seen from the reader: generation moved by 2, record changed.
void refill(FrameBD &d) {
    d.generation = static_cast<uint16_t>(d.generation + 2);
    d.info.ts += 1000;
}

struct Case {
    const char *label;
    void (*before)(FrameBD &);       // damage done before the call
    void (*during)(FrameBD &);       // change made between copy and re-check
    bool older_producer;             // every generation left 0
    int rc;
    int bd_search, bd_next, bd_peek;  // where each reader's bdIndex ends
    const char *line;                 // the level-2 line's tell, or null
};

const Case kCases[] = {
    {"read whole", nullptr, nullptr, false, 0, kTarget, kTarget, kUntouched, nullptr},
    {"offset outside the region", [](FrameBD &d) { d.shm_offset = 0x80000; }, nullptr, false, -1,
     kUntouched, kTarget, kTarget, "shm_offset 0x"},
    {"payload reaching the region's end",
     [](FrameBD &d) { d.shm_offset = 0x80000 - d.info.framesize; }, nullptr, false, -1, kUntouched,
     kTarget, kTarget, "+ size 0x"},
    {"evicted during the copy", nullptr,
     [](FrameBD &d) {
         const uint16_t g = static_cast<uint16_t>(d.generation + 2);
         std::memset(&d, 0, sizeof d);
         d.generation = g;
     },
     false, -1, kUntouched, kRetry, kRetry, "after read set to invalid"},
    {"refilled during the copy", nullptr, refill, false, -1, kUntouched, kRetry, kRetry,
     "after read set to invalid"},
    // The case only a weakly ordered core shows: the fields read back as
    // before, the generation says the copy raced a change.
    {"generation moved, fields alike", nullptr,
     [](FrameBD &d) { d.generation = static_cast<uint16_t>(d.generation + 2); }, false, -1,
     kUntouched, kRetry, kRetry, "after read set to invalid"},
    {"older producer, read whole", nullptr, nullptr, true, 0, kTarget, kTarget, kUntouched,
     nullptr},
    {"older producer, refilled during the copy", nullptr, [](FrameBD &d) { d.info.ts += 1000; },
     true, -1, kUntouched, kRetry, kRetry, "after read set to invalid"},
};

class ReadoutTest : public ReaderTest {
  protected:
    void TearDown() override {
        media_ring::g_readout_after_copy = nullptr;
        ReaderTest::TearDown();
    }
    void fill(const Case &c) {
        std::memset(g_media_shm, 0, media_ring::kRingFileSize);
        const uint8_t types[] = {7, 8, 5, 1, 1, 7, 1};
        for (int k = 0; k < 7; ++k) put(1, 100, static_cast<uint8_t>(k), frame(1000 + 40 * k, types[k]));
        std::memset(&bd(1, 2), 0, sizeof(FrameBD));
        if (c.older_producer)
            for (auto &d : ctrl(1).bd) d.generation = 0;
        if (c.before) c.before(bd(1, kTarget));
        g_during_copy = c.during;
        media_ring::g_readout_after_copy = seam;
    }
};

TEST_F(ReadoutTest, OnlyAFrameFromOnePutIsHandedBack) {
    using B = uint8_t *;
    using I = FrameInfo *;
    const struct {
        const char *name;
        ReaderCall call;
        int Case::*bd;
        bool copies;
    } readers[] = {
        {"search",
         [](B b, uint32_t n, int *x, I i) { return MediaDataVideoGetByTs(1, b, n, 1120, 1, x, i); },
         &Case::bd_search, true},
        {"next", [](B b, uint32_t n, int *x, I i) { return MediaDataGetNextFrame(1, b, n, x, i); },
         &Case::bd_next, true},
        {"peek",
         [](B b, uint32_t n, int *x, I i) { return MediaDataGetNextVideoFrameType(1, b, n, x, i); },
         &Case::bd_peek, false},
    };
    for (const Case &c : kCases) {
        for (const auto &r : readers) {
            SCOPED_TRACE(std::string(c.label) + " / " + r.name);
            fill(c);
            const int from = r.bd == &Case::bd_search ? kBdSentinel : kWalkFrom;
            const Outcome o = run(r.call, kBigBuffer, from);
            const int want_bd = c.*r.bd == kUntouched && from != kBdSentinel ? from : c.*r.bd;
            EXPECT_EQ(o.rc, c.rc);
            EXPECT_EQ(o.bd, want_bd);
            if (c.rc == 0) {
                const FrameBD &d = bd(1, kTarget);
                EXPECT_EQ(std::memcmp(&o.info, &d.info, sizeof(FrameInfo)), 0);
                EXPECT_EQ(o.buf[0], r.copies ? kTarget : kSentinel);
            } else if (c.during == nullptr) {
                EXPECT_TRUE(o.info_untouched() && o.buf_untouched());
            }
            const auto printed = o.printed();
            if (c.line == nullptr) {
                EXPECT_TRUE(printed.empty()) << printed.front().text;
            } else {
                ASSERT_EQ(printed.size(), 1u);
                EXPECT_EQ(printed[0].level, 2);
                EXPECT_NE(printed[0].text.find(c.line), std::string::npos) << printed[0].text;
            }
        }
    }
}

}  // namespace
}  // namespace ring_test

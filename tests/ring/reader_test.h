// reader_test.h - what the single-process reader tests share: a mapped ring,
// a record of every message, and calls whose outputs start as sentinels so a
// test sees exactly what a reader wrote.
#ifndef TESTS_RING_READER_TEST_H
#define TESTS_RING_READER_TEST_H

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "ring_fixture.h"

namespace ring_test {

inline constexpr uint8_t kSentinel = 0xEE;
inline constexpr int kBdSentinel = -7777;
inline constexpr uint32_t kBigBuffer = 0x60000;

// A reader call with every argument but the outputs bound.
using ReaderCall = std::function<int(uint8_t *buffer, uint32_t size, int *bdIndex, FrameInfo *)>;

struct Outcome {
    int rc = 0;
    int bd = kBdSentinel;
    FrameInfo info{};
    std::vector<uint8_t> buf;
    std::vector<LogLine> log;  // every message, all levels

    bool info_untouched() const {
        FrameInfo s;
        std::memset(&s, kSentinel, sizeof s);
        return std::memcmp(&s, &info, sizeof s) == 0;
    }
    bool buf_untouched() const {
        for (uint8_t b : buf)
            if (b != kSentinel) return false;
        return true;
    }
    // The lines a real log would print (levels 0..4).
    std::vector<LogLine> printed() const {
        std::vector<LogLine> out;
        for (const auto &l : log)
            if (l.level <= 4) out.push_back(l);
        return out;
    }
};

// Every frame reader with a channel argument and the five outputs; the
// searches' own argument fixed.  `reports_as` names the operation whose
// messages it prints.
struct AnyReader {
    const char *reports_as;
    std::function<int(int, uint8_t *, uint32_t, int *, FrameInfo *)> fn;
};

inline std::vector<AnyReader> all_frame_readers() {
    using B = uint8_t *;
    using I = FrameInfo *;
    return {
        {"_MediaDataGetOldFrame", [](int c, B b, uint32_t n, int *x,
                                     I i) { return _MediaDataGetOldFrame(c, b, n, 1, x, i); }},
        {"_MediaDataGetNewFrame", [](int c, B b, uint32_t n, int *x,
                                     I i) { return _MediaDataGetNewFrame(c, b, n, 1, x, i); }},
        {"_MediaDataGetOldFrame", MediaDataVideoGetOldIFrame},
        {"_MediaDataGetOldFrame", MediaDataVideoGetOldSPSFrame},
        {"_MediaDataGetOldFrame", MediaDataVideoGetOldPPSFrame},
        {"_MediaDataGetOldFrame", MediaDataAudioGetOldFrame},
        {"_MediaDataGetNewFrame", MediaDataVideoGetNewIFrame},
        {"_MediaDataGetNewFrame", MediaDataVideoGetNewSPSFrame},
        {"_MediaDataGetNewFrame", MediaDataVideoGetNewPPSFrame},
        {"_MediaDataGetNewFrame", MediaDataAudioGetNewFrame},
        {"MediaDataAudioGetByTs", [](int c, B b, uint32_t n, int *x,
                                     I i) { return MediaDataAudioGetByTs(c, b, n, 0, x, i); }},
        {"MediaDataVideoGetByTs", [](int c, B b, uint32_t n, int *x,
                                     I i) { return MediaDataVideoGetByTs(c, b, n, 0, 1, x, i); }},
        {"MediaDataGetNextFrame", MediaDataGetNextFrame},
        {"MediaDataGetNextVideoFrameType", MediaDataGetNextVideoFrameType},
    };
}

// Binds a reader to one channel.
inline ReaderCall on(int channel, const AnyReader &r) {
    return [channel, fn = r.fn](uint8_t *b, uint32_t n, int *x, FrameInfo *i) {
        return fn(channel, b, n, x, i);
    };
}

class ReaderTest : public RingTest {
  protected:
    void SetUp() override {
        RingTest::SetUp();
        map_ring();
    }

    static Outcome run(const ReaderCall &call, uint32_t size = kBigBuffer, int bd = kBdSentinel) {
        Outcome o;
        o.bd = bd;
        o.buf.assign(size, kSentinel);
        std::memset(&o.info, kSentinel, sizeof o.info);
        log_start();
        o.rc = call(o.buf.data(), size, &o.bd, &o.info);
        o.log = log_lines();
        return o;
    }

    media_ring::FrameBD &bd(int channel, int i) const { return ctrl(channel).bd[i]; }

    // The stored frame i of a channel matches what a reader handed back.
    void expect_frame(const Outcome &o, int channel, int i) const {
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.bd, i);
        const media_ring::FrameBD &d = bd(channel, i);
        EXPECT_EQ(std::memcmp(&o.info, &d.info, sizeof(FrameInfo)), 0);
        const uint8_t *payload = media_ring::channel_data(g_media_shm, channel) + d.shm_offset;
        ASSERT_LE(d.info.framesize, o.buf.size());
        EXPECT_EQ(std::memcmp(o.buf.data(), payload, d.info.framesize), 0);
    }
};

}  // namespace ring_test

#endif  // TESTS_RING_READER_TEST_H

// SPS and PPS parsing: picture sizes of real encoder output across the
// profiles' syntax branches, and bounded behaviour on truncated or random
// input.  Expected sizes are what ffprobe reports for each stream.
#include "elementary_streams/h264_params.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

namespace es = elementary_streams;

using Bytes = std::vector<uint8_t>;

struct SpsCase {
    const char *what;
    Bytes sps;
    uint16_t width, height;
    uint8_t profile, chroma_format_idc, bit_depth;
};

// x264 output; the "edited" ones are x264's SPS for that stream with the
// named syntax re-encoded bit by bit, each checked with ffprobe.
const std::vector<SpsCase> kSpsCases = {
    {"Constrained Baseline 640x360, cropped, emulation prevention",
     {0x67, 0x42, 0xc0, 0x16, 0xd9, 0x00, 0xa0, 0x2f, 0xf9, 0x70, 0x11, 0x00, 0x00,
      0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x1e, 0x0f, 0x16, 0x2e, 0x48},
     640,
     360,
     66,
     1,
     8},
    {"Main 176x144 edited to pic_order_cnt_type 1",
     {0x67, 0x4d, 0x40, 0x0b, 0xd0, 0xe4, 0x22, 0x16, 0x38, 0xa1, 0x62, 0x76, 0x02, 0x20,
      0x00, 0x00, 0x03, 0x00, 0x20, 0x00, 0x00, 0x06, 0x41, 0xe2, 0x85, 0x32, 0xc0},
     176,
     144,
     77,
     1,
     8},
    {"High 1920x1080 edited to carry scaling lists",
     {0x67, 0x64, 0x00, 0x28, 0xad, 0x91, 0x9a, 0x28, 0x7a, 0x59, 0x0a, 0xb4, 0x08, 0x46, 0x92,
      0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92,
      0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x25, 0xb2, 0x80, 0xf0, 0x04, 0x4f, 0xcb, 0x80,
      0x88, 0x00, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x03, 0x01, 0x90, 0x78, 0xc1, 0x8c, 0xb0},
     1920,
     1080,
     100,
     1,
     8},
    {"High 1920x1080 edited to 4:0:0 (cropping in luma rows)",
     {0x67, 0x64, 0x00, 0x28, 0xf3, 0x65, 0x01, 0xe0, 0x08, 0x9f, 0x97, 0x01, 0x10, 0x00,
      0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x83, 0x19, 0x60},
     1920,
     1084,
     100,
     0,
     8},
    {"High 720x576 interlaced (field macroblock pairs)",
     {0x67, 0x64, 0x00, 0x1e, 0xac, 0xd9, 0x40, 0xb4, 0x24, 0xd8, 0x08, 0x80,
      0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x19, 0x0f, 0x8a, 0x14, 0xcb},
     720,
     576,
     100,
     1,
     8},
    {"High 4:2:2 10-bit 1280x720",
     {0x67, 0x7a, 0x00, 0x1f, 0xb6, 0xcd, 0x94, 0x05, 0x00, 0x5b, 0xb0, 0x11, 0x00,
      0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x32, 0x0f, 0x18, 0x31, 0x96},
     1280,
     720,
     122,
     2,
     10},
    {"High 4:4:4 Predictive 352x288",
     {0x67, 0xf4, 0x00, 0x0d, 0x91, 0x9b, 0x28, 0x2c, 0x12, 0xd8, 0x08, 0x80,
      0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x19, 0x07, 0x8a, 0x14, 0xcb},
     352,
     288,
     244,
     3,
     8},
};

TEST(H264Sps, PictureSizeAndFormatOfEachProfileBranch) {
    for (const SpsCase &c : kSpsCases) {
        SCOPED_TRACE(c.what);
        es::SpsInfo info{};
        ASSERT_TRUE(es::parse_sps(c.sps.data(), c.sps.size(), &info));
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_EQ(info.profile_idc, c.profile);
        EXPECT_EQ(info.constraint_flags, c.sps[2]);
        EXPECT_EQ(info.level_idc, c.sps[3]);
        EXPECT_EQ(info.id, 0);
        EXPECT_EQ(info.chroma_format_idc, c.chroma_format_idc);
        EXPECT_EQ(info.bit_depth_luma, c.bit_depth);
        EXPECT_EQ(info.bit_depth_chroma, c.bit_depth);
    }
}

// Every prefix either fails or (when only the VUI is cut off) gives the
// full parse's answer; the sanitizer build checks that nothing is read
// beyond the prefix, which lives in its own exactly sized allocation.
TEST(H264Sps, TruncatedInputFailsOrAgrees) {
    for (const SpsCase &c : kSpsCases) {
        SCOPED_TRACE(c.what);
        es::SpsInfo full{};
        ASSERT_TRUE(es::parse_sps(c.sps.data(), c.sps.size(), &full));
        for (size_t n = 0; n < c.sps.size(); ++n) {
            const Bytes prefix(c.sps.begin(), c.sps.begin() + n);
            es::SpsInfo info{};
            if (es::parse_sps(prefix.data(), prefix.size(), &info)) {
                EXPECT_EQ(info.width, full.width) << n;
                EXPECT_EQ(info.height, full.height) << n;
            }
        }
        EXPECT_FALSE(es::parse_sps(c.sps.data(), 4, &full));
    }
}

TEST(H264Sps, RejectsOtherNalTypesAndOutOfRangeFields) {
    Bytes sps = kSpsCases[0].sps;
    es::SpsInfo info{};
    sps[0] = 0x68;  // a PPS header
    EXPECT_FALSE(es::parse_sps(sps.data(), sps.size(), &info));
    EXPECT_FALSE(es::parse_sps(nullptr, 25, &info));
    // seq_parameter_set_id 32: 0000 0100 001 after the level byte.
    const Bytes bad_id = {0x67, 0x42, 0xc0, 0x16, 0x04, 0x20, 0xff, 0xff, 0xff, 0xff};
    EXPECT_FALSE(es::parse_sps(bad_id.data(), bad_id.size(), &info));
    // A run of zero bits longer than any exp-Golomb code.
    const Bytes zeros = {0x67, 0x42, 0xc0, 0x16, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xff};
    EXPECT_FALSE(es::parse_sps(zeros.data(), zeros.size(), &info));
}

TEST(H264Sps, RandomBytesEndQuickly) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        Bytes b(4 + rng() % 60);
        for (uint8_t &x : b) x = static_cast<uint8_t>(rng());
        b[0] = 0x67;
        if (i % 2) b[1] = 100;  // take the high profiles' branch half the time
        es::SpsInfo info{};
        if (es::parse_sps(b.data(), b.size(), &info)) {
            EXPECT_GT(info.width, 0);
            EXPECT_GT(info.height, 0);
            EXPECT_LE(info.chroma_format_idc, 3);
        }
    }
}

TEST(H264Pps, ReadsItsIdOnly) {
    struct Case {
        Bytes pps;
        bool ok;
        uint32_t id;
    } cases[] = {
        {{0x68, 0xcb, 0x8c, 0xb2}, true, 0},    // x264: pps_id 0
        {{0x68, 0x50}, true, 1},                // 010 1...: pps_id 1
        {{0x68, 0x00, 0x80, 0x00}, true, 255},  // 0000 0000 1 0000 0000: 255
        {{0x68, 0x00, 0x40, 0x00}, false, 0},   // 511 is out of range
        {{0x68}, false, 0},
        {{0x68, 0x00}, false, 0},  // the code runs off the end
        {{0x67, 0xcb}, false, 0},  // not a PPS
    };
    for (const Case &c : cases) {
        uint32_t id = 99;
        EXPECT_EQ(es::parse_pps_id(c.pps.data(), c.pps.size(), &id), c.ok);
        if (c.ok) {
            EXPECT_EQ(id, c.id);
        }
    }
}

}  // namespace

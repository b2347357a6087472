// calc_aac_config: the AudioSpecificConfig bytes for ADTS headers, and the
// two warnings, which are printed but do not stop the computation.
#include "recorder/aac_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

const char kBadProfile[] = "Bad (reserved) 'profile': 3 in first frame of ADTS file\n";
const char kBadIndex[] = "Bad 'sampling_frequency_index' in first frame of ADTS file\n";

// An ADTS header (syncword, MPEG-4, no CRC) with the given fields.
void adts_header(unsigned profile, unsigned index, unsigned channels, uint8_t h[7]) {
    h[0] = 0xff;
    h[1] = 0xf1;
    h[2] = static_cast<uint8_t>((profile << 6) | (index << 2) | (channels >> 2));
    h[3] = static_cast<uint8_t>(((channels & 3) << 6) | 0x01);  // frame length bits follow
    h[4] = 0x2d;
    h[5] = 0x9f;
    h[6] = 0xfc;
}

std::string run(const uint8_t *frame, uint8_t config[2]) {
    testing::internal::CaptureStdout();
    calc_aac_config(frame, config);
    return testing::internal::GetCapturedStdout();
}

TEST(AacConfig, KnownHeaders) {
    struct Case {
        unsigned profile, index, channels;
        uint8_t config[2];
        std::string printed;
    } cases[] = {
        {1, 11, 1, {0x15, 0x88}, ""},  // AAC LC, 8000 Hz, mono
        {1, 3, 2, {0x11, 0x90}, ""},   // AAC LC, 48000 Hz, stereo
        {3, 4, 2, {0x22, 0x10}, kBadProfile},
        {1, 15, 1, {0x17, 0x88}, kBadIndex},
        {3, 13, 7, {0x26, 0xb8}, std::string(kBadProfile) + kBadIndex},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "profile " << c.profile << " index " << c.index);
        uint8_t h[7], config[2] = {0xaa, 0xaa};
        adts_header(c.profile, c.index, c.channels, h);
        EXPECT_EQ(run(h, config), c.printed);
        EXPECT_EQ(config[0], c.config[0]);
        EXPECT_EQ(config[1], c.config[1]);
        EXPECT_EQ(config[0] >> 3, c.profile + 1);  // a reserved profile reads 4
    }
}

TEST(AacConfig, TheFirstFrameOfTheSampleAudio) {
    const uint8_t h[7] = {0xff, 0xf1, 0x6c, 0x40, 0x2d, 0x9f, 0xfc};
    uint8_t config[2];
    EXPECT_EQ(run(h, config), "");
    EXPECT_EQ(config[0], 0x15);
    EXPECT_EQ(config[1], 0x88);
}

// Every index goes into the config as it is; only 13..15 are reported.
TEST(AacConfig, EverySamplingIndex) {
    for (unsigned index = 0; index < 16; ++index) {
        SCOPED_TRACE(index);
        uint8_t h[7], config[2];
        adts_header(1, index, 2, h);
        EXPECT_EQ(run(h, config), index >= 13 ? kBadIndex : "");
        EXPECT_EQ(((config[0] & 0x07) << 1) | (config[1] >> 7), index);
        EXPECT_EQ(config[0] >> 3, 2u);
        EXPECT_EQ((config[1] >> 3) & 0x0f, 2u);
        EXPECT_EQ(config[1] & 0x07, 0u);
    }
}

// The private bit and the bits beyond the channel configuration must not
// leak into the config.
TEST(AacConfig, IgnoresNeighbouringBits) {
    uint8_t h[7], clean[2], noisy[2];
    adts_header(1, 8, 5, h);
    run(h, clean);
    h[2] |= 0x02;  // private bit
    h[3] |= 0x3f;  // originality, home, copyright bits, frame length
    run(h, noisy);
    EXPECT_EQ(noisy[0], clean[0]);
    EXPECT_EQ(noisy[1], clean[1]);
    EXPECT_EQ((clean[1] >> 3) & 0x0f, 5u);
}

}  // namespace

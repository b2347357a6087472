// sps_size_test.cpp - the picture size read from hand-built sequence parameter
// sets over the profile, field and cropping variants, and from every
// truncation of each (run under ASan, any overread shows).  The simulated
// producer and the writer's sample descriptions both take their size from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "elementary_streams/h264_params.h"

namespace {

namespace es = elementary_streams;

// Writes an SPS bit by bit; nal() adds the trailing bits and the emulation
// prevention bytes.
struct SpsWriter {
    std::vector<bool> bits;
    void u(int n, uint32_t v) {
        while (n-- > 0) bits.push_back((v >> n) & 1);
    }
    void ue(uint32_t v) {
        int len = 0;
        while ((uint64_t{v} + 1) >> (len + 1)) ++len;
        u(len, 0);
        u(len + 1, v + 1);
    }
    void se(int32_t v) { ue(v > 0 ? 2 * v - 1 : -2 * v); }
    std::vector<uint8_t> nal() {
        u(1, 1);
        while (bits.size() % 8) u(1, 0);
        std::vector<uint8_t> out = {0x67};
        for (size_t i = 0; i < bits.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t j = 0; j < 8; ++j) byte = static_cast<uint8_t>(byte << 1 | bits[i + j]);
            if (out.size() >= 3 && out.end()[-1] == 0 && out.end()[-2] == 0 && byte <= 3)
                out.push_back(3);
            out.push_back(byte);
        }
        return out;
    }
};

struct SpsCase {
    const char *name;
    uint32_t profile, chroma;
    bool separate_planes, scaling;
    uint32_t poc_type;
    int32_t poc_offset;  // 32768: two 16-bit zero runs in a row, which must be escaped
    uint32_t width_mbs, height_units;
    bool frames_only;
    uint32_t crop_right, crop_bottom;
    int width, height;  // 0: refused
};

const SpsCase kCases[] = {
    {"baseline_1080p", 66, 1, false, false, 2, 0, 120, 68, true, 0, 4, 1920, 1080},
    {"main_poc0_uncropped", 77, 1, false, false, 0, 0, 40, 30, true, 0, 0, 640, 480},
    {"high_fields_poc1_escaped", 100, 1, false, true, 1, 32768, 120, 34, false, 0, 2, 1920, 1080},
    {"high422_crop_units", 122, 2, false, true, 0, 0, 80, 45, true, 4, 3, 1272, 717},
    {"high444_separate_planes", 244, 3, true, true, 2, 0, 40, 23, true, 3, 8, 637, 360},
    {"crop_eats_picture", 66, 1, false, false, 2, 0, 40, 23, true, 0, 184, 0, 0},
};

std::vector<uint8_t> build(const SpsCase &c) {
    SpsWriter w;
    w.u(8, c.profile);
    w.u(16, 0);  // constraint flags, level
    w.ue(0);
    if (c.profile >= 100) {
        w.ue(c.chroma);
        if (c.chroma == 3) w.u(1, c.separate_planes);
        w.ue(0);
        w.ue(2);
        w.u(1, 0);
        w.u(1, c.scaling);
        for (uint32_t i = 0; c.scaling && i < (c.chroma == 3 ? 12u : 8u); ++i) {
            w.u(1, i % 3 != 2);        // lists present, one in three absent
            if (i % 3 == 0) w.se(-8);  // next scale 0 at once: one delta only
            if (i % 3 == 1)
                for (uint32_t j = 0; j < (i < 6 ? 16u : 64u); ++j) w.se(j == 0 ? 5 : 0);
        }
    }
    w.ue(4);
    w.ue(c.poc_type);
    if (c.poc_type == 0) w.ue(2);
    if (c.poc_type == 1) {
        w.u(1, 0);
        w.se(c.poc_offset);
        w.se(c.poc_offset);
        w.ue(3);
        for (int32_t v : {1, -1, 300}) w.se(v);
    }
    w.ue(1);
    w.u(1, 0);
    w.ue(c.width_mbs - 1);
    w.ue(c.height_units - 1);
    w.u(1, c.frames_only);
    if (!c.frames_only) w.u(1, 1);
    w.u(1, 1);
    const bool crop = c.crop_right || c.crop_bottom;
    w.u(1, crop);
    for (uint32_t v : {0u, c.crop_right, 0u, c.crop_bottom})
        if (crop) w.ue(v);
    w.u(1, 0);  // no VUI
    return w.nal();
}

bool parse(const std::vector<uint8_t> &nal, size_t n, es::SpsInfo *s) {
    const std::vector<uint8_t> exact(nal.begin(), nal.begin() + n);  // ASan sees an overread
    return es::parse_sps(exact.data(), static_cast<uint32_t>(exact.size()), s);
}

TEST(SpsSize, SizesOfProfilesFieldsAndCropping) {
    for (const SpsCase &c : kCases) {
        SCOPED_TRACE(c.name);
        const auto nal = build(c);
        const uint8_t escape[] = {0, 0, 3};
        if (c.poc_offset != 0) {
            ASSERT_NE(std::search(nal.begin(), nal.end(), escape, escape + 3), nal.end());
        }
        es::SpsInfo s;
        ASSERT_EQ(parse(nal, nal.size(), &s), c.width != 0);
        if (c.width == 0) continue;
        EXPECT_EQ(s.width, c.width);
        EXPECT_EQ(s.height, c.height);
        // A cut either fails or lost only what follows the cropping fields.
        for (size_t n = 0; n < nal.size(); ++n) {
            if (parse(nal, n, &s)) {
                EXPECT_TRUE(s.width == c.width && s.height == c.height) << n;
            }
        }
    }
}

TEST(SpsSize, RefusesWhatIsNoSps) {
    const std::vector<std::vector<uint8_t>> bad = {
        {},
        {0x67},
        {0x68, 0xce, 0x38, 0x80},                    // a PPS
        {0x67, 0x42, 0, 0x1e, 0, 0, 0, 0, 0, 0, 0},  // an exp-Golomb code that never ends
    };
    for (const auto &b : bad) {
        es::SpsInfo s;
        EXPECT_FALSE(parse(b, b.size(), &s));
    }
}

}  // namespace

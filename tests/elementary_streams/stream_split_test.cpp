// Annex-B and ADTS splitting: start codes of both lengths, zeros and bytes
// that belong to no unit or frame, and the ADTS header fields and sampling
// frequencies the producer and the benchmarks take from the first frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "elementary_streams/adts.h"
#include "elementary_streams/annexb.h"

namespace {

namespace es = elementary_streams;
using Bytes = std::vector<uint8_t>;

std::vector<Bytes> nal_units(const Bytes &stream) {
    std::vector<Bytes> out;
    size_t pos = 0;
    std::span<const uint8_t> nal;
    while (es::next_nal_unit(stream, &pos, &nal)) out.emplace_back(nal.begin(), nal.end());
    EXPECT_EQ(pos, stream.size());
    return out;
}

TEST(AnnexB, SplitsIntoNalUnits) {
    const struct {
        const char *what;
        Bytes stream;
        std::vector<Bytes> units;
    } cases[] = {
        {"4- and 3-byte start codes",
         {0, 0, 0, 1, 0x67, 0xaa, 0, 0, 1, 0x68, 0xbb, 0, 0, 0, 1, 0x65, 0xcc},
         {{0x67, 0xaa}, {0x68, 0xbb}, {0x65, 0xcc}}},
        {"bytes ahead of the first start code", {0x12, 0x34, 0, 0, 1, 0x09, 0xf0}, {{0x09, 0xf0}}},
        {"trailing zeros dropped", {0, 0, 1, 0x41, 0x9a, 0, 0}, {{0x41, 0x9a}}},
        {"zeros inside a unit kept", {0, 0, 1, 0x41, 0, 0, 2, 0x9a}, {{0x41, 0, 0, 2, 0x9a}}},
        {"empty units passed over", {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1, 0x41}, {{0x41}}},
        {"01 bytes not behind 00 00", {0, 0, 1, 0x65, 1, 0, 1, 2}, {{0x65, 1, 0, 1, 2}}},
        {"no start code", {1, 0, 1, 0, 0}, {}},
        {"empty stream", {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(nal_units(c.stream), c.units);
    }
}

// An ADTS header (MPEG-4, no CRC) with the given fields.
Bytes adts(unsigned profile, unsigned index, unsigned channels, unsigned length,
           unsigned raw_blocks = 0) {
    Bytes f(length < 7 ? 7 : length, 0x5a);
    f[0] = 0xff;
    f[1] = 0xf1;
    f[2] = static_cast<uint8_t>((profile << 6) | (index << 2) | (channels >> 2));
    f[3] = static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11));
    f[4] = static_cast<uint8_t>(length >> 3);
    f[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1f);
    f[6] = static_cast<uint8_t>(0xfc | raw_blocks);
    return f;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Adts, SplitsIntoWholeFrames) {
    const Bytes a = adts(1, 11, 1, 12), b = adts(1, 11, 1, 9);
    Bytes wrong_layer = a;
    wrong_layer[1] = 0xf3;
    const struct {
        const char *what;
        Bytes stream;
        std::vector<Bytes> frames;
    } cases[] = {
        {"back to back", join({a, b, a}), {a, b, a}},
        {"bytes between frames skipped", join({{0x00, 0xff}, a, {0xff, 0xf1, 0x12}, b}), {a, b}},
        {"last frame cut short", join({a, b, Bytes(a.begin(), a.end() - 1)}), {a, b}},
        {"wrong layer", join({wrong_layer, b}), {b}},
        {"length shorter than the header", join({adts(1, 11, 1, 6), b}), {b}},
        {"less than a header", Bytes(a.begin(), a.begin() + 6), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Bytes> frames;
        size_t pos = 0;
        std::span<const uint8_t> frame;
        while (es::next_adts_frame(c.stream, &pos, &frame)) frames.emplace_back(frame.begin(), frame.end());
        EXPECT_EQ(frames, c.frames);
    }
}

TEST(Adts, HeaderFields) {
    const struct {
        unsigned profile, index, channels, length, raw_blocks;
    } cases[] = {{1, 11, 1, 7, 0}, {3, 15, 7, 8191, 3}, {0, 0, 4, 300, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "profile " << c.profile << " channels " << c.channels);
        const Bytes f = adts(c.profile, c.index, c.channels, c.length, c.raw_blocks);
        es::AdtsHeader h{};
        ASSERT_TRUE(es::parse_adts_header(f, &h));
        EXPECT_EQ(h.profile, c.profile);
        EXPECT_EQ(h.sampling_index, c.index);
        EXPECT_EQ(h.channel_config, c.channels);
        EXPECT_EQ(h.frame_length, c.length);
        EXPECT_EQ(h.raw_data_blocks, c.raw_blocks);
        EXPECT_FALSE(es::parse_adts_header(std::span(f).first(6), &h));
    }
}

TEST(Adts, SamplingFrequencies) {
    const struct {
        unsigned index;
        uint32_t hz;
    } cases[] = {{0, 96000}, {3, 48000}, {4, 44100}, {11, 8000}, {12, 7350},
                 {13, 0},    {15, 0},    {16, 0}};
    for (const auto &c : cases) EXPECT_EQ(es::adts_sampling_frequency(c.index), c.hz) << c.index;
}

}  // namespace

// The ring's byte layout as another process or CPU sees it: read back through
// the file by raw offsets, not through the structures.
#include "ring_fixture.h"

namespace ring_test {
namespace {

constexpr uint32_t kCtrl = 16016;
constexpr uint32_t kData = 96096;

class RingLayoutTest : public RingTest {};

TEST_F(RingLayoutTest, FreshFileIsSixEmptyChannelsAtFullSize) {
    map_ring();
    const auto bytes = whole_file();
    ASSERT_EQ(bytes.size(), 3110752u);
    for (uint8_t b : bytes) ASSERT_EQ(b, 0);
}

TEST_F(RingLayoutTest, PutLandsAtTheDocumentedOffsets) {
    struct Case {
        int channel;
        uint32_t region_offset;
        bool video;
    };
    const Case cases[] = {{0, 0x000000, true}, {1, 0x200000, true},  {2, 0x280000, true},
                          {3, 0x290000, true}, {4, 0x2A0000, false}, {5, 0x2C0000, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.channel);
        FrameInfo info = frame(0x11223344, 5, 0x55667788);
        info.framerate = 25;
        info.seq = 0xBEEF;
        info.width = 1280;
        info.height = 720;
        info.aux = 0xCAFEF00D;
        put(c.channel, 10, 0xA0, info);  // bd[0] at slot 0
        put(c.channel, 3, 0xB0, info);   // bd[1] at slot 76

        const uint32_t ctrl = c.channel * kCtrl;
        EXPECT_EQ(file_u16(ctrl + 0), 0);          // lastBDIndex
        EXPECT_EQ(file_u16(ctrl + 2), 2);          // curBDIndex
        EXPECT_EQ(file_u32(ctrl + 8), 76u + 68u);  // writeOffset: 64+10 -> 76, 76+64+3 -> 144
        EXPECT_EQ(file_u32(ctrl + 4), c.video ? 0x11223344u : 0u);  // newestIFrameTs

        const uint32_t bd1 = ctrl + 16 + 1 * 32;
        const auto d = file_bytes(bd1, 32);
        EXPECT_EQ(d[0], 1);                       // valid
        EXPECT_EQ(d[1], c.video ? 1 : 0);         // isVideo
        EXPECT_EQ(file_u32(bd1 + 4), 76u + 64u);  // shm_offset
        EXPECT_EQ(file_u32(bd1 + 8), 3u);         // framesize: the put's length
        EXPECT_EQ(file_u32(bd1 + 12), 0x11223344u);
        EXPECT_EQ(d[16], 5);                                  // frameType
        EXPECT_EQ(d[17], 25);                                 // framerate
        EXPECT_EQ(file_u16(bd1 + 18), c.video ? 1 : 0xBEEF);  // seq
        EXPECT_EQ(file_u16(bd1 + 20), 1280);
        EXPECT_EQ(file_u16(bd1 + 22), 720);
        EXPECT_EQ(file_u32(bd1 + 24), 0x55667788u);
        EXPECT_EQ(file_u32(bd1 + 28), 0xCAFEF00Du);

        const uint32_t region = kData + c.region_offset;
        EXPECT_EQ(file_bytes(region + 64, 10), payload(10, 0xA0));
        EXPECT_EQ(file_bytes(region + 76 + 64, 3), payload(3, 0xB0));
        // The 64 bytes ahead of each payload and the filler after it stay untouched.
        EXPECT_EQ(file_bytes(region, 64), payload(64, 0));
        EXPECT_EQ(file_bytes(region + 74, 2), payload(2, 0));
    }
}

}  // namespace
}  // namespace ring_test

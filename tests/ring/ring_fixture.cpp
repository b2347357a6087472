#include "ring_fixture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace ring_test {

void RingTest::SetUp() {
    char tmpl[] = "/tmp/ring_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/view";
    setenv(media_ring::kRingPathEnv, path_.c_str(), 1);
    forget_mapping();
    std::memset(g_frame_seq, 0, sizeof(g_frame_seq));
}

void RingTest::TearDown() {
    forget_mapping();
    unlink(path_.c_str());
    rmdir(dir_.c_str());
}

void RingTest::forget_mapping() {
    if (g_media_shm != nullptr) munmap(g_media_shm, media_ring::kRingFileSize);
    g_media_shm = nullptr;
}

void RingTest::map_ring() {
    ::testing::internal::CaptureStdout();
    const int r = MediaDataInit(1);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(r, 0);
}

std::vector<uint8_t> RingTest::file_bytes(uint32_t offset, uint32_t n) const {
    std::vector<uint8_t> out(n);
    const int fd = open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pread(fd, out.data(), n, offset), static_cast<ssize_t>(n));
    close(fd);
    return out;
}

uint32_t RingTest::file_u32(uint32_t offset) const {
    const auto b = file_bytes(offset, 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint16_t RingTest::file_u16(uint32_t offset) const {
    const auto b = file_bytes(offset, 2);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

std::vector<uint8_t> RingTest::whole_file() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> payload(uint32_t n, uint8_t tag) {
    return std::vector<uint8_t>(n, tag);
}

FrameInfo frame(uint32_t ts, uint8_t type, uint32_t sec) {
    FrameInfo f{};
    f.ts = ts;
    f.frameType = type;
    f.framerate = 15;
    f.width = 640;
    f.height = 360;
    f.sec = sec;
    f.aux = 0xA5A5A5A5u;
    return f;
}

void put(int channel, uint32_t n, uint8_t tag, const FrameInfo &info) {
    const auto p = payload(n, tag);
    ASSERT_EQ(MediaDataPut(channel, p.data(), n, &info), 0);
}

}  // namespace ring_test

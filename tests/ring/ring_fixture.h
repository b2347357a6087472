// ring_fixture.h - a fresh ring file per test, named through MEDIA_RING_PATH.
#ifndef TESTS_RING_RING_FIXTURE_H
#define TESTS_RING_RING_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "media_ring/media_ring.h"
#include "ring_internal.h"
#include "ring_layout.h"

namespace ring_test {

// Creates a private folder, points MEDIA_RING_PATH at a file in it and
// forgets this process's mapping, so the next ring operation maps afresh.
class RingTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Maps the ring now (as a writer would), silently.
    void map_ring();
    // Drops this process's mapping so the next operation maps again.
    static void forget_mapping();

    media_ring::ChannelCtrl &ctrl(int channel) const {
        return *media_ring::channel_ctrl(g_media_shm, channel);
    }
    // Reads `n` bytes of the ring file at `offset` through the file, not the structs.
    std::vector<uint8_t> file_bytes(uint32_t offset, uint32_t n) const;
    uint32_t file_u32(uint32_t offset) const;
    uint16_t file_u16(uint32_t offset) const;
    std::vector<uint8_t> whole_file() const;

    std::string dir_;
    std::string path_;
};

// A payload of `n` bytes that carries `tag` in every byte.
std::vector<uint8_t> payload(uint32_t n, uint8_t tag);

FrameInfo frame(uint32_t ts, uint8_t type = 1, uint32_t sec = 0);

// Puts `n` bytes tagged `tag`; fails the test on a non-zero result.
void put(int channel, uint32_t n, uint8_t tag, const FrameInfo &info);

// Runs `fn` and returns what it printed on standard output.
template <typename Fn>
std::string stdout_of(Fn &&fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace ring_test

#endif  // TESTS_RING_RING_FIXTURE_H

// Every reader, with random arguments, over rings whose control blocks and
// descriptor tables hold seeded random damage.  Whatever the ring holds: no
// crash, no read outside the called channel's control block and region (the
// sandbox's guard pages, and under AddressSanitizer its poisoning, make any
// such read fail the test), no write to the ring, no write past bufferSize,
// and every result one the read-out can give (reader_surface.cpp).
#include <gtest/gtest.h>

#include <cstring>

#include "ring_layout.h"
#include "reader_surface.h"

namespace ring_test {
namespace {

constexpr int kRounds = 150;
constexpr int kCallsPerChannel = 12;
// Whole channel values that name no channel; 256 and 257 pass the lookup.
constexpr int kInvalid[] = {-1, 6, 7, 255, 256, 257, 1 << 20, -2147483647 - 1};

class RingCorruption : public ::testing::TestWithParam<unsigned> {};

TEST_P(RingCorruption, ReadersStayInsideTheirChannelWhateverTheRingHolds) {
    Sandbox box;
    ASSERT_NE(box.ring(), nullptr);
    box.fill();
    std::mt19937 rng(GetParam());
    std::vector<unsigned char> before(media_ring::kRingFileSize);
    for (int round = 0; round < kRounds; ++round) {
        box.restore_controls();
        for (int k = 1 + rng() % 3; k; --k) box.damage(rng);
        std::memcpy(before.data(), box.ring(), before.size());
        for (int target = -1; target < media_ring::kChannelCount; ++target) {
            guard(box, target);
            for (int call = 0; call < kCallsPerChannel; ++call) {
                const int ch = target >= 0 ? target : kInvalid[rng() % std::size(kInvalid)];
                const ReaderArgs a = random_args(rng, ch);
                const int op = static_cast<int>(rng() % kReaderOps);
                const std::string broke = call_reader(op, a);
                if (!broke.empty()) {
                    unguard(box);
                    FAIL() << "seed " << GetParam() << " round " << round << " op " << op << " ch "
                           << ch << " bufferSize " << a.bufferSize << " bdIndex " << a.bdIndex
                           << ": " << broke;
                }
            }
            unguard(box);
        }
        ASSERT_EQ(std::memcmp(before.data(), box.ring(), before.size()), 0)
            << "a reader wrote the ring in round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RingCorruption, ::testing::Values(1u, 2u, 3u, 20240601u));

}  // namespace
}  // namespace ring_test

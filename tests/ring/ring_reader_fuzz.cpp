// libFuzzer target over the readers: the input damages the control blocks
// and chooses the reader and its arguments; the contracts are those of the
// corruption test (reader_surface.cpp), and any breach aborts.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ring_layout.h"
#include "reader_surface.h"

using namespace ring_test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Sandbox *box = [] {
        auto *b = new Sandbox;
        b->fill();
        return b;
    }();
    if (size < 8) return 0;
    box->restore_controls();
    const int op = data[0] % kReaderOps;
    const int ch = static_cast<int>(data[1] % 9) - 1;  // -1..7
    uint32_t seed;
    std::memcpy(&seed, data + 2, 4);
    std::mt19937 rng(seed);
    const ReaderArgs a = random_args(rng, ch);
    // The rest of the input lands in the called channel's control block (or
    // anywhere among them for an invalid channel).
    const uint32_t at = static_cast<uint32_t>(data[6] | data[7] << 8);
    const uint32_t base =
        ch >= 0 && ch < media_ring::kChannelCount ? ch * sizeof(media_ring::ChannelCtrl) : 0;
    const uint32_t span = ch >= 0 && ch < media_ring::kChannelCount
                              ? sizeof(media_ring::ChannelCtrl)
                              : media_ring::kDataAreaOffset;
    const uint32_t start = base + at % span;
    const size_t n = std::min<size_t>(size - 8, base + span - start);
    std::memcpy(box->ring() + start, data + 8, n);
    static std::vector<unsigned char> before(media_ring::kDataAreaOffset);
    std::memcpy(before.data(), box->ring(), before.size());
    guard(*box, ch);
    const std::string broke = call_reader(op, a);
    unguard(*box);
    if (!broke.empty()) {
        std::fprintf(stderr, "op %d ch %d: %s\n", op, ch, broke.c_str());
        std::abort();
    }
    if (std::memcmp(before.data(), box->ring(), before.size()) != 0) {
        std::fprintf(stderr, "op %d ch %d wrote the ring\n", op, ch);
        std::abort();
    }
    return 0;
}

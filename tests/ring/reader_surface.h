// reader_surface.h - every reader, callable by number over a ring in a
// guarded sandbox, with the contracts that must hold whatever the ring
// holds.  Shared by the corruption test and the fuzz target.
//
// The sandbox is an anonymous mapping with an inaccessible page on each
// side; g_media_shm points into it, so the writer fills it and the readers
// read it without any file.  Under AddressSanitizer each call also poisons
// all of the ring but the called channel's control block and region, so a
// read of another channel's bytes is reported, not only one past the ring.
#ifndef TESTS_RING_READER_SURFACE_H
#define TESTS_RING_READER_SURFACE_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "media_ring/media_ring.h"

namespace ring_test {

class Sandbox {
  public:
    Sandbox();   // maps the sandbox and points g_media_shm at it
    ~Sandbox();  // puts g_media_shm back as it was
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    unsigned char *ring() const { return ring_; }
    // Fills every channel through the writer (channel 3 stays empty), then
    // keeps a copy of the control blocks to restore from.
    void fill();
    void restore_controls();
    // Scatters damage of a kind chosen by `rng` into the control blocks.
    void damage(std::mt19937 &rng);

  private:
    unsigned char *map_ = nullptr;
    size_t map_size_ = 0;
    unsigned char *ring_ = nullptr;
    unsigned char *saved_shm_ = nullptr;
    std::vector<unsigned char> controls_;
};

struct ReaderArgs {
    int channel;
    uint32_t bufferSize;
    int bdIndex;
    int frameType;
    uint32_t ts;
    uint32_t tsChannel;  // MediaDataVideoGetNewestIFrameTs's channel
};

inline constexpr int kReaderOps =
    15;  // the frame readers of reader_ops.h, then the newest I frame query

// Random arguments, often at the edges; `channel` is the one to call.
ReaderArgs random_args(std::mt19937 &rng, int channel);

// Calls reader `op` (0..14) and checks its contracts against the ring as it
// stands.  Returns an empty string, or what broke.
std::string call_reader(int op, const ReaderArgs &a);

// Poisons (under AddressSanitizer) every byte of the sandbox that reader
// calls on `channel` must not read; -1: the whole ring.  unguard() lifts it.
void guard(const Sandbox &s, int channel);
void unguard(const Sandbox &s);

}  // namespace ring_test

#endif  // TESTS_RING_READER_SURFACE_H

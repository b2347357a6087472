// clip_builder.h - clips written with the writer's calls from the sample
// media, stopped where a crash would stop them: after some checkpoints,
// with media appended after the last one, or finished.
#ifndef TESTS_MP4_CLIP_BUILDER_H
#define TESTS_MP4_CLIP_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace clip_builder {

using Bytes = std::vector<uint8_t>;

// One step is a second of media: 15 pictures and 8 AAC frames, which
// fills (and writes) exactly one chunk per track.
constexpr uint32_t kVideoPerStep = 15, kAudioPerStep = 8;

enum class Kind { kClip, kOutgrownClip, kMoovAtEnd };

struct Plan {
    Kind kind = Kind::kClip;
    int checkpointed = 0;  // steps each followed by a checkpoint
    int appended = 0;      // steps after them with no checkpoint
    bool finish = false;   // MP4CloseChecked at the end
};

struct Built {
    bool ok = false;
    Bytes bytes;                    // the file as the writer left it
    std::vector<uint64_t> size_at;  // its size after checkpoint 0 (creation), 1, 2, ...
};

// Writes the plan's clip at `path` and leaves it there as a crash would
// (the handle's memory is freed without another byte written).
Built build(const std::string &path, const Plan &plan);

// The slot geometry of a clip file: H's offset, the slot size, the mdat's
// offset, and the slot H points at (3: none).
struct Geometry {
    uint64_t h = 0, slot = 0, mdat = 0;
    int active = -1;
    uint64_t slot_at(int k) const { return h + 8 + uint64_t(k) * slot; }
};
Geometry geometry(const Bytes &file);

Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &bytes);

}  // namespace clip_builder

#endif  // TESTS_MP4_CLIP_BUILDER_H

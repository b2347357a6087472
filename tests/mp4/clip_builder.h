// clip_builder.h - clips written with the writer's calls from the sample
// media, stopped where a crash would stop them: after some checkpoints,
// with media appended after the last one, or finished.
#ifndef TESTS_MP4_CLIP_BUILDER_H
#define TESTS_MP4_CLIP_BUILDER_H

#include <mp4/clip_recovery.h>
#include <mp4/mp4_writer.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace clip_builder {

using Bytes = std::vector<uint8_t>;

// One step is a second of media: 15 pictures and 8 AAC frames, which
// fills (and writes) exactly one chunk per track.
constexpr uint32_t kVideoPerStep = 15, kAudioPerStep = 8;

enum class Kind {
    kClip,
    kOutgrownClip,
    kMoovAtEnd,
    // The recorder's call sequence for a clip of N = steps - 1 seconds:
    // tracks from the stream's own SPS, PPS and first ADTS header, one AAC
    // frame ahead of each NAL unit (8N + 1 in all), a checkpoint after
    // every second of pictures (15 (N + 1) of them).
    kRecorderClip,
};

struct Plan {
    Kind kind = Kind::kClip;
    int checkpointed = 0;  // steps each followed by a checkpoint
    int appended = 0;      // steps after them with no checkpoint
    bool finish = false;   // MP4CloseChecked at the end
};

struct Built {
    bool ok = false;  // every call the writer was given succeeded
    Bytes bytes;      // the file as the writer left it
    std::vector<uint64_t> size_at;  // its size after checkpoint 0 (creation), 1, 2, ... (a file only)
    std::vector<Bytes> samples[2];  // video, audio, as handed to the writer
};

// Writes the plan's clip at `path` and leaves it there as a crash would
// (the handle's memory is freed without another byte written).  With an
// `output` (not kMoovAtEnd) the writes go there instead, no file is made,
// and a crash is the caller's to stage.  `at_checkpoint` is called after
// each checkpoint with what was written so far.
Built build(const std::string &path, const Plan &plan, const MP4Output *output = nullptr,
            const std::function<void(const Built &)> &at_checkpoint = {});

// An H.264 sample from a start-code-prefixed NAL unit: its 4-byte length in
// place of the start code.
Bytes length_prefixed_sample(Bytes nal);

// The slot geometry of a clip file: H's offset, the slot size, the mdat's
// offset, and the slot H points at (3: none).
struct Geometry {
    uint64_t h = 0, slot = 0, mdat = 0;
    int active = -1;
    uint64_t slot_at(int k) const { return h + 8 + uint64_t(k) * slot; }
};
Geometry geometry(const Bytes &file);
// Zeros the slot H points at: the newest movie box is gone.
void zero_active_slot(Bytes &file);

// MP4RecoverClip run on the file at `path`, and the file after it.
struct Recovered {
    bool opened = false;
    MP4Recovered result = MP4_RECOVERED_NOTHING;
    MP4RecoveryReport report{};
    Bytes after;
};
Recovered recover(const std::string &path);

// False when the file could not be written whole.
bool write_file(const std::string &path, const Bytes &bytes);
// A file in the test's temporary folder: PREFIX_NAME_PID.mp4, spaces as '_'.
std::string temp_path(const std::string &prefix, const std::string &name);

}  // namespace clip_builder

#endif  // TESTS_MP4_CLIP_BUILDER_H

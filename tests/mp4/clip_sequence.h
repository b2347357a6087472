// clip_sequence.h - a clip written by the recorder's own clip assembly, fed
// from elementary streams instead of the ring, and what each sample must
// hold.
#ifndef TESTS_MP4_CLIP_SEQUENCE_H
#define TESTS_MP4_CLIP_SEQUENCE_H

#include <cstdint>
#include <string>
#include <vector>

namespace clip_sequence {

using Bytes = std::vector<uint8_t>;

struct Streams {
    std::string h264_path, aac_path;
    std::vector<Bytes> nals;  // 00 00 00 01 + NAL unit, in stream order
    std::vector<Bytes> adts;  // whole ADTS frames
};

// Splits the two elementary stream files; empty lists when unreadable.
Streams load(const std::string &h264_path, const std::string &aac_path);

struct Clip {
    int seconds = 6;
    int fps = 15;  // the declared frame rate: sample duration 90000 / fps
};

struct Written {
    bool ok = false;                   // the assembly's result: written and closed whole
    std::vector<Bytes> video_samples;  // as handed to the writer: NAL length in place of the start code
    std::vector<bool> video_sync;
    std::vector<Bytes> audio_samples;
};

// The recorder's clip assembly over a file source (recorder/file_source.h)
// starting at the first SPS, with the declared rate `clip.fps`.  The source
// paces one AAC frame ahead of each picture, the pacing the reference clips
// were written with.
Written write(const std::string &path, const Streams &in, const Clip &clip);

}  // namespace clip_sequence

#endif  // TESTS_MP4_CLIP_SEQUENCE_H

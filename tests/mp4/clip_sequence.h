// clip_sequence.h - writes a clip through the MP4 calls exactly as the alarm
// clip recorder makes them, from elementary streams instead of the ring,
// and keeps what each sample must hold.
#ifndef TESTS_MP4_CLIP_SEQUENCE_H
#define TESTS_MP4_CLIP_SEQUENCE_H

#include <cstdint>
#include <string>
#include <vector>

namespace clip_sequence {

using Bytes = std::vector<uint8_t>;

struct Streams {
    std::vector<Bytes> nals;  // 00 00 00 01 + NAL unit, in stream order
    std::vector<Bytes> adts;  // whole ADTS frames
};

// Splits the two elementary stream files; empty lists when unreadable.
Streams load(const std::string &h264_path, const std::string &aac_path);

struct Clip {
    int seconds = 6;
    int fps = 15;  // the declared frame rate: sample duration 90000 / fps
    uint16_t width = 640;
    uint16_t height = 360;
};

struct Written {
    bool created = false;
    std::vector<Bytes> video_samples;  // as handed to MP4WriteSample
    std::vector<bool> video_sync;
    std::vector<Bytes> audio_samples;
    std::vector<bool> write_results;  // every MP4WriteSample result, in call order
    int parameter_sets_in_loop = 0;
};

// The recorder's sequence: create (ftyp, iods, default brands); the video
// track from the first SPS (profile, compatibility and level from its
// bytes 5..7) with that SPS and the NAL after it as PPS; the audio track
// configured from the first ADTS frame, which is not written; the track
// name "6"; then, alternating, one audio sample (ADTS frames 1.., without
// the header, until 8 * seconds + 1) and one video sample (the NALs after
// the PPS up to the next slice: the slice becomes a sample with its length
// in place of the start code, SPS and PPS on the way go to the track, other
// NALs are skipped; until (seconds + 1) * fps pictures); close.  This is the
// pacing the reference clips were written with.
Written write(const std::string &path, const Streams &in, const Clip &clip);

}  // namespace clip_sequence

#endif  // TESTS_MP4_CLIP_SEQUENCE_H

// clip_mux.h - a clip made from an H.264 Annex-B file and an ADTS AAC file
// and written through the MP4 writer with the calls the alarm clip recorder
// makes, in the recorder's order.  Shared by the MP4 benchmark and the
// mp4_mux tool.
//
// Loading a clip (mapping the files, finding the NAL units and ADTS frames,
// looping, putting each slice's length in place of its start code) is kept
// apart from writing it, so the benchmark times the MP4 calls alone.  Like
// the recorder, this code uses no exceptions and nothing of the C++
// runtime, so the tool needs only the C library.
#ifndef BENCH_CLIP_MUX_H
#define BENCH_CLIP_MUX_H

#include <cstddef>
#include <cstdint>

#include "growable_array.h"

namespace clip_mux {

// One call of the recorder's loop.  A video sample is the NAL unit behind
// its 4-byte length, the start code replaced as the recorder does in its
// buffer; an audio sample is the AAC frame without its 7-byte ADTS header;
// a parameter set is the NAL unit without its start code.
struct Step {
    enum Kind : uint8_t { kSps, kPps, kVideo, kAudio };
    Kind kind;
    bool sync;  // video: an I frame
    uint32_t size;
    const uint8_t *data;
};

class Clip {
  public:
    Clip() = default;
    ~Clip();
    Clip(const Clip &) = delete;
    Clip &operator=(const Clip &) = delete;

    // Loads the two files.  `seconds` > 0: both streams are looped (each
    // from its own start) to that much media, seconds * fps pictures and
    // ceil(seconds * rate / 1024) AAC frames; `seconds` 0: each stream once,
    // as it is.  Picture n is at n / fps s, AAC frame k at k * 1024 / rate
    // s, and the steps are in that time order (video first on a tie).
    // False, with `*error` set to a message, when the files cannot make a
    // clip.
    bool load(const char *video_path, const char *audio_path, int fps, double seconds,
              const char **error);

    // The recorder's MP4 calls: create (ftyp, iods), the H.264 track at
    // 90 kHz with the first SPS and the NAL unit after it as PPS, the AAC
    // track at the stream's rate (the recorder's 8000 Hz for the sample
    // media) configured from the first ADTS frame, the video track's name
    // "6", then every step, then close.  False when a call failed.
    bool write(const char *path) const;

    uint32_t video_samples() const { return video_samples_; }
    uint32_t audio_samples() const { return audio_samples_; }
    const mp4::GrowableArray<Step> &steps() const { return steps_; }

  private:
    struct Mapping {
        const uint8_t *data = nullptr;
        size_t size = 0;
    };
    struct Nal {
        uint32_t at;    // its 4-byte length field in video_, the payload after it
        uint32_t size;  // payload bytes
        uint8_t type;
    };
    static bool map(const char *path, Mapping *m);
    static void unmap(Mapping *m);
    bool index_video();
    bool index_audio(mp4::GrowableArray<Step> *frames);
    bool add(Step::Kind kind, bool sync, const uint8_t *data, uint32_t size);

    Mapping video_file_, audio_file_;
    uint8_t *video_ = nullptr;  // every NAL unit behind its 4-byte length
    mp4::GrowableArray<Nal> nals_;
    mp4::GrowableArray<Step> steps_;
    const uint8_t *sps_ = nullptr, *pps_ = nullptr;  // the track setup
    uint32_t sps_size_ = 0, pps_size_ = 0;
    uint16_t width_ = 0, height_ = 0;
    uint32_t fps_ = 15;
    uint32_t audio_rate_ = 8000;
    uint8_t aac_config_[2] = {};
    uint32_t video_samples_ = 0, audio_samples_ = 0;
};

}  // namespace clip_mux

#endif  // BENCH_CLIP_MUX_H

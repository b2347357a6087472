// file_source.h - a clip source over an H.264 Annex-B file and an ADTS AAC
// file, for tests and benchmarks: the frames the ring would deliver, on a
// timeline of their own, with a simulated clock.
//
// Timeline: picture p at kBaseTs + p * 1000 / fps ms (an SPS, PPS or other
// NAL unit shares the ts of the picture it precedes), `sec` the ts's whole
// seconds; AAC frame k at kBaseTs - 1000 + k * 128 ms, so the clip's audio
// search one second before its PPS finds frame 0.  The first NAL unit must
// be the clip-start SPS.  Pacing: AAC frame k (k >= 1) is delivered once
// k - 1 pictures have been, or once the video has ended, so the recorder
// writes one AAC frame ahead of each picture.  In real time instead, a
// frame is there once the simulated clock has reached its ts, the first
// `preroll_ms` of media at once: a producer that runs on while the
// recorder catches up.  The simulated clock moves 10 ms at each of the
// recorder's waits; nothing waits on it, so the clip is written as fast as
// the writer goes.
#ifndef RECORDER_FILE_SOURCE_H
#define RECORDER_FILE_SOURCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "recorder/clip_assembly.h"
#include "recorder/clip_source.h"

namespace recorder {

class FileSource {
  public:
    static constexpr uint32_t kBaseTs = 100000;

    struct Frame {
        std::vector<uint8_t> bytes;  // as a producer puts it: start code or ADTS header included
        FrameInfo info;
    };

    // `loop_seconds` > 0: both streams repeat, each from its own start, until
    // that much media has been delivered; 0: each stream once.
    FileSource(const std::string &h264_path, const std::string &aac_path, int fps,
               double loop_seconds = 0);

    // False when a file could not be read or holds no SPS.
    bool ok() const { return !video_.empty(); }  // frame 0 is then the SPS
    // The clip-start SPS, as the recorder holds it when the clip begins:
    // copied into `buffer`, its record with the declared frame rate.
    FrameInfo start(uint8_t *buffer) const;
    ClipSource source() { return ClipSource{this, next_frame, audio_at, put_count, wait, now_ms}; }
    // The recorder's clip assembly over these frames into a new file at
    // `path` (or into `output` when given), from the clip-start SPS.  A
    // source of files loses nothing by waiting: the reading side waits for
    // storage when it must (ClipOptions::wait_for_storage), so the clip is
    // the same whatever the storage's speed.
    ClipResult write_clip(const char *path, int seconds, const MP4Output *output = nullptr,
                          bool timestamps = false);

    // Delivers frames on the simulated clock from now on (see above).
    void set_real_time(uint32_t preroll_ms) { real_time_ = true, preroll_ms_ = preroll_ms; }
    uint64_t clock_us() const { return clock_us_; }
    // Back to the clip's start, for another clip from the same frames.
    void rewind() { next_video_ = 1, next_audio_ = 0, pictures_delivered_ = 0, clock_us_ = 0; }

    const std::vector<Frame> &video() const { return video_; }
    const std::vector<Frame> &audio() const { return audio_; }
    uint8_t frame_type(size_t v) const { return video_[v].info.frameType; }

  private:
    static Read next_frame(void *self, int channel, uint8_t *buffer, FrameInfo *info);
    static Read audio_at(void *self, uint32_t ts, uint8_t *buffer, FrameInfo *info);
    static uint32_t put_count(void *self, int channel);
    static void wait(void *self, int channel, uint32_t count, uint64_t timeout_ms);
    static uint64_t now_ms(void *self);
    static void copy(const Frame &f, uint8_t *buffer, FrameInfo *info);
    bool due(const Frame &f) const {
        return f.info.ts - kBaseTs < preroll_ms_ + clock_us_ / 1000 || f.info.ts < kBaseTs;
    }

    std::vector<Frame> video_, audio_;
    size_t next_video_ = 1;  // frame 0 is the clip-start SPS, already held
    size_t next_audio_ = 0;
    uint32_t pictures_delivered_ = 0;
    uint64_t clock_us_ = 0;
    bool real_time_ = false;
    uint32_t preroll_ms_ = 0;
};

}  // namespace recorder

#endif  // RECORDER_FILE_SOURCE_H

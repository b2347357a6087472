// clip_assembly.cpp - the recorder's MP4 call sequence, written once.
//
// The loop alternates one audio and one video read and pauses only when a
// pass had nothing to do.  Audio ends after 8N + 1 samples (128 ms each at
// 8000 Hz), video with the first frame whose `sec` lies more than N seconds
// past the clip-start SPS's (an unsigned difference, so a producer whose
// second count restarts ends the video at once).  Samples carry the tracks'
// fixed durations; frame timestamps are not written.
#include "recorder/clip_assembly.h"

#include <mp4/mp4_writer.h>

#include <cstdio>

#include "recorder/aac_config.h"
#include "recorder/recorder.h"

namespace recorder {
namespace {

constexpr int kVideoChannel = 1;
constexpr int kAudioChannel = 4;
constexpr uint32_t kWaitPause = 30000;  // µs between attempts of a waiting read
constexpr uint32_t kLoopPause = 10000;  // µs after a pass with nothing to do
constexpr uint32_t kVideoTimeScale = 90000;
constexpr uint32_t kAudioTimeScale = 8000;
constexpr uint32_t kAudioSampleDuration = 1024;
constexpr uint32_t kStartCode = 4;   // bytes ahead of each NAL unit
constexpr uint32_t kAdtsHeader = 7;  // bytes ahead of each AAC frame
constexpr uint32_t kPreAudioMs = 1000;
constexpr uint8_t kTypeP = 1, kTypeI = 5, kTypeSps = 7, kTypePps = 8;

// Shorter frames give no valid sample and are skipped.
constexpr uint32_t kMinVideoFrame = kStartCode + 1;
constexpr uint32_t kMinAudioFrame = kAdtsHeader + 1;

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The parameter set behind the start code; its length counts as 16 bits.
void add_parameter_set(MP4FileHandle file, MP4TrackId track, const uint8_t *frame,
                       const FrameInfo &info, uint8_t type) {
    if (info.framesize < kMinVideoFrame) return;
    const auto len = static_cast<uint16_t>(info.framesize - kStartCode);
    if (type == kTypeSps)
        MP4AddH264SequenceParameterSet(file, track, frame + kStartCode, len);
    else
        MP4AddH264PictureParameterSet(file, track, frame + kStartCode, len);
}

// Repeats one read until it delivers; kEnd when the source never will.
template <class Attempt>
Read wait_for(const ClipSource &s, Attempt attempt) {
    for (;;) {
        const Read r = attempt();
        if (r != Read::kNone) return r;
        s.pause(s.self, kWaitPause);
    }
}

bool fail(MP4FileHandle file, const char *path, const char *what) {
    std::printf("alarm_record: %s %s\n", what, path);
    if (file != MP4_INVALID_FILE_HANDLE) MP4Close(file, 0);
    return false;
}

}  // namespace

bool assemble_clip(const ClipSource &src, uint8_t *buffer, const FrameInfo &start,
                   const char *path, int seconds, ClipCounts *counts) {
    ClipCounts local;
    ClipCounts &n = counts != nullptr ? *counts : local;
    n = ClipCounts{};
    FrameInfo rec = start;
    char text[16];

    MP4FileHandle file = MP4CreateEx(path, 0, 1, 1, nullptr, 0, nullptr, 0);
    if (file == MP4_INVALID_FILE_HANDLE) return fail(file, path, "cannot create");

    const uint32_t fps = rec.framerate != 0 ? rec.framerate : 1;
    const MP4TrackId video =
        MP4AddH264VideoTrack(file, kVideoTimeScale, kVideoTimeScale / fps, rec.width, rec.height,
                             buffer[5], buffer[6], buffer[7], 3);
    if (video == MP4_INVALID_TRACK_ID) return fail(file, path, "cannot add the video track to");
    add_parameter_set(file, video, buffer, rec, kTypeSps);  // the clip-start SPS
    const uint32_t start_sec = rec.sec;

    // The frame after the SPS is taken as its PPS, whatever its type.
    if (wait_for(src, [&] { return src.next_frame(src.self, kVideoChannel, buffer, &rec); }) !=
        Read::kFrame)
        return fail(file, path, "no picture parameter set for");
    add_parameter_set(file, video, buffer, rec, kTypePps);

    // Audio from one second before the PPS; a PPS in the first second of the
    // clock starts at 1, not at a time wrapped round to the far future.
    const uint32_t audio_from = rec.ts > kPreAudioMs ? rec.ts - kPreAudioMs : 1;
    if (wait_for(src, [&] { return src.audio_at(src.self, audio_from, buffer, &rec); }) !=
        Read::kFrame)
        return fail(file, path, "no audio frame for");
    // That first frame only configures the track; samples begin after it.
    const MP4TrackId audio =
        MP4AddAudioTrack(file, kAudioTimeScale, kAudioSampleDuration, MP4_MPEG4_AUDIO_TYPE);
    if (audio == MP4_INVALID_TRACK_ID || audio == video)
        return fail(file, path, "cannot add the audio track to");
    uint8_t config[2];
    calc_aac_config(buffer, config);
    MP4SetTrackESConfiguration(file, audio, config, sizeof config);
    std::snprintf(text, sizeof text, "%d", 6);
    MP4SetTrackName(file, video, text);

    const int audio_budget = seconds << 3;
    bool audio_done = false, video_done = false;
    for (;;) {
        // Audio step.
        bool audio_read = false;
        if (!audio_done) {
            const Read r = src.next_frame(src.self, kAudioChannel, buffer, &rec);
            audio_done = r == Read::kEnd;
            audio_read = r == Read::kFrame;
        }
        if (audio_read && rec.framesize >= kMinAudioFrame) {
            ++n.audio_samples;
            if (!MP4WriteSample(file, audio, buffer + kAdtsHeader, rec.framesize - kAdtsHeader,
                                MP4_INVALID_DURATION, 0, true))
                return fail(file, path, "cannot write an audio sample to");
            if (n.audio_samples > audio_budget) audio_done = true;
        }
        if (!audio_read) src.pause(src.self, kLoopPause);

        // Video step; a frame handled goes straight back to the audio step.
        if (!video_done) {
            const Read r = src.next_frame(src.self, kVideoChannel, buffer, &rec);
            video_done = r == Read::kEnd;
            if (r == Read::kFrame) {
                const uint32_t gap = rec.sec - start_sec;
                if (gap > static_cast<uint32_t>(seconds)) {
                    std::printf("6s record over sec(%d) video_cnt(%d)\n", seconds,
                                n.video_samples);
                    video_done = true;  // this frame is past the clip and not written
                } else if ((rec.frameType == kTypeP || rec.frameType == kTypeI) &&
                           rec.framesize >= kMinVideoFrame) {
                    const bool sync = rec.frameType == kTypeI;
                    put_be32(buffer, rec.framesize - kStartCode);  // start code -> NAL length
                    if (!MP4WriteSample(file, video, buffer, rec.framesize, MP4_INVALID_DURATION,
                                        0, sync))
                        return fail(file, path, "cannot write a video sample to");
                    if (sync)
                        std::printf("6s record over sec(%d) video_cnt(%d) second gap(%d)\n",
                                    seconds, n.video_samples, static_cast<int>(gap));
                    ++n.video_samples;
                } else if (rec.frameType == kTypeSps || rec.frameType == kTypePps) {
                    add_parameter_set(file, video, buffer, rec, rec.frameType);
                }
                continue;
            }
        }

        // Pause.
        src.pause(src.self, kLoopPause);
        if (audio_done && video_done) break;
    }

    if (!MP4CloseChecked(file)) {
        std::printf("alarm_record: clip %s is not a complete MP4 file after closing\n", path);
        return false;
    }
    return true;
}

}  // namespace recorder

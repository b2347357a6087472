// clip_writer.cpp - one alarm clip: an H.264 track from ring channel 1 and an
// AAC track from channel 4, interleaved as the frames arrive.
//
// The loop alternates one audio and one video read and sleeps only when a
// pass had nothing to do.  Audio ends after 8N + 1 samples (128 ms each at
// 8000 Hz), video with the first frame whose `sec` lies more than N seconds
// past the clip-start SPS's (an unsigned difference, so a producer whose
// second count restarts ends the video at once).  Samples carry the tracks'
// fixed durations; frame timestamps are not written.
#include <mp4v2/mp4v2.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "recorder/aac_config.h"
#include "recorder/clip_file.h"
#include "recorder/recorder.h"

namespace {

constexpr int kVideoChannel = 1;
constexpr int kAudioChannel = 4;
constexpr useconds_t kWaitPause = 30000;  // waiting readers
constexpr useconds_t kLoopPause = 10000;  // a pass with nothing to do
constexpr uint32_t kVideoTimeScale = 90000;
constexpr uint32_t kAudioTimeScale = 8000;
constexpr uint32_t kAudioSampleDuration = 1024;
constexpr uint32_t kStartCode = 4;   // bytes ahead of each NAL unit
constexpr uint32_t kAdtsHeader = 7;  // bytes ahead of each AAC frame
constexpr uint32_t kPreAudioMs = 1000;

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
                       const FrameInfo &info) {
    if (info.framesize < kMinVideoFrame) return;
    const auto len = static_cast<uint16_t>(info.framesize - kStartCode);
    if (info.frameType == 7)
        MP4AddH264SequenceParameterSet(file, track, frame + kStartCode, len);
    else
        MP4AddH264PictureParameterSet(file, track, frame + kStartCode, len);
}

// Discards a clip that cannot be completed: nothing may appear under the final name.
int abandon(MP4FileHandle file, const char *tmp_name, const char *what) {
    std::printf("alarm_record: %s %s\n", what, tmp_name);
    if (file != MP4_INVALID_FILE_HANDLE) MP4Close(file, 0);
    unlink(tmp_name);
    return -1;
}

}  // namespace

extern "C" int get_next_video_frame(int type, uint8_t *buffer, int *cursor, FrameInfo *record) {
    for (;;) {
        int r;
        switch (type) {
            case 7:
                r = MediaDataVideoGetNewSPSFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                 cursor, record);
                break;
            case 8:
                r = MediaDataVideoGetNewPPSFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                 cursor, record);
                break;
            case 5:
                r = MediaDataVideoGetNewIFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                               cursor, record);
                break;
            default:
                r = MediaDataGetNextFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE, cursor,
                                          record);
                break;
        }
        if (r == 0) return 0;
        usleep(kWaitPause);
    }
}

extern "C" int get_next_audio_frame(int mode, uint8_t *buffer, int *cursor, FrameInfo *record,
                                    uint32_t ts) {
    for (;;) {
        const int r = mode == 9
                          ? MediaDataAudioGetByTs(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                  ts, cursor, record)
                          : MediaDataGetNextFrame(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                  cursor, record);
        if (r == 0) return 0;
        usleep(kWaitPause);
    }
}

extern "C" int alarm_record_file(uint8_t *buffer, int *audio_cursor, int *video_cursor,
                                 const FrameInfo *record, const char *name, int seconds) {
    // Room for the whole final name and ".tmp": the temporary name never
    // equals the final one.
    char tmp_name[RECORD_NAME_MAX + 1 + 4] = {};
    char text[512] = {};
    FrameInfo rec = *record;
    std::snprintf(tmp_name, sizeof tmp_name, "%s.tmp", name);

    MP4FileHandle file = MP4CreateEx(tmp_name, 0, 1, 1, nullptr, 0, nullptr, 0);
    if (file == MP4_INVALID_FILE_HANDLE) return abandon(file, tmp_name, "cannot create");

    const uint32_t fps = rec.framerate != 0 ? rec.framerate : 1;
    const MP4TrackId video =
        MP4AddH264VideoTrack(file, kVideoTimeScale, kVideoTimeScale / fps, rec.width, rec.height,
                             buffer[5], buffer[6], buffer[7], 3);
    add_parameter_set(file, video, buffer, rec);  // the clip-start SPS
    const uint32_t start_sec = rec.sec;

    // The frame after the SPS is taken as its PPS, whatever its type.
    get_next_video_frame(0, buffer, video_cursor, &rec);
    if (rec.framesize >= kMinVideoFrame)
        MP4AddH264PictureParameterSet(file, video, buffer + kStartCode,
                                      static_cast<uint16_t>(rec.framesize - kStartCode));

    // Audio from one second before the PPS; a PPS in the first second of the
    // clock starts at 1, not at a time wrapped round to the far future.
    const uint32_t audio_from = rec.ts > kPreAudioMs ? rec.ts - kPreAudioMs : 1;
    get_next_audio_frame(9, buffer, audio_cursor, &rec, audio_from);
    // That first frame only configures the track; samples begin after it.
    const MP4TrackId audio =
        MP4AddAudioTrack(file, kAudioTimeScale, kAudioSampleDuration, MP4_MPEG4_AUDIO_TYPE);
    uint8_t config[2];
    calc_aac_config(buffer, config);
    MP4SetTrackESConfiguration(file, audio, config, sizeof config);
    std::snprintf(text, sizeof text, "%d", 6);
    MP4SetTrackName(file, video, text);

    const int audio_budget = seconds << 3;
    int audio_count = 0, video_count = 0;
    bool audio_done = false, video_done = false;
    for (;;) {
        // Audio step.
        bool audio_read = false;
        if (!audio_done && MediaDataGetNextFrame(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                 audio_cursor, &rec) == 0) {
            audio_read = true;
            if (rec.framesize >= kMinAudioFrame) {
                ++audio_count;
                if (!MP4WriteSample(file, audio, buffer + kAdtsHeader, rec.framesize - kAdtsHeader,
                                    MP4_INVALID_DURATION, 0, true))
                    return abandon(file, tmp_name, "cannot write an audio sample to");
                if (audio_count > audio_budget) audio_done = true;
            }
        }
        if (!audio_read) usleep(kLoopPause);

        // Video step; a frame handled goes straight back to the audio step.
        if (!video_done && MediaDataGetNextFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                 video_cursor, &rec) == 0) {
            const uint32_t gap = rec.sec - start_sec;
            if (gap > static_cast<uint32_t>(seconds)) {
                std::printf("6s record over sec(%d) video_cnt(%d)\n", seconds, video_count);
                video_done = true;  // this frame is past the clip and not written
            } else if ((rec.frameType == 1 || rec.frameType == 5) &&
                       rec.framesize >= kMinVideoFrame) {
                const bool sync = rec.frameType == 5;
                put_be32(buffer, rec.framesize - kStartCode);  // start code -> NAL length, in place
                if (!MP4WriteSample(file, video, buffer, rec.framesize, MP4_INVALID_DURATION, 0,
                                    sync))
                    return abandon(file, tmp_name, "cannot write a video sample to");
                if (sync)
                    std::printf("6s record over sec(%d) video_cnt(%d) second gap(%d)\n", seconds,
                                video_count, static_cast<int>(gap));
                ++video_count;
            } else if (rec.frameType == 7 || rec.frameType == 8) {
                add_parameter_set(file, video, buffer, rec);
            }
            continue;
        }

        // Pause.
        usleep(kLoopPause);
        if (audio_done && video_done) break;
    }

    MP4Close(file, 0);
    return recorder::put_clip_in_place(tmp_name, name) ? 0 : -1;
}

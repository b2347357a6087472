// ring_source.cpp - the recorder's frames from the media ring: the waiting
// readers, and the clip source over channels 1 and 4 with their cursors.
#include <time.h>
#include <unistd.h>

#include "recorder/recorder.h"
#include "recorder/ring_source.h"
#include "recorder/stop_request.h"

namespace {

constexpr int kVideoChannel = MEDIA_CH_RECORD_VIDEO;
constexpr int kAudioChannel = MEDIA_CH_RECORD_AUDIO;
constexpr useconds_t kWaitPause = 30000;  // between attempts of a waiting reader
// get_next_video_frame's types: the newest frame of that type; others
// the next frame.  get_next_audio_frame's mode 9: the first at or after ts.
constexpr int kReadNewestSps = MEDIA_FRAME_SPS, kReadNewestPps = MEDIA_FRAME_PPS;
constexpr int kReadNewestI = MEDIA_FRAME_I;
constexpr int kReadAudioAtTs = 9;

}  // namespace

extern "C" int get_next_video_frame(int type, uint8_t *buffer, int *cursor, FrameInfo *record) {
    for (;;) {
        int r;
        switch (type) {
            case kReadNewestSps:
                r = MediaDataVideoGetNewSPSFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                 cursor, record);
                break;
            case kReadNewestPps:
                r = MediaDataVideoGetNewPPSFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                 cursor, record);
                break;
            case kReadNewestI:
                r = MediaDataVideoGetNewIFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                               cursor, record);
                break;
            default:
                r = MediaDataGetNextFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE, cursor,
                                          record);
                break;
        }
        if (r == 0) return 0;
        if (g_stop_signal != 0) return -1;
        usleep(kWaitPause);
    }
}

extern "C" int get_next_audio_frame(int mode, uint8_t *buffer, int *cursor, FrameInfo *record,
                                    uint32_t ts) {
    for (;;) {
        const int r = mode == kReadAudioAtTs
                          ? MediaDataAudioGetByTs(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                  ts, cursor, record)
                          : MediaDataGetNextFrame(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                  cursor, record);
        if (r == 0) return 0;
        if (g_stop_signal != 0) return -1;
        usleep(kWaitPause);
    }
}

namespace recorder {
namespace {

Read next_frame(void *self, int channel, uint8_t *buffer, FrameInfo *info) {
    RingCursors &c = *static_cast<RingCursors *>(self);
    int *cursor = channel == kAudioChannel ? c.audio : c.video;
    return MediaDataGetNextFrame(channel, buffer, RECORD_FRAME_BUFFER_SIZE, cursor, info) == 0
               ? Read::kFrame
               : Read::kNone;
}

Read audio_at(void *self, uint32_t ts, uint8_t *buffer, FrameInfo *info) {
    RingCursors &c = *static_cast<RingCursors *>(self);
    return MediaDataAudioGetByTs(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE, ts, c.audio,
                                 info) == 0
               ? Read::kFrame
               : Read::kNone;
}

void pause(void *, uint32_t microseconds) {
    usleep(microseconds);
}

uint64_t now_ms(void *) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

}  // namespace

ClipSource ring_source(RingCursors *cursors) {
    return ClipSource{cursors, next_frame, audio_at, pause, now_ms};
}

}  // namespace recorder

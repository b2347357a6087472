// ring_source.h - a clip source over the media ring's channels 1 (H.264)
// and 4 (AAC), reading after the recorder's own cursors.
#ifndef RECORDER_RING_SOURCE_H
#define RECORDER_RING_SOURCE_H

#include "recorder/clip_source.h"

namespace recorder {

struct RingCursors {
    int *video;  // bdIndex on channel 1, at the clip-start SPS
    int *audio;  // bdIndex on channel 4
    uint32_t video_ts;  // ts of the last video frame read: at first the clip-start SPS's
    uint32_t i_ts = 0;  // ts of the last I frame read, once i_read
    bool i_read = false;
};

// The source lives as long as `cursors` does.
ClipSource ring_source(RingCursors *cursors);

}  // namespace recorder

#endif  // RECORDER_RING_SOURCE_H

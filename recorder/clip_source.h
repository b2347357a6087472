// clip_source.h - where a clip's frames come from: the media ring in the
// recorder (ring_source.cpp), elementary-stream files in tests and
// benchmarks (file_source.h).  The clip assembly sees nothing else of its
// source, so every caller exercises the same assembly code.
//
// A plain table of functions rather than virtual ones: the recorder links
// without the C++ runtime, and a source is one object with its own state.
#ifndef RECORDER_CLIP_SOURCE_H
#define RECORDER_CLIP_SOURCE_H

#include <stdint.h>

#include <media_ring/media_ring.h>

namespace recorder {

enum class Read : uint8_t {
    kFrame,  // a frame was copied into the buffer and the record
    kNone,   // nothing yet; ask again after a wait
    kEnd,    // the channel will never deliver again (a file source at its end)
};

struct ClipSource {
    void *self;
    // One attempt to copy the frame after the channel's cursor (channel
    // MEDIA_CH_RECORD_VIDEO or MEDIA_CH_RECORD_AUDIO), moving it.
    Read (*next_frame)(void *self, int channel, uint8_t *buffer, FrameInfo *info);
    // One attempt to copy the first audio frame whose ts is at or after
    // `ts`, moving the audio cursor to it.
    Read (*audio_at)(void *self, uint32_t ts, uint8_t *buffer, FrameInfo *info);
    // A value that changes with every frame put into the channel; taken
    // before the reads it guards (0 when the source has no such count).
    uint32_t (*put_count)(void *self, int channel);
    // Sleeps until a frame put into `channel` moves its count away from
    // `count` (taken by put_count before the reads that found nothing, so a
    // put during them ends the wait at once), until `timeout_ms` has passed
    // (0: looks and returns) or until a stop is requested.  A simulated
    // source moves its own clock one step instead.
    void (*wait)(void *self, int channel, uint32_t count, uint64_t timeout_ms);
    // A monotonic clock in milliseconds (a simulated source's own).
    uint64_t (*now_ms)(void *self);
};

}  // namespace recorder

#endif  // RECORDER_CLIP_SOURCE_H

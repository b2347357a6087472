// clip_assembly.h - one alarm clip as a sequence of MP4 calls: an H.264
// track and an AAC track set up from the stream's own SPS, PPS and first
// ADTS header, then samples interleaved as the source delivers them.  The
// recorder feeds it from the ring; tests and benchmarks from files.
#ifndef RECORDER_CLIP_ASSEMBLY_H
#define RECORDER_CLIP_ASSEMBLY_H

#include <stdint.h>

#include "recorder/clip_source.h"

namespace recorder {

struct ClipCounts {
    int video_samples = 0;
    int audio_samples = 0;
};

// Writes the clip that begins with the SPS held in `buffer`/`start` (whose
// framerate is already the clip's declared rate) into a new MP4 file at
// `path`, `seconds` long.  `buffer` holds RECORD_FRAME_BUFFER_SIZE bytes.
// True when the file was written and closed whole; false after one line on
// standard output saying what failed (the file is then left as it is; the
// caller decides what becomes of it).
bool assemble_clip(const ClipSource &source, uint8_t *buffer, const FrameInfo &start,
                   const char *path, int seconds, ClipCounts *counts);

}  // namespace recorder

#endif  // RECORDER_CLIP_ASSEMBLY_H

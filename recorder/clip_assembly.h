// clip_assembly.h - one alarm clip as a sequence of MP4 calls: an H.264
// track and an AAC track set up from the stream's own SPS, PPS and first
// ADTS header, then samples interleaved as the source delivers them, with
// a checkpoint once the pre-roll is written and then every second, so the
// clip on storage is playable at every instant.  The recorder feeds it
// from the ring; tests and benchmarks from files.  The calls are made by
// the clip's file side (clip_writer.h), so reading never waits on storage.
#ifndef RECORDER_CLIP_ASSEMBLY_H
#define RECORDER_CLIP_ASSEMBLY_H

#include <mp4/mp4_writer.h>
#include <signal.h>
#include <stdint.h>

#include "recorder/clip_source.h"
#include "recorder/clip_writer.h"

namespace recorder {

struct ClipCounts {
    int video_samples = 0;
    int audio_samples = 0;
};

struct ClipOptions {
    int seconds = 0;
    int fd = -1;                        // the clip file, open, empty and writable; or
    const MP4Output *output = nullptr;  // any other store (tests)
    const char *name = "";              // the file's name, for messages
    // Set (to the signal's number) by a signal handler: finish the clip
    // with what was recorded.  nullptr: never.
    const volatile sig_atomic_t *stop = nullptr;
    // Timing from the frames' ts instead of fixed durations: each picture
    // lasts until the next video frame, the audio starts with the first AAC
    // frame at or after the first picture (delayed by an empty edit to the
    // millisecond), at its own sampling frequency, and covers the video's
    // stretch of real time.
    bool timestamps = false;
    // The bound of the queue between reading and writing, in bytes.
    uint32_t queue_bytes = kClipQueueBytes;
    // For a source that loses nothing by waiting (frames from files): a full
    // queue, or a checkpoint still in progress when the next is due, holds
    // the reading side until storage catches up, instead of ending the clip
    // or leaving that checkpoint out; its clips come out the same whatever
    // the storage's speed.
    bool wait_for_storage = false;
};

enum class ClipEnd : uint8_t {
    kComplete,  // the clip of the asked length, whole and on storage
    kCutShort,  // whole and on storage, but ended early (the line says why:
                // a stop request, a silent channel, storage that could not
                // keep up with the stream)
    kFailed,    // not whole: see write_error
};

struct ClipResult {
    ClipEnd end = ClipEnd::kFailed;
    ClipCounts counts;
    int write_error = 0;     // errno of a failed write or flush, else 0
};

// Writes the clip that begins with the SPS held in `buffer`/`start` (whose
// framerate is already the clip's declared rate); `buffer` holds
// RECORD_FRAME_BUFFER_SIZE bytes.  Prints the progress lines and one line
// for anything that ends the clip early or makes it fail.
ClipResult assemble_clip(const ClipSource &source, uint8_t *buffer, const FrameInfo &start,
                         const ClipOptions &options);

}  // namespace recorder

#endif  // RECORDER_CLIP_ASSEMBLY_H

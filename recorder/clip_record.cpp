// clip_record.cpp - one clip from the ring, written under NAME.tmp and put
// in place under NAME once whole and on storage.
//
// What becomes of the clip: complete, or cut short but whole (a stop
// request, a silent producer), it is renamed; after a write error the file
// is brought back to its last checkpoint (which needs no new space) and
// renamed, cut short.  Only a clip that never reached its first checkpoint
// leaves nothing: its temporary file is removed.  By then the clip's file
// side has ended: the rename and the recovery are this thread's alone.
#include <mp4/clip_recovery.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "recorder/clip_assembly.h"
#include "recorder/clip_timing.h"
#include "recorder/recorder.h"
#include "recorder/ring_source.h"
#include "recorder/stop_request.h"
#include "recorder/temporary_clip.h"

namespace {

// The queue between reading and writing holds MEDIA_CLIP_QUEUE_KIB KiB when
// that is set to 16..4096 (a device short of memory; a test of storage that
// cannot keep up), else kClipQueueBytes.
uint32_t queue_bytes() {
    const char *v = std::getenv("MEDIA_CLIP_QUEUE_KIB");
    if (v == nullptr) return recorder::kClipQueueBytes;
    char *end = nullptr;
    const long kib = std::strtol(v, &end, 10);
    if (end == v || *end != '\0' || kib < 16 || kib > 4096) return recorder::kClipQueueBytes;
    return static_cast<uint32_t>(kib) << 10;
}

}  // namespace

extern "C" int alarm_record_file(uint8_t *buffer, int *audio_cursor, int *video_cursor,
                                 const FrameInfo *record, const char *name, int seconds) {
    // Room for the whole final name and ".tmp": the temporary name never
    // equals the final one.
    char tmp_name[RECORD_NAME_MAX + 1 + 4] = {};
    std::snprintf(tmp_name, sizeof tmp_name, "%s.tmp", name);
    const int fd = recorder::open_clip_file(tmp_name);
    if (fd < 0) return -1;

    recorder::RingCursors cursors{video_cursor, audio_cursor, record->ts};
    recorder::ClipOptions options;
    options.seconds = seconds;
    options.fd = fd;
    options.name = tmp_name;
    options.stop = &g_stop_signal;
    options.timestamps = g_clip_timestamps;
    options.queue_bytes = queue_bytes();
    const recorder::ClipResult r =
        recorder::assemble_clip(recorder::ring_source(&cursors), buffer, *record, options);

    int status = -1;
    if (r.end == recorder::ClipEnd::kComplete) {
        status = 0;
    } else if (r.end == recorder::ClipEnd::kCutShort) {
        status = RECORD_CUT_SHORT;
    } else if (r.write_error != 0) {
        MP4RecoveryReport kept{};
        if (MP4RecoverClip(fd, &kept) != MP4_RECOVERED_NOTHING) {
            std::printf("alarm_record: the clip is cut short at its last checkpoint: %u video "
                        "and %u audio samples\n",
                        kept.video_samples, kept.audio_samples);
            status = RECORD_CUT_SHORT;
        }
    }
    if (status < 0) {
        unlink(tmp_name);  // ours: we hold its lock; nothing in it could be kept
    } else if (!recorder::put_clip_in_place(tmp_name, name)) {
        status = -1;
    }
    close(fd);
    return status;
}

// clip_record.cpp - one clip from the ring, written under NAME.tmp and put
// in place under NAME once whole and on storage.
#include <unistd.h>

#include <cstdio>

#include "recorder/clip_assembly.h"
#include "recorder/clip_file.h"
#include "recorder/recorder.h"
#include "recorder/ring_source.h"

extern "C" int alarm_record_file(uint8_t *buffer, int *audio_cursor, int *video_cursor,
                                 const FrameInfo *record, const char *name, int seconds) {
    // Room for the whole final name and ".tmp": the temporary name never
    // equals the final one.
    char tmp_name[RECORD_NAME_MAX + 1 + 4] = {};
    std::snprintf(tmp_name, sizeof tmp_name, "%s.tmp", name);

    recorder::RingCursors cursors{video_cursor, audio_cursor};
    const recorder::ClipSource source = recorder::ring_source(&cursors);
    if (!recorder::assemble_clip(source, buffer, *record, tmp_name, seconds, nullptr)) {
        unlink(tmp_name);  // nothing may appear under the final name
        return -1;
    }
    return recorder::put_clip_in_place(tmp_name, name) ? 0 : -1;
}

// clip_timing.h - how the clip's samples are timed, chosen once per process:
// MEDIA_CLIP_TIMING=ts gives each picture the time until the next frame's
// ts and starts the audio in step with the first picture (see
// ClipOptions::timestamps); any other value, or none, the fixed durations.
// Written only by the entry before the clip begins; read by
// alarm_record_file.
#ifndef RECORDER_CLIP_TIMING_H
#define RECORDER_CLIP_TIMING_H

#define CLIP_TIMING_ENV "MEDIA_CLIP_TIMING"

extern "C" bool g_clip_timestamps;

// Reads CLIP_TIMING_ENV into g_clip_timestamps.
void read_clip_timing();

#endif  // RECORDER_CLIP_TIMING_H

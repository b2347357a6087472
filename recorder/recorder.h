/*
 * recorder.h - the alarm clip recorder: `alarm_record NAME SECONDS` records
 * H.264 from ring channel 1 and AAC from channel 4, starting about five
 * seconds before the newest SPS, into an MP4 file written as NAME.tmp and
 * renamed to NAME once complete.
 */
#ifndef RECORDER_RECORDER_H
#define RECORDER_RECORDER_H

#include <stdint.h>
#include <sys/time.h>

#include "media_ring/media_ring.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The one frame buffer holds the largest payload a ring reader accepts; it is
 * the size passed to every read. */
#define RECORD_FRAME_BUFFER_SIZE 0x60000
#define RECORD_NAME_MAX 63 /* characters of the final name */
#define RECORD_PREROLL_MS 5000
#define RECORD_MAX_SECONDS 3600 /* longest clip asked for */
#define RECORD_CUT_SHORT 3      /* status of a clip kept whole but ended early */

/* The status block's mapping (read-only, shared); NULL until mapped. */
extern void *g_ptr_mmap;

/* Maps 13900 bytes of an existing file read-only and shared; NULL on failure. */
void *get_sharemem(const char *path);

/* Elapsed milliseconds from start to end, in 32-bit arithmetic. */
int get_run_time(struct timeval start, struct timeval end);

/* The clip's declared rate: target_framerate kept within 2..20, then raised to
 * the newest SPS's own rate if the stream runs faster. */
int pick_target_framerate(int target_framerate, int newsps_framerate);

/* The rate the clip's video track is declared with: the integer half of the
 * target rate plus the clip-start SPS's own rate, as an 8-bit value. */
uint8_t clip_framerate(int target_rate, int clip_start_framerate);

/* Repeats one channel-1 read until it succeeds (0), sleeping until the
 * channel's next put between attempts: type 7, 8, 5 the newest SPS, PPS, I
 * frame (searched at most once a second, however many other frames come);
 * any other type the frame after *cursor.  A stop request (SIGTERM, SIGINT,
 * SIGHUP) ends the wait with -1 within 400 ms. */
int get_next_video_frame(int type, uint8_t *buffer, int *cursor, FrameInfo *record);

/* The same for channel 4 (each attempt after a put): mode 9 the first frame
 * at or after ts, any other mode the frame after *cursor; -1 on a stop
 * request. */
int get_next_audio_frame(int mode, uint8_t *buffer, int *cursor, FrameInfo *record, uint32_t ts);

/* Writes one clip of `seconds` from the clip-start SPS held in buffer/record
 * (the record's framerate already the clip's).  0 when the clip is complete
 * under its final name; RECORD_CUT_SHORT when it is under its final name
 * but ended early (a stop request, a write error, a silent producer: one
 * line says why); -1 (after one line on stdout saying what failed, with no
 * file left under the final name) when not even its first checkpoint
 * could be made. */
int alarm_record_file(uint8_t *buffer, int *audio_cursor, int *video_cursor,
                      const FrameInfo *record, const char *name, int seconds);

/* The executable's whole run; main() returns its result. */
int alarm_record_main(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* RECORDER_RECORDER_H */

/*
 * media_ring.h - the media ring: six channels of recently encoded frames in
 * one shared-memory file, written by one producer process per channel and
 * read, without locks, by any number of other processes.
 *
 * This header compiles as C99 and as C++; every function has C linkage.
 * Results are 0 for success and -1 for failure.  Buffers belong to the
 * caller; nothing here allocates.
 *
 * This folder (include/media_ring/) is the whole public interface; the
 * ring's layout and internals are in the library's src/, out of reach.
 *
 * Host use: the ring file is "/home/vexlon/view".  When the environment
 * variable MEDIA_RING_PATH is set, MediaDataInit maps that file instead
 * (the variable is read at each mapping attempt, not on every operation).
 */
#ifndef MEDIA_RING_MEDIA_RING_H
#define MEDIA_RING_MEDIA_RING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Frame types: the H.264 NAL unit types a video frame carries in frameType.
 * MEDIA_FRAME_ANY is the readers' wildcard (except in MediaDataVideoGetByTs,
 * where it matches only frames whose frameType is 0).  Plain int constants,
 * so they mix with uint8_t fields in C and C++ alike. */
#define MEDIA_FRAME_ANY 0
#define MEDIA_FRAME_P 1
#define MEDIA_FRAME_I 5
#define MEDIA_FRAME_SPS 7
#define MEDIA_FRAME_PPS 8

/* Channels: 0..3 carry H.264 video, 4 and 5 AAC audio.  The alarm recorder
 * takes its video from channel 1 and its audio from channel 4. */
#define MEDIA_CH_MAIN_VIDEO 0
#define MEDIA_CH_RECORD_VIDEO 1
#define MEDIA_CH_VIDEO_2 2
#define MEDIA_CH_VIDEO_3 3
#define MEDIA_CH_RECORD_AUDIO 4
#define MEDIA_CH_AUDIO_5 5
#define MEDIA_CH_COUNT 6

/* The one answer to "is this an audio channel": 4 and 5.  Every other
 * number, invalid ones included, is not. */
static inline int MediaDataIsAudioChannel(int channel) {
    return channel == MEDIA_CH_RECORD_AUDIO || channel == MEDIA_CH_AUDIO_5;
}

/* One frame's description, handed in by the producer and copied out to
 * readers beside the payload.  24 bytes, native byte order. */
typedef struct FrameInfo {
    uint32_t framesize; /* payload length; the writer stores the put's length */
    uint32_t ts;        /* milliseconds; grows from older to newer frames     */
    uint8_t frameType;  /* H.264 NAL type: MEDIA_FRAME_P, _I, _SPS, _PPS      */
    uint8_t framerate;  /* frames per second of the stream                    */
    uint16_t seq;       /* video: the writer's per-process counter            */
    uint16_t width;     /* picture width in pixels                            */
    uint16_t height;    /* picture height in pixels                           */
    uint32_t sec;       /* the producer's whole-second count                  */
    uint32_t aux;       /* carried through unchanged                          */
} FrameInfo;            /* 24 bytes */

/* This process's mapping of the ring; NULL until a mapping succeeds. */
extern unsigned char *g_media_shm;

/* Levelled log: levels 0..4 go to stdout (flushed at once), 5+ are dropped. */
int media_printf(unsigned int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Region (offset from the data area, size) of channel 0..5; -1 otherwise. */
int MediaDataGetAddr(uint8_t channel, uint32_t *regionOffset, uint32_t *regionSize);

/* Opens or creates the file, brings it to `size` bytes (clearing it then),
 * maps it shared; returns the address or NULL.  `mode` is only printed. */
void *MediaDataCreatShareMem(const char *path, uint32_t size, int mode);

/* Maps the ring into g_media_shm (mode: 1 writer, 0 reader). 0 or -1. */
int MediaDataInit(int mode);

/* Stores one frame into channel 0..5, evicting the oldest frames it covers.
 * Exactly one process may put into a given channel, one call at a time. */
int MediaDataPut(int channel, const uint8_t *data, uint32_t length, const FrameInfo *info);

/* Readers.  Each copies one frame's payload into `buffer` (capacity
 * `bufferSize`) and its FrameInfo into `info`, stores the descriptor index in
 * `bdIndex` and returns 0: then payload and FrameInfo are those of one put,
 * whole.  Otherwise -1: nothing found, a framesize outside 5..0x60000 or
 * above `bufferSize`, a damaged descriptor (payload outside its region), or
 * a frame the writer changed while it was copied (a level-2 line says which;
 * after that last case `buffer` and `info` hold bytes that are no frame).
 * A search's `bdIndex` is written only with 0.  The next-frame readers move
 * it on two failures so that a follower never stalls and never goes back:
 * past a damaged descriptor, and to just before a frame changed under the
 * copy, so the next call looks at it again: evicted, it is passed over and
 * the reader, having fallen behind, goes on from the oldest frame within
 * the window or is moved to the newest SPS (audio: frame).  Readers look only at
 * frames within half a region of the writer, and never write the ring.
 * frameType 0 matches any type, except in MediaDataVideoGetByTs.
 *
 * Each descriptor carries a generation that the writer moves when it clears
 * it, and a read fails when it moved during the copy.  A
 * ring written by a producer built before the generation existed keeps it
 * at 0: readers then rely on re-checking the descriptor after the copy,
 * which is sound on x86 but not on every ARM core. */

/* clang-format off */
/* The oldest live frame of frameType (0: any type). */
int _MediaDataGetOldFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int frameType, int *bdIndex, FrameInfo *info);
/* The newest live frame of frameType (0: any type). */
int _MediaDataGetNewFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int frameType, int *bdIndex, FrameInfo *info);
/* The oldest I frame (type 5). */
int MediaDataVideoGetOldIFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The oldest SPS (type 7). */
int MediaDataVideoGetOldSPSFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The oldest PPS (type 8). */
int MediaDataVideoGetOldPPSFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The oldest frame of any type, on any channel despite the name. */
int MediaDataAudioGetOldFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The newest I frame (type 5). */
int MediaDataVideoGetNewIFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The newest SPS (type 7). */
int MediaDataVideoGetNewSPSFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The newest PPS (type 8). */
int MediaDataVideoGetNewPPSFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The newest frame of any type, on any channel despite the name. */
int MediaDataAudioGetNewFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The oldest live frame of any type whose ts is at least `ts`. */
int MediaDataAudioGetByTs(int channel, uint8_t *buffer, uint32_t bufferSize, uint32_t ts, int *bdIndex, FrameInfo *info);
/* The oldest live frame whose ts is at least `ts` and whose type is exactly frameType. */
int MediaDataVideoGetByTs(int channel, uint8_t *buffer, uint32_t bufferSize, uint32_t ts, int frameType, int *bdIndex, FrameInfo *info);
/* The oldest live frame at or after `ts` on the millisecond clock, which wraps
 * every 2^32 ms (49.7 days): a frame is at or after `ts` when its ts minus
 * `ts`, in 32-bit arithmetic, is below 2^31 (so up to 24.8 days later); and
 * whose type is frameType (0: any type).  The two searches above compare ts
 * as plain unsigned numbers (0 means "from the oldest"), so across a wrap
 * they take the frames from before it for the later ones; this one does not. */
int MediaDataGetSinceTs(int channel, uint8_t *buffer, uint32_t bufferSize, uint32_t ts, int frameType, int *bdIndex, FrameInfo *info);
/* The frame after *bdIndex, moving it there; one fallen behind jumps to the newest SPS (audio: frame). */
int MediaDataGetNextFrame(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* Only the FrameInfo of that next frame: buffer and *bdIndex stay, unless it has to jump. */
int MediaDataGetNextVideoFrameType(int channel, uint8_t *buffer, uint32_t bufferSize, int *bdIndex, FrameInfo *info);
/* The ts of the channel's newest I frame; above 5: channel 0's and -1; ring not mapped: -1. */
int MediaDataVideoGetNewestIFrameTs(uint32_t channel, uint32_t *ts);
/* clang-format on */

/* Waiting for a put instead of polling.  Each channel counts its puts in a
 * word of its control block; a reader sleeps until the count moves:
 *
 *     uint32_t count;
 *     for (;;) {
 *         if (MediaDataGetPutCount(ch, &count) != 0) break;       // take the count,
 *         if (MediaDataGetNextFrame(ch, buf, size, &bd, &info) == 0) {
 *             use(buf, &info);                                    // read what is there,
 *             continue;
 *         }
 *         MediaDataWaitPut(ch, count, 1000);                      // and only then sleep
 *     }
 *
 * A put between taking the count and the wait moves the count, so the wait
 * returns at once: no wakeup is lost.  Several readers may wait on one
 * channel.  To sleep, a reader sets bit 0 of the channel's wake word (ring
 * bytes 12..15 of the channel's control block), the one thing a reader ever
 * writes into the ring.  A producer built before the wake word existed never
 * moves it: waiters then wake only at their timeout, so a consumer that must
 * serve such producers passes a short one. */

/* Stores in *count a value that changes with every put into the channel
 * (compare it only for equality).  0, or -1 for a channel outside 0..5 or a
 * ring that cannot be mapped (mapped as by the readers). */
int MediaDataGetPutCount(int channel, uint32_t *count);

/* Returns 0 as soon as the channel's put count differs from `count` (at once
 * if it already does); -1 with errno ETIMEDOUT after `timeoutMs`
 * milliseconds without a put (a negative value waits without a limit), or
 * -1 with errno EINVAL at once for a bad channel or an unmappable ring. */
int MediaDataWaitPut(int channel, uint32_t count, int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* MEDIA_RING_MEDIA_RING_H */

/*
 * media_ring.h - the media ring: six channels of recently encoded frames in
 * one shared-memory file, written by one producer process per channel and
 * read, without locks, by any number of other processes.
 *
 * This header compiles as C99 and as C++; every function has C linkage.
 * Results are 0 for success and -1 for failure.  Buffers belong to the
 * caller; nothing here allocates.
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

/* One frame's description, handed in by the producer and copied out to
 * readers beside the payload.  24 bytes, native byte order. */
typedef struct FrameInfo {
    uint32_t framesize; /* payload length; the writer stores the put's length */
    uint32_t ts;        /* milliseconds; grows from older to newer frames     */
    uint8_t frameType;  /* H.264 NAL type: 1 P, 5 I, 7 SPS, 8 PPS             */
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

#ifdef __cplusplus
}
#endif

#endif /* MEDIA_RING_MEDIA_RING_H */

/*
 * status_block.h - the layout of the device's status block: a 13900-byte
 * shared file kept by another process of the device (on a host, by the
 * simulated producer ring_feed) and mapped read-only by the alarm recorder.
 * Only three 32-bit fields are defined; the rest is not interpreted here.
 *
 * Why beside the ring's public header: its writer and its reader must agree
 * on these offsets, and both already depend on the ring's public interface
 * (the producer side that keeps the block puts frames; the recorder reads
 * them), so this is the one include directory both see without a new
 * dependency.  It is plain C99 with no ring internals, and it is installed
 * with the ring's header so an outside process that keeps the block can use
 * it too.  The ring library itself never touches the status block.
 */
#ifndef MEDIA_RING_STATUS_BLOCK_H
#define MEDIA_RING_STATUS_BLOCK_H

#include <stdint.h>

#define STATUS_BLOCK_PATH "/home/mmap_tmpfs/mmap.info"
#define STATUS_BLOCK_PATH_ENV "MEDIA_STATUS_PATH" /* names another file on a host */
#define STATUS_BLOCK_SIZE 13900

/* Byte offsets of the fields read; each a native, aligned, signed 32-bit word. */
#define STATUS_SYS_TICK 1168         /* system tick count; printed only       */
#define STATUS_MOTION_TIME 1852      /* tick of the last motion event; printed */
#define STATUS_TARGET_FRAMERATE 2352 /* frames per second the clip should have */

#endif /* MEDIA_RING_STATUS_BLOCK_H */

// status_block.h - the device's status block, kept by another process and
// mapped read-only by the recorder.  Only three 32-bit fields are read; the
// rest of its 13900 bytes is not interpreted here.
#ifndef RECORDER_STATUS_BLOCK_H
#define RECORDER_STATUS_BLOCK_H

#include <stdint.h>

#define STATUS_BLOCK_PATH "/home/mmap_tmpfs/mmap.info"
#define STATUS_BLOCK_PATH_ENV "MEDIA_STATUS_PATH" /* names another file on a host */
#define STATUS_BLOCK_SIZE 13900

/* Byte offsets of the fields read; each a native, aligned, signed 32-bit word. */
#define STATUS_SYS_TICK 1168         /* system tick count; printed only       */
#define STATUS_MOTION_TIME 1852      /* tick of the last motion event; printed */
#define STATUS_TARGET_FRAMERATE 2352 /* frames per second the clip should have */

#endif /* RECORDER_STATUS_BLOCK_H */

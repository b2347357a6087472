/* The public header as a C99 producer sees it: compiles with -pedantic-errors
 * and links against the shared library.  Puts one frame into the ring file
 * named on the command line and reads its descriptor back through the file. */
#define _POSIX_C_SOURCE 200112L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "media_ring/media_ring.h"

int main(int argc, char **argv) {
    FrameInfo info;
    const uint8_t data[4] = {0, 0, 0, 1};
    uint32_t offset = 0, size = 0;
    if (argc < 2) return 2;
    setenv("MEDIA_RING_PATH", argv[1], 1);
    remove(argv[1]);
    memset(&info, 0, sizeof info);
    info.ts = 1234;
    info.frameType = MEDIA_FRAME_I;
    if (sizeof(FrameInfo) != 24) return 3;
    /* The named constants and the inline answer, as a C99 producer uses them. */
    if (!MediaDataIsAudioChannel(MEDIA_CH_RECORD_AUDIO) ||
        MediaDataIsAudioChannel(MEDIA_CH_VIDEO_3))
        return 8;
    if (MediaDataGetAddr(1, &offset, &size) != 0 || offset != 0x200000 || size != 0x80000) return 4;
    if (MediaDataPut(MEDIA_CH_RECORD_VIDEO, data, sizeof data, &info) != 0) return 5;
    if (g_media_shm == NULL) return 6;
    /* bd[0] of channel 1: valid 1, shm_offset 64, framesize 4. */
    {
        const unsigned char *bd = g_media_shm + 16016 + 16;
        uint32_t shm_offset, framesize;
        memcpy(&shm_offset, bd + 4, 4);
        memcpy(&framesize, bd + 8, 4);
        if (bd[0] != 1 || shm_offset != 64 || framesize != 4) return 7;
    }
    remove(argv[1]);
    puts("c producer ok");
    return 0;
}

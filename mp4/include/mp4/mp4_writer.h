/*
 * mp4_writer.h - what this project's MP4 writer offers beyond the mp4v2
 * calls of <mp4v2/mp4v2.h>.  C linkage; compiles as C99 and as C++.
 */
#ifndef MP4_MP4_WRITER_H
#define MP4_MP4_WRITER_H

#include <mp4v2/mp4v2.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where a clip's bytes go: a file descriptor (MP4CreateClipOnFd), or any
 * other store, such as a test's record of every write and flush. */
typedef struct MP4Output {
    void *self;
    /* Writes n bytes at offset; false (errno set) when they were not all written. */
    bool (*write_at)(void *self, uint64_t offset, const uint8_t *data, uint32_t n);
    /* Makes every write so far durable; false (errno set) on failure. */
    bool (*sync)(void *self);
} MP4Output;

/* Room a clip's movie box keeps for its tables to grow into, per track:
 * the most samples and chunks a track may get, and how many different
 * sample durations in a row (stts runs) it may have.  A clip that outgrows
 * it is still written whole, with its movie box at the end. */
typedef struct MP4ClipReserve {
    uint32_t video_samples;
    uint32_t audio_samples;
    uint32_t chunks;
    uint32_t video_durations;
    uint32_t audio_durations;
} MP4ClipReserve;

/* A clip whose movie box comes first and is kept current: the file is
 * ftyp, a free box, three slots for the movie box, then mdat.  The head
 * (ftyp, iods, default brands) is that of MP4CreateEx(name, 0, 1, 1, NULL,
 * 0, NULL, 0).  Until the first MP4Checkpoint the file holds no movie box.
 * The output must stay valid until the file is closed. */
MP4FileHandle MP4CreateClip(const MP4Output *output, const MP4ClipReserve *reserve);
/* The same on an open, empty, writable file; the descriptor stays the
 * caller's (it is neither closed nor locked here). */
MP4FileHandle MP4CreateClipOnFd(int fd, const MP4ClipReserve *reserve);

/* Makes every sample written so far that sits in a written chunk durable,
 * then publishes a movie box that describes exactly those samples.  At
 * every instant from the first checkpoint on, the file is a playable MP4
 * with one movie box; after a power cut it holds at least the samples of
 * the checkpoint before the last one.  False after a write or flush error
 * (the file then keeps the last checkpoint's movie box).  One flush per
 * call; a file made by MP4CreateEx has nothing to do and answers true. */
bool MP4Checkpoint(MP4FileHandle hFile);

/* Starts the track's presentation `delay_ms` after the movie's start (an
 * empty edit ahead of its media), so a track whose first sample came later
 * than another's plays in step with it.  0 removes the delay. */
bool MP4SetTrackStartDelay(MP4FileHandle hFile, MP4TrackId trackId, uint32_t delay_ms);

/* MP4Close that says whether the file was written whole: true when every
 * write since its creation succeeded and the movie box is in place (for a
 * clip, also flushed to storage); false
 * after any write error (the file is still closed) or for a handle that is
 * not open.  The handle is invalid afterwards. */
bool MP4CloseChecked(MP4FileHandle hFile);

#ifdef __cplusplus
}
#endif

#endif /* MP4_MP4_WRITER_H */

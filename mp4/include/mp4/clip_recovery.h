/*
 * clip_recovery.h - turning what storage holds of an unfinished clip into a
 * finished MP4: after a kill or a power cut (clip_recover), or after a
 * write error (the recorder).  C linkage; compiles as C99 and as C++.
 */
#ifndef MP4_CLIP_RECOVERY_H
#define MP4_CLIP_RECOVERY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum MP4Recovered {
    MP4_RECOVERED_WHOLE = 0,   /* every sample the file's movie box describes is kept */
    MP4_RECOVERED_NOTHING = 1, /* no movie box with its samples present: file untouched */
    MP4_RECOVERED_CUT = 3      /* an older movie box of the file was kept: samples lost */
} MP4Recovered;

typedef struct MP4RecoveryReport {
    uint32_t video_samples; /* samples of the movie box kept, per track kind */
    uint32_t audio_samples;
    uint64_t bytes_cut;     /* bytes removed from the end of the file */
} MP4RecoveryReport;

/* Makes the file open on `fd` (read and write; a regular file) a finished
 * MP4 from what it holds: the movie box H points at when all its samples'
 * bytes are there, else the newest other slot's whose are; the mdat's size
 * set and anything after the last kept sample (and the movie box, when it
 * follows the media) cut off; then fdatasync.  A finished file, or one with
 * its movie box at the end, is kept as it is when whole.  `report` may be
 * NULL.
 *
 * A movie box is kept only when each track's tables agree with each other
 * and every chunk's bytes lie in the mdat as far as the file holds it; one
 * that describes no sample at all is not kept.  MP4_RECOVERED_NOTHING with
 * errno 0: no movie box qualified, and nothing was written.  With errno
 * set: a system call failed (the report's counts are then 0); a read error
 * comes before any write, and a failed write or flush leaves the file in
 * one of the repair's intermediate states, from which a later call makes
 * the same choice and finishes it.  Not thread-safe against other writers
 * of the file: the caller excludes them (clip_recover takes a flock). */
MP4Recovered MP4RecoverClip(int fd, MP4RecoveryReport *report);

#ifdef __cplusplus
}
#endif

#endif /* MP4_CLIP_RECOVERY_H */

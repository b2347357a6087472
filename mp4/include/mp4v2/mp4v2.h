/*
 * mp4v2.h - the MP4 file writer the alarm clip recorder writes its clips
 * with: H.264 and AAC tracks, samples in chunks of about a second of each
 * track, the movie box after the media data.
 *
 * These are the calls of the mp4v2 2.x interface the recorder makes, with
 * the same declarations, so the recorder builds unchanged against either
 * this writer or an installed mp4v2.  Compiles as C99 and as C++; every
 * function has C linkage and returns normally on any argument: an unknown
 * or closed handle, a wrong track id or a null pointer gives false, an
 * invalid id or nothing.
 *
 * Files are written with 32-bit box sizes and chunk offsets; a sample that
 * would take the file past 4 GiB is refused.
 */
#ifndef MP4V2_MP4V2_H
#define MP4V2_MP4V2_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void *MP4FileHandle;
typedef uint32_t MP4TrackId;
typedef uint64_t MP4Duration;

#define MP4_INVALID_FILE_HANDLE ((MP4FileHandle)NULL)
#define MP4_INVALID_TRACK_ID ((MP4TrackId)0)
#define MP4_INVALID_DURATION ((MP4Duration)-1)
#define MP4_MPEG4_AUDIO_TYPE 0x40

/* Creates (truncates) `fileName`; writes an ftyp box now when `add_ftyp`
 * (major brand `majorBrand` or "mp42", compatible brands as given or
 * "mp42", "isom") and an iods box into the movie when `add_iods`.  `flags`
 * is accepted for compatibility; boxes are always 32-bit.  Returns
 * MP4_INVALID_FILE_HANDLE when the file cannot be created or written. */
MP4FileHandle MP4CreateEx(const char *fileName, uint32_t flags, int add_ftyp, int add_iods,
                          char *majorBrand, uint32_t minorVersion, char **compatibleBrands,
                          uint32_t compatibleBrandsCount);

/* Adds an H.264 track; samples are NAL units each preceded by its length in
 * `sampleLenFieldSizeMinusOne` + 1 bytes.  Returns the track id or
 * MP4_INVALID_TRACK_ID. */
MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne);

/* Adds a parameter set NAL unit (header byte first, no start code) to an
 * H.264 track.  One identical to a set already held is not stored again.
 * Before the track's current sample description has samples, sets join it
 * (one with the id of a held set replaces it); once it has samples, a
 * differing set starts a new sample description for the samples after it,
 * and the first of those samples is stored with the new description's SPS
 * and PPS in front of its NAL units (each behind a length field of the
 * track's size, counted in the sample's size), for players that keep
 * decoding with the first description. */
void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t *pSequence, uint16_t sequenceLen);
void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t *pPict,
                                   uint16_t pictLen);

/* Adds an audio track of object type `audioType` (MP4_MPEG4_AUDIO_TYPE for
 * AAC).  Returns the track id or MP4_INVALID_TRACK_ID. */
MP4TrackId MP4AddAudioTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                            uint8_t audioType);

/* Sets an audio track's decoder configuration (the AudioSpecificConfig for
 * AAC, which also gives the channel count). */
bool MP4SetTrackESConfiguration(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t *pConfig,
                                uint32_t configSize);

/* Names a track (stored in the track's udta/name box). */
bool MP4SetTrackName(MP4FileHandle hFile, MP4TrackId trackId, const char *name);

/* Appends one sample; `duration` MP4_INVALID_DURATION takes the track's
 * fixed sample duration.  Returns false when the sample is refused (bad
 * arguments, the 4 GiB bound) or when the file could not be written; after
 * a write error every further sample is refused. */
bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t *pBytes,
                    uint32_t numBytes, MP4Duration duration, MP4Duration renderingOffset,
                    bool isSyncSample);

/* Writes what is pending and the movie box, and closes the file.  The
 * handle is invalid afterwards.  `flags` is accepted for compatibility. */
void MP4Close(MP4FileHandle hFile, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif /* MP4V2_MP4V2_H */

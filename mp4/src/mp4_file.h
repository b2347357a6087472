// mp4_file.h - a file being written: the head (ftyp, mdat header) at
// creation, chunks of media as they fill, the movie box at the end.
//
// Layout: [ftyp] mdat moov.  Each track fills one pending chunk in memory;
// a chunk is written with one write() once it holds a second of media
// (the sample that reaches the second closes it), when its sample
// description changes, when it grows past kMaxChunkBytes, and at the end.
// Chunks of different tracks therefore interleave in the order they fill.
// The file is never read back: the only write before the current end is
// the mdat size, patched in at the end.
#ifndef MP4_SRC_MP4_FILE_H
#define MP4_SRC_MP4_FILE_H

#include <cstdint>

#include "growable_array.h"
#include "track.h"

namespace mp4 {

// Box sizes and chunk offsets are 32-bit: the whole file, movie box
// included, stays below 4 GiB.
constexpr uint64_t kMaxFileSize = UINT32_MAX;
// Bound on one pending chunk, for tracks whose second of media is large.
constexpr uint32_t kMaxChunkBytes = 4u << 20;

class Mp4File {
  public:
    struct Head {
        bool ftyp;
        bool iods;
        const char *major_brand;  // nullptr: "mp42"
        uint32_t minor_version;
        char **compatible_brands;  // nullptr or none: major brand, "isom"
        uint32_t compatible_count;
    };

    // Creates (truncates) `path` and writes the head; nullptr when the file
    // cannot be created or written.
    static Mp4File *create(const char *path, const Head &head);

    Mp4File() = default;
    ~Mp4File();
    Mp4File(const Mp4File &) = delete;
    Mp4File &operator=(const Mp4File &) = delete;

    // Track ids count from 1; 0 when the track cannot be added.
    uint32_t add_video_track(uint32_t timescale, uint64_t sample_duration, uint16_t width,
                             uint16_t height, uint8_t profile, uint8_t compat, uint8_t level,
                             uint8_t length_size_minus_one);
    uint32_t add_audio_track(uint32_t timescale, uint64_t sample_duration, uint8_t audio_type);
    Track *track(uint32_t id);

    // `duration` UINT64_MAX: the track's fixed duration.  False when the
    // sample is refused or the file cannot be written.
    bool write_sample(Track &t, const uint8_t *bytes, uint32_t size, uint64_t duration,
                      uint64_t rendering_offset, bool sync);

    // Writes the pending chunks and the movie box and closes the file;
    // true when every write of the file succeeded.  After a write error
    // the file is only closed.
    bool finish();

    Mp4File *next_open = nullptr;  // link of the API's list of open files

  private:
    Track *add_track(TrackKind kind, uint32_t timescale, uint64_t sample_duration);
    bool flush(Track &t);
    bool write_out(const uint8_t *p, uint32_t n);

    int fd_ = -1;
    uint64_t end_ = 0;  // bytes written so far; the file's size
    uint64_t mdat_start_ = 0;
    uint64_t pending_bytes_ = 0;  // in all tracks' pending chunks
    uint32_t creation_time_ = 0;  // seconds since 1904-01-01
    bool iods_ = false;
    bool failed_ = false;
    GrowableArray<Track *> tracks_;
};

}  // namespace mp4

#endif  // MP4_SRC_MP4_FILE_H

// mp4_file.h - a file being written: the head at creation, chunks of media
// as they fill, and the movie box: at the end, or first and kept current.
//
// Two layouts.  MP4CreateEx: [ftyp] mdat moov, the movie box written once
// at the end.  MP4CreateClip: ftyp H slot0 slot1 slot2 mdat, the movie box
// in one of three slots (see the durability comment in mp4_file.cpp).
//
// Each track fills one pending chunk in memory;
// a chunk is written with one write() once it holds a second of media
// (the sample that reaches the second closes it), when its sample
// description changes, when it grows past kMaxChunkBytes, and at the end.
// Chunks of different tracks therefore interleave in the order they fill.
// The file is never read back; writes before the current end are the mdat
// size, patched in at the end, and the movie box slots and H.
#ifndef MP4_SRC_MP4_FILE_H
#define MP4_SRC_MP4_FILE_H

#include <cstdint>

#include <mp4/mp4_writer.h>

#include "growable_array.h"
#include "sample_table.h"
#include "track.h"

namespace mp4 {

// Box sizes and chunk offsets are 32-bit: the whole file, movie box
// included, stays below 4 GiB.
constexpr uint64_t kMaxFileSize = UINT32_MAX;
// Bound on one pending chunk, for tracks whose second of media is large.
constexpr uint32_t kMaxChunkBytes = 4u << 20;

// An output that writes to `fd` with pwrite() and flushes with fdatasync().
MP4Output fd_output(int fd);

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
    // A clip with its movie box first, written through `out`.
    static Mp4File *create_clip(const MP4Output &out, const Head &head,
                                const MP4ClipReserve &reserve);

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

    // Flush, then publish a movie box of the written chunks (clips only).
    bool checkpoint();

    // Writes the pending chunks and the movie box and closes the file;
    // true when every write of the file succeeded.  After a write error
    // the file is only closed.
    bool finish();

    Mp4File *next_open = nullptr;  // link of the API's list of open files

  private:
    static constexpr int kSlots = 3;

    Track *add_track(TrackKind kind, uint32_t timescale, uint64_t sample_duration);
    bool flush(Track &t);
    bool write_out(const uint8_t *p, uint32_t n);
    bool write_at(uint64_t offset, const uint8_t *p, uint32_t n);
    bool sync();
    bool write_head(const Head &head);
    bool build_slot_image(int slot);
    bool write_slot_image(int slot);
    bool point_h_at(int slot);
    bool patch_mdat_size(uint64_t media_end);

    MP4Output out_{};
    int owned_fd_ = -1;  // the file MP4CreateEx opened, closed at the end
    bool open_ = false;
    uint64_t end_ = 0;  // bytes written so far; the file's size
    uint64_t mdat_start_ = 0;
    uint64_t pending_bytes_ = 0;  // in all tracks' pending chunks
    uint32_t creation_time_ = 0;  // seconds since 1904-01-01
    bool iods_ = false;
    bool failed_ = false;
    GrowableArray<Track *> tracks_;

    // The clip layout: H's offset, the slots' size, the slot H points to
    // (-1: none yet), what each slot holds on storage (zeros beyond), the
    // tables' reserved room per track kind, and whether a movie box ever
    // outgrew its slot (it then goes to the end).
    bool moov_first_ = false;
    uint64_t h_at_ = 0;
    uint64_t slot_size_ = 0;
    int active_slot_ = -1;
    GrowableArray<uint8_t> slot_on_storage_[kSlots];
    GrowableArray<uint8_t> image_;
    TableCapacity capacity_[2] = {};  // video, audio (as Movie::capacity)
    bool outgrown_ = false;
};

}  // namespace mp4

#endif  // MP4_SRC_MP4_FILE_H

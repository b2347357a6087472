// movie_box.h - the moov box describing the samples in written chunks (all
// of them once the file is finished), and a bound on its size that lets
// the writer refuse a sample before the file outgrows 4 GiB.
#ifndef MP4_SRC_MOVIE_BOX_H
#define MP4_SRC_MOVIE_BOX_H

#include <cstdint>

#include "growable_array.h"
#include "track.h"

namespace mp4 {

struct Movie {
    Track *const *tracks;
    uint32_t track_count;
    bool iods;
    uint32_t creation_time;  // seconds since 1904-01-01
    // Room for the tables to grow into (see TableCapacity), of video tracks
    // and of audio tracks; nullptr reserves none.
    const TableCapacity *capacity = nullptr;
};

// Appends the moov box to `out`; false when out of memory.  Samples still
// in a pending chunk are not described.
bool build_movie_box(const Movie &movie, GrowableArray<uint8_t> &out);

// At least the size of the moov box after one more sample of any track and
// the chunks still pending have been written.
uint64_t movie_box_size_bound(const Movie &movie);

}  // namespace mp4

#endif  // MP4_SRC_MOVIE_BOX_H

// track.h - one track of a file being written: its declaration, its sample
// tables and the chunk it is filling.
#ifndef MP4_SRC_TRACK_H
#define MP4_SRC_TRACK_H

#include <cstdint>

#include "avc_sample_entries.h"
#include "growable_array.h"
#include "sample_table.h"

namespace mp4 {

enum class TrackKind : uint8_t { kVideo, kAudio };

// Samples of one track waiting to be written as one chunk.  All of them
// belong to one sample description, since stsc gives one per chunk.
struct PendingChunk {
    GrowableArray<uint8_t> bytes;
    uint32_t samples = 0;
    uint64_t duration = 0;
    uint32_t sdi = 0;  // sample description index of the samples
};

struct Track {
    TrackKind kind = TrackKind::kVideo;
    uint32_t id = 0;
    uint32_t timescale = 0;
    uint64_t fixed_duration = 0;  // used for samples written without one

    SampleTable table;
    PendingChunk chunk;
    uint32_t max_bitrate = 0;  // highest of the written chunks, bits per second

    // Video: the avc1 descriptions and the NAL length field size - 1.
    AvcSampleEntries avc;
    uint8_t length_size_minus_one = 3;

    // Audio: object type and decoder specific configuration.
    uint8_t audio_type = 0;
    GrowableArray<uint8_t> es_config;

    GrowableArray<uint8_t> name;  // without terminator; no udta when empty

    // Presentation starts this many movie ticks (ms) after the movie's
    // start: an empty edit ahead of the media (edts/elst); 0: no edit list.
    uint32_t start_delay = 0;
};

}  // namespace mp4

#endif  // MP4_SRC_TRACK_H

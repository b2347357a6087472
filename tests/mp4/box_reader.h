// box_reader.h - the tests' own reading of an MP4 file: the box tree and
// each track's tables, decoded from the bytes without the writer's code.
#ifndef TESTS_MP4_BOX_READER_H
#define TESTS_MP4_BOX_READER_H

#include <cstdint>
#include <string>
#include <vector>

namespace box_reader {

using Bytes = std::vector<uint8_t>;

struct Box {
    std::string type;
    uint64_t offset = 0;  // in the file
    uint64_t size = 0;
    std::vector<Box> children;

    uint64_t body() const { return offset + 8; }
    // First child of that type (nullptr: none); "a/b/c" walks down.
    const Box *find(const std::string &path) const;
    std::vector<const Box *> all(const std::string &type) const;
};

struct SampleEntry {
    std::string type;                // "avc1", "mp4a"
    uint16_t width = 0, height = 0;  // avc1
    Bytes avcc;                      // avc1: avcC payload
    uint16_t channels = 0;           // mp4a
    uint32_t sample_rate = 0;        // mp4a, integer part
    uint8_t object_type = 0;         // mp4a: esds objectTypeIndication
    uint8_t stream_type = 0;         // mp4a: esds streamType
    Bytes decoder_config;            // mp4a: esds DecoderSpecificInfo
};

struct Sample {
    uint64_t offset;
    uint32_t size;
    uint32_t chunk;  // 1-based
    uint32_t sdi;    // 1-based sample description index
};

struct Track {
    uint32_t id = 0;
    std::string handler;
    uint32_t tkhd_duration = 0;
    uint32_t tkhd_width = 0, tkhd_height = 0;  // 16.16
    uint32_t timescale = 0;
    uint32_t mdhd_duration = 0;
    std::vector<SampleEntry> entries;
    std::vector<std::pair<uint32_t, uint32_t>> stts;  // count, delta
    bool has_ctts = false;
    std::vector<std::pair<uint32_t, uint32_t>> ctts;  // count, offset
    uint32_t stsz_sample_size = 0;
    uint32_t stsz_count = 0;
    std::vector<uint32_t> sizes;  // one per sample, also for a uniform stsz
    struct Stsc {
        uint32_t first_chunk, samples_per_chunk, sdi;
        bool operator==(const Stsc &) const = default;
    };
    std::vector<Stsc> stsc;
    std::vector<uint32_t> chunk_offsets;
    bool has_stss = false;
    std::vector<uint32_t> sync_samples;
    bool has_name = false;
    std::string name;             // udta/name payload
    std::vector<Sample> samples;  // expanded from the tables
};

struct File {
    Bytes bytes;
    std::vector<Box> top;
    bool ok = false;  // every box lies within its parent and the file
    uint32_t movie_timescale = 0, movie_duration = 0, next_track_id = 0;
    std::vector<Track> tracks;

    const Box *find(const std::string &type) const;
    Bytes slice(uint64_t offset, uint64_t size) const;
    uint32_t u32(uint64_t at) const;
    uint16_t u16(uint64_t at) const;
    // "ftyp mdat moov" style list of top-level boxes.
    std::string top_order() const;
};

File read(const std::string &path, bool open_mdat = false);
// `open_mdat`: also an unfinished file, whose last top-level box is an mdat
// of size 0 ("to the end of the file").
File parse(Bytes bytes, bool open_mdat = false);

// NAL units as a sample carries parameter sets in band: each behind its
// big-endian length in `length_size` bytes; a unit too long for that field
// is left out.
Bytes length_prefixed(const std::vector<Bytes> &nals, int length_size = 4);

}  // namespace box_reader

#endif  // TESTS_MP4_BOX_READER_H

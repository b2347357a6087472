// sample_table.h - one track's sample tables, kept in memory while the
// media is written and serialised into its stbl: at every checkpoint for
// the samples already in written chunks, and at the end for all of them.
//
// Runs are merged as samples arrive, so a track of fixed-duration samples
// costs one stts entry, and a chunk layout that repeats one stsc entry; the
// per-sample cost is its size (stsz) and, for sync samples of a track that
// has non-sync ones too, its number (stss).
#ifndef MP4_SRC_SAMPLE_TABLE_H
#define MP4_SRC_SAMPLE_TABLE_H

#include <cstdint>

#include "box_writer.h"
#include "growable_array.h"

namespace mp4 {

// Room kept in a movie box for a track's tables to grow into, so that a
// later movie box lays every table out at the same place and only the new
// entries differ.  Each table is followed by a `free` box up to its
// reserved size; 0 everywhere reserves nothing and writes no free boxes.
struct TableCapacity {
    uint32_t samples;    // stsz and stss entries
    uint32_t chunks;     // stco and stsc entries
    uint32_t durations;  // stts runs
};

class SampleTable {
  public:
    // Records one sample; all or nothing (false: out of memory).
    bool add_sample(uint32_t size, uint32_t duration, uint32_t rendering_offset, bool sync);
    // Records a chunk at file offset `offset` holding the `samples` samples
    // recorded after the previous chunk, all of sample description `sdi`,
    // lasting `duration` together.
    bool add_chunk(uint32_t offset, uint32_t samples, uint32_t sdi, uint64_t duration);

    uint32_t sample_count() const { return sizes_.size(); }
    // Samples in the chunks recorded so far, and their duration: what a
    // movie box may describe while later samples still wait in memory.
    uint32_t chunked_samples() const { return chunked_samples_; }
    uint64_t chunked_duration() const { return chunked_duration_; }
    uint32_t chunk_count() const { return chunk_offsets_.size(); }
    uint64_t duration() const { return duration_; }
    uint64_t total_bytes() const { return total_bytes_; }
    uint32_t max_sample_size() const { return max_sample_size_; }

    // stts, ctts (only when some rendering offset is not 0), stsz, stsc,
    // stco, stss (only when some sample is not a sync sample), describing
    // the chunked samples; each table padded to `cap` by a free box.
    void write_boxes(BoxWriter &w, const TableCapacity &cap) const;
    // The bytes write_boxes() takes with `cap` while nothing outgrows it.
    static uint64_t reserved_size(const TableCapacity &cap);

    struct Run {
        uint32_t count;
        uint32_t value;
    };

  private:
    struct ChunkRun {
        uint32_t first_chunk;
        uint32_t samples_per_chunk;
        uint32_t sdi;
    };
    static bool extend(GrowableArray<Run> &runs, uint32_t value);

    GrowableArray<Run> stts_;
    GrowableArray<Run> ctts_;  // empty while every offset so far is 0
    GrowableArray<uint32_t> sizes_;
    GrowableArray<uint32_t> sync_numbers_;
    GrowableArray<ChunkRun> stsc_;
    GrowableArray<uint32_t> chunk_offsets_;
    uint64_t duration_ = 0;
    uint32_t chunked_samples_ = 0;
    uint64_t chunked_duration_ = 0;
    uint64_t total_bytes_ = 0;
    uint32_t max_sample_size_ = 0;
};

}  // namespace mp4

#endif  // MP4_SRC_SAMPLE_TABLE_H

// sample_table.cpp - sample bookkeeping and the stbl tables.
#include "sample_table.h"

namespace mp4 {

bool SampleTable::extend(GrowableArray<Run> &runs, uint32_t value) {
    if (!runs.empty() && runs.back().value == value) {
        ++runs.back().count;
        return true;
    }
    return runs.push_back(Run{1, value});
}

bool SampleTable::add_sample(uint32_t size, uint32_t duration, uint32_t rendering_offset,
                             bool sync) {
    const uint64_t next = uint64_t{sizes_.size()} + 1;
    // Reserve everything first so that no table grows without the others.
    const bool ctts_starts = ctts_.empty() && rendering_offset != 0;
    const bool ctts_used = ctts_starts || !ctts_.empty();
    if (!sizes_.reserve(next) || !sync_numbers_.reserve(next) ||
        !stts_.reserve(uint64_t{stts_.size()} + 1) ||
        (ctts_used && !ctts_.reserve(uint64_t{ctts_.size()} + 2)))
        return false;

    // The zero offsets of the samples before the first non-zero one.
    if (ctts_starts && !sizes_.empty()) ctts_.push_back(Run{sizes_.size(), 0});
    if (!ctts_.empty()) extend(ctts_, rendering_offset);
    extend(stts_, duration);
    sizes_.push_back(size);
    if (sync) sync_numbers_.push_back(sizes_.size());
    duration_ += duration;
    total_bytes_ += size;
    if (size > max_sample_size_) max_sample_size_ = size;
    return true;
}

bool SampleTable::add_chunk(uint32_t offset, uint32_t samples, uint32_t sdi) {
    if (!chunk_offsets_.reserve(uint64_t{chunk_offsets_.size()} + 1) ||
        !stsc_.reserve(uint64_t{stsc_.size()} + 1))
        return false;
    chunk_offsets_.push_back(offset);
    if (stsc_.empty() || stsc_.back().samples_per_chunk != samples || stsc_.back().sdi != sdi)
        stsc_.push_back(ChunkRun{chunk_offsets_.size(), samples, sdi});
    return true;
}

void SampleTable::write_boxes(BoxWriter &w) const {
    w.full_box("stts", 0, 0, [&] {
        w.u32(stts_.size());
        for (const Run &r : stts_) {
            w.u32(r.count);
            w.u32(r.value);
        }
    });
    if (!ctts_.empty()) {
        w.full_box("ctts", 0, 0, [&] {
            w.u32(ctts_.size());
            for (const Run &r : ctts_) {
                w.u32(r.count);
                w.u32(r.value);
            }
        });
    }
    w.full_box("stsz", 0, 0, [&] {
        // One size for all samples needs no table.
        bool uniform = !sizes_.empty();
        for (uint32_t s : sizes_) uniform = uniform && s == sizes_[0];
        w.u32(uniform ? sizes_[0] : 0);
        w.u32(sizes_.size());
        if (!uniform)
            for (uint32_t s : sizes_) w.u32(s);
    });
    w.full_box("stsc", 0, 0, [&] {
        w.u32(stsc_.size());
        for (const ChunkRun &r : stsc_) {
            w.u32(r.first_chunk);
            w.u32(r.samples_per_chunk);
            w.u32(r.sdi);
        }
    });
    w.full_box("stco", 0, 0, [&] {
        w.u32(chunk_offsets_.size());
        for (uint32_t o : chunk_offsets_) w.u32(o);
    });
    // Without stss every sample is a sync sample.
    if (sync_numbers_.size() != sizes_.size()) {
        w.full_box("stss", 0, 0, [&] {
            w.u32(sync_numbers_.size());
            for (uint32_t n : sync_numbers_) w.u32(n);
        });
    }
}

}  // namespace mp4

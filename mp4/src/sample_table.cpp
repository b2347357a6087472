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
    // The chunk holds the next `samples` samples in order; their duration
    // is taken from the stts runs where the previous chunk left off.
    uint32_t left = samples < sizes_.size() - chunked_samples_ ? samples
                                                              : sizes_.size() - chunked_samples_;
    chunked_samples_ += left;
    while (left > 0 && duration_run_ < stts_.size()) {
        const Run &r = stts_[duration_run_];
        if (duration_run_used_ == r.count) {  // used up: on to the next run, if any yet
            if (duration_run_ + 1 == stts_.size()) break;
            ++duration_run_;
            duration_run_used_ = 0;
            continue;
        }
        const uint32_t rest = r.count - duration_run_used_;
        const uint32_t take = rest < left ? rest : left;
        chunked_duration_ += uint64_t{take} * r.value;
        duration_run_used_ += take;
        left -= take;
    }
    if (stsc_.empty() || stsc_.back().samples_per_chunk != samples || stsc_.back().sdi != sdi)
        stsc_.push_back(ChunkRun{chunk_offsets_.size(), samples, sdi});
    return true;
}

namespace {

// Header, entry count and the following free box's header.
constexpr uint64_t kTableOverhead = 16 + 8;

// A free box taking the bytes from `written` up to `reserved`; none when
// there is no room for one (the layout then shifts, which costs bytes
// written, never correctness).
void pad_to(BoxWriter &w, uint64_t written, uint64_t reserved) {
    if (reserved < written + 8) return;
    const uint64_t n = reserved - written;
    w.u32(static_cast<uint32_t>(n));
    w.fourcc("free");
    w.zeros(static_cast<uint32_t>(n - 8));
}

}  // namespace

uint64_t SampleTable::reserved_size(const TableCapacity &cap) {
    if (cap.samples == 0 && cap.chunks == 0 && cap.durations == 0) return 0;
    return (kTableOverhead + 8ull * cap.durations) + (kTableOverhead + 4 + 4ull * cap.samples) +
           (kTableOverhead + 12ull * cap.chunks) + (kTableOverhead + 4ull * cap.chunks) +
           (kTableOverhead + 4ull * cap.samples);
}

void SampleTable::write_boxes(BoxWriter &w, const TableCapacity &cap) const {
    const bool padded = reserved_size(cap) > 0;
    const uint32_t n = chunked_samples_;
    uint32_t runs = 0;  // stts runs that reach into the first n samples
    for (uint32_t left = n; runs < stts_.size() && left > 0; ++runs)
        left -= stts_[runs].count < left ? stts_[runs].count : left;
    uint32_t syncs = 0;
    while (syncs < sync_numbers_.size() && sync_numbers_[syncs] <= n) ++syncs;

    uint64_t at = w.size();
    w.full_box("stts", 0, 0, [&] {
        w.u32(runs);
        uint32_t left = n;
        for (uint32_t i = 0; i < runs; ++i) {
            const uint32_t count = stts_[i].count < left ? stts_[i].count : left;
            w.u32(count);
            w.u32(stts_[i].value);
            left -= count;
        }
    });
    if (padded) pad_to(w, w.size() - at, kTableOverhead + 8ull * cap.durations);
    if (!ctts_.empty()) {
        w.full_box("ctts", 0, 0, [&] {
            uint32_t count = 0, left = n;
            for (uint32_t i = 0; i < ctts_.size() && left > 0; ++i, ++count)
                left -= ctts_[i].count < left ? ctts_[i].count : left;
            w.u32(count);
            left = n;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t c = ctts_[i].count < left ? ctts_[i].count : left;
                w.u32(c);
                w.u32(ctts_[i].value);
                left -= c;
            }
        });
    }
    at = w.size();
    w.full_box("stsz", 0, 0, [&] {
        // One size for all samples needs no table.
        bool uniform = n > 0;
        for (uint32_t i = 0; i < n; ++i) uniform = uniform && sizes_[i] == sizes_[0];
        w.u32(uniform ? sizes_[0] : 0);
        w.u32(n);
        if (!uniform)
            for (uint32_t i = 0; i < n; ++i) w.u32(sizes_[i]);
    });
    if (padded) pad_to(w, w.size() - at, kTableOverhead + 4 + 4ull * cap.samples);
    at = w.size();
    w.full_box("stsc", 0, 0, [&] {
        w.u32(stsc_.size());
        for (const ChunkRun &r : stsc_) {
            w.u32(r.first_chunk);
            w.u32(r.samples_per_chunk);
            w.u32(r.sdi);
        }
    });
    if (padded) pad_to(w, w.size() - at, kTableOverhead + 12ull * cap.chunks);
    at = w.size();
    w.full_box("stco", 0, 0, [&] {
        w.u32(chunk_offsets_.size());
        for (uint32_t o : chunk_offsets_) w.u32(o);
    });
    if (padded) pad_to(w, w.size() - at, kTableOverhead + 4ull * cap.chunks);
    at = w.size();
    // Without stss every sample is a sync sample.
    if (syncs != n) {
        w.full_box("stss", 0, 0, [&] {
            w.u32(syncs);
            for (uint32_t i = 0; i < syncs; ++i) w.u32(sync_numbers_[i]);
        });
    }
    if (padded) pad_to(w, w.size() - at, kTableOverhead + 4ull * cap.samples);
}

}  // namespace mp4

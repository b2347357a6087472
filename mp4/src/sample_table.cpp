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

bool SampleTable::add_chunk(uint32_t offset, uint32_t samples, uint32_t sdi, uint64_t duration) {
    if (!chunk_offsets_.reserve(uint64_t{chunk_offsets_.size()} + 1) ||
        !stsc_.reserve(uint64_t{stsc_.size()} + 1))
        return false;
    chunk_offsets_.push_back(offset);
    chunked_samples_ += samples;
    chunked_duration_ += duration;
    if (stsc_.empty() || stsc_.back().samples_per_chunk != samples || stsc_.back().sdi != sdi)
        stsc_.push_back(ChunkRun{chunk_offsets_.size(), samples, sdi});
    return true;
}

namespace {

// The room each table keeps: its header, entry count (and stsz's sample
// size), `entries` entries, and the following free box's header.
enum Table { kStts, kStsz, kStsc, kStco, kStss, kTables };
uint64_t reserved(Table t, const TableCapacity &cap) {
    switch (t) {
        case kStts: return 24 + 8ull * cap.durations;
        case kStsz: return 28 + 4ull * cap.samples;
        case kStsc: return 24 + 12ull * cap.chunks;
        case kStco: return 24 + 4ull * cap.chunks;
        default: return 24 + 4ull * cap.samples;
    }
}

bool reserves(const TableCapacity &cap) {
    return cap.samples != 0 || cap.chunks != 0 || cap.durations != 0;
}

// A free box after table `t`, written from `at` on, up to its room; none
// when the table reserves nothing or there is no room left for one (the
// layout then shifts, which costs bytes written, never correctness).
void pad(BoxWriter &w, uint32_t at, Table t, const TableCapacity &cap) {
    const uint64_t written = w.size() - at, room = reserved(t, cap);
    if (!reserves(cap) || room < written + 8) return;
    const uint64_t n = room - written;
    w.u32(static_cast<uint32_t>(n));
    w.fourcc("free");
    w.zeros(static_cast<uint32_t>(n - 8));
}

// A run-length table (stts, ctts) cut to its first n samples.
void write_runs(BoxWriter &w, const char *type, const GrowableArray<SampleTable::Run> &runs,
                uint32_t n) {
    w.full_box(type, 0, 0, [&] {
        uint32_t count = 0;
        for (uint32_t left = n; count < runs.size() && left > 0; ++count)
            left -= runs[count].count < left ? runs[count].count : left;
        w.u32(count);
        uint32_t left = n;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t c = runs[i].count < left ? runs[i].count : left;
            w.u32(c);
            w.u32(runs[i].value);
            left -= c;
        }
    });
}

}  // namespace

uint64_t SampleTable::reserved_size(const TableCapacity &cap) {
    uint64_t n = 0;
    for (int t = 0; reserves(cap) && t < kTables; ++t) n += reserved(Table(t), cap);
    return n;
}

void SampleTable::write_boxes(BoxWriter &w, const TableCapacity &cap) const {
    const uint32_t n = chunked_samples_;
    uint32_t syncs = 0;
    while (syncs < sync_numbers_.size() && sync_numbers_[syncs] <= n) ++syncs;

    uint32_t at = w.size();
    write_runs(w, "stts", stts_, n);
    pad(w, at, kStts, cap);
    if (!ctts_.empty()) write_runs(w, "ctts", ctts_, n);
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
    pad(w, at, kStsz, cap);
    at = w.size();
    w.full_box("stsc", 0, 0, [&] {
        w.u32(stsc_.size());
        for (const ChunkRun &r : stsc_) {
            w.u32(r.first_chunk);
            w.u32(r.samples_per_chunk);
            w.u32(r.sdi);
        }
    });
    pad(w, at, kStsc, cap);
    at = w.size();
    w.full_box("stco", 0, 0, [&] {
        w.u32(chunk_offsets_.size());
        for (uint32_t o : chunk_offsets_) w.u32(o);
    });
    pad(w, at, kStco, cap);
    at = w.size();
    // Without stss every sample is a sync sample.
    if (syncs != n) {
        w.full_box("stss", 0, 0, [&] {
            w.u32(syncs);
            for (uint32_t i = 0; i < syncs; ++i) w.u32(sync_numbers_[i]);
        });
    }
    pad(w, at, kStss, cap);
}

}  // namespace mp4

// mp4_file.cpp - writing the media data and the movie box.
//
// Durability of a clip (MP4CreateClip).  The file is
//
//     ftyp | H | slot 0 | slot 1 | slot 2 | mdat (size 0: to the end) ...
//
// H is a free box whose size alone says which slot holds the movie box: it
// skips 0, 1 or 2 whole slots (8 + k * S bytes), or all three before the
// first checkpoint.  The slot it lands on holds moov followed by a free box
// that runs to the mdat, so a reader sees exactly one top-level moov, and
// the other slots' contents (older movie boxes) lie inside free boxes.
// Samples are appended to the mdat; a movie box describes only samples in
// written chunks.
//
// Checkpoint k, in this order:
//   1. the movie box of the written chunks goes into slot k % 3 (only the
//      bytes that differ from what that slot holds);
//   2. fdatasync: the chunks and that slot are on storage;
//   3. H is pointed at slot k % 3 (one aligned 4-byte write).
// H's write in 3 is flushed by step 2 of checkpoint k + 1, so until then H
// on storage points at slot k % 3 or (k - 1) % 3, both durable and whole;
// checkpoint k + 1 writes slot (k + 1) % 3, which neither can point at.  A
// power cut between any two writes therefore leaves H on a whole movie box
// whose samples are on storage: that of checkpoint k - 1 at worst.  A kill
// (storage intact) leaves H on the newest.  The end is a checkpoint into
// the next slot whose step 3 also sets the mdat size (after the flush of
// the last chunks, so a size on storage never reaches past the file's
// durable end), followed by a second fdatasync, so the finished file is on
// storage before the caller renames it.
#include "mp4_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "box_writer.h"
#include "byte_order.h"
#include "fd_io.h"
#include "movie_box.h"

namespace mp4 {
namespace {

constexpr uint32_t kSecondsFrom1904To1970 = 2082844800u;

void brand(BoxWriter &w, const char *name) {
    uint8_t code[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; i < 4 && name[i] != '\0'; ++i) code[i] = static_cast<uint8_t>(name[i]);
    w.bytes(code, 4);
}

bool same_brand(const char *a, const char *b) {
    for (int i = 0; i < 4; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

bool fd_write_at(void *self, uint64_t offset, const uint8_t *p, uint32_t n) {
    return pwrite_all(static_cast<int>(reinterpret_cast<intptr_t>(self)), offset, p, n);
}

bool fd_sync(void *self) {
    return fdatasync_all(static_cast<int>(reinterpret_cast<intptr_t>(self)));
}

// Bytes of a clip's movie box besides its tables: mvhd, iods, and per track
// tkhd, mdia headers, sample descriptions with a few parameter sets, name.
constexpr uint64_t kMovieBoxFixedRoom = 4096;

}  // namespace

MP4Output fd_output(int fd) {
    return MP4Output{reinterpret_cast<void *>(static_cast<intptr_t>(fd)), fd_write_at, fd_sync};
}

Mp4File *Mp4File::create(const char *path, const Head &head) {
    if (path == nullptr) return nullptr;
    Mp4File *f = mp4::create<Mp4File>();
    if (f == nullptr) return nullptr;
    f->owned_fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f->owned_fd_ < 0) {
        destroy(f);
        return nullptr;
    }
    f->out_ = fd_output(f->owned_fd_);
    f->open_ = true;
    if (!f->write_head(head)) {
        destroy(f);
        return nullptr;
    }
    return f;
}

Mp4File *Mp4File::create_clip(const MP4Output &out, const Head &head,
                              const MP4ClipReserve &reserve) {
    if (out.write_at == nullptr || out.sync == nullptr) return nullptr;
    Mp4File *f = mp4::create<Mp4File>();
    if (f == nullptr) return nullptr;
    f->out_ = out;
    f->open_ = true;
    f->moov_first_ = true;
    f->capacity_[0] = TableCapacity{reserve.video_samples, reserve.chunks, reserve.video_durations};
    f->capacity_[1] = TableCapacity{reserve.audio_samples, reserve.chunks, reserve.audio_durations};
    const uint64_t slot = kMovieBoxFixedRoom + SampleTable::reserved_size(f->capacity_[0]) +
                          SampleTable::reserved_size(f->capacity_[1]);
    f->slot_size_ = (slot + 3) & ~uint64_t{3};  // keeps every slot and H 4-byte aligned
    if (f->slot_size_ * kSlots > kMaxFileSize / 2 || !f->write_head(head)) {
        destroy(f);
        return nullptr;
    }
    return f;
}

// The head: ftyp, then for a clip H (pointing past all slots: no movie box
// yet), then the mdat header with size 0 ("to the end of the file") until
// the end patches it, so the media of an unfinished file can be found.
bool Mp4File::write_head(const Head &head) {
    iods_ = head.iods;
    creation_time_ = static_cast<uint32_t>(std::time(nullptr)) + kSecondsFrom1904To1970;
    GrowableArray<uint8_t> buf;
    BoxWriter w(buf);
    if (head.ftyp) {
        const char *major = head.major_brand != nullptr ? head.major_brand : "mp42";
        w.box("ftyp", [&] {
            brand(w, major);
            w.u32(head.minor_version);
            if (head.compatible_brands != nullptr && head.compatible_count > 0) {
                for (uint32_t i = 0; i < head.compatible_count; ++i)
                    if (head.compatible_brands[i] != nullptr) brand(w, head.compatible_brands[i]);
            } else {
                brand(w, major);
                if (!same_brand(major, "isom")) brand(w, "isom");
            }
        });
    }
    if (moov_first_) {
        h_at_ = buf.size();
        w.u32(static_cast<uint32_t>(8 + kSlots * slot_size_));
        w.fourcc("free");
        if (!w.ok() || !write_out(buf.data(), buf.size())) return false;
        buf.clear();
        end_ = h_at_ + 8 + kSlots * slot_size_;  // the slots stay unwritten until used
    }
    mdat_start_ = end_ + buf.size();
    w.u32(0);
    w.fourcc("mdat");
    return w.ok() && write_out(buf.data(), buf.size());
}

Mp4File::~Mp4File() {
    if (owned_fd_ >= 0) ::close(owned_fd_);
    for (Track *t : tracks_) destroy(t);
}

Track *Mp4File::add_track(TrackKind kind, uint32_t timescale, uint64_t sample_duration) {
    if (timescale == 0 || !tracks_.reserve(uint64_t{tracks_.size()} + 1)) return nullptr;
    Track *t = mp4::create<Track>();
    if (t == nullptr) return nullptr;
    t->kind = kind;
    t->id = tracks_.size() + 1;
    t->timescale = timescale;
    t->fixed_duration = sample_duration;
    tracks_.push_back(t);  // room reserved
    return t;
}

uint32_t Mp4File::add_video_track(uint32_t timescale, uint64_t sample_duration, uint16_t width,
                                  uint16_t height, uint8_t profile, uint8_t compat, uint8_t level,
                                  uint8_t length_size_minus_one) {
    if (length_size_minus_one > 3) return 0;
    Track *t = add_track(TrackKind::kVideo, timescale, sample_duration);
    if (t == nullptr) return 0;
    if (!t->avc.init(width, height, profile, compat, level)) {
        tracks_.truncate(tracks_.size() - 1);
        destroy(t);
        return 0;
    }
    t->length_size_minus_one = length_size_minus_one;
    return t->id;
}

uint32_t Mp4File::add_audio_track(uint32_t timescale, uint64_t sample_duration,
                                  uint8_t audio_type) {
    Track *t = add_track(TrackKind::kAudio, timescale, sample_duration);
    if (t == nullptr) return 0;
    t->audio_type = audio_type;
    return t->id;
}

Track *Mp4File::track(uint32_t id) {
    return id >= 1 && id <= tracks_.size() ? tracks_[id - 1] : nullptr;
}

bool Mp4File::write_sample(Track &t, const uint8_t *bytes, uint32_t size, uint64_t duration,
                           uint64_t rendering_offset, bool sync) {
    if (failed_ || (bytes == nullptr && size > 0)) return false;
    const uint64_t d = duration == UINT64_MAX ? t.fixed_duration : duration;
    // mdhd, tkhd and mvhd hold 32-bit durations; ctts 32-bit offsets.
    const uint64_t track_duration = t.table.duration() + d;
    if (d > UINT32_MAX || rendering_offset > UINT32_MAX || track_duration > UINT32_MAX ||
        track_duration * 1000 / t.timescale > UINT32_MAX)
        return false;
    // The first sample of a later avc1 description starts with that
    // description's parameter sets (see avc_sample_entries.h); they are part
    // of the sample, so its stsz size and the bounds count them.
    const bool video = t.kind == TrackKind::kVideo;
    const uint32_t length_size = t.length_size_minus_one + 1u;
    const bool in_band = video && t.avc.starts_later_description();
    const uint64_t stored = size + (in_band ? t.avc.in_band_size(length_size) : 0);
    const Movie movie{tracks_.data(), tracks_.size(), iods_, creation_time_};
    if (end_ + pending_bytes_ + stored + movie_box_size_bound(movie) > kMaxFileSize) return false;

    const uint32_t sdi = video ? t.avc.current_index() : 1;
    if (t.chunk.samples > 0 && t.chunk.sdi != sdi && !flush(t)) return false;
    const uint32_t chunk_size = t.chunk.bytes.size();
    // Room for all of it first, so that neither append below fails alone.
    if (!t.chunk.bytes.reserve(chunk_size + stored)) return false;
    if (in_band) t.avc.append_in_band(t.chunk.bytes, length_size);
    t.chunk.bytes.append(bytes, size);
    if (!t.table.add_sample(static_cast<uint32_t>(stored), static_cast<uint32_t>(d),
                            static_cast<uint32_t>(rendering_offset), sync)) {
        t.chunk.bytes.truncate(chunk_size);
        return false;
    }
    if (video) t.avc.note_sample();
    ++t.chunk.samples;
    t.chunk.duration += d;
    t.chunk.sdi = sdi;
    pending_bytes_ += stored;

    if (t.chunk.duration >= t.timescale || t.chunk.bytes.size() >= kMaxChunkBytes) return flush(t);
    return true;
}

bool Mp4File::flush(Track &t) {
    PendingChunk &c = t.chunk;
    if (c.samples == 0) return true;
    const uint64_t offset = end_;
    if (!write_out(c.bytes.data(), c.bytes.size()) ||
        !t.table.add_chunk(static_cast<uint32_t>(offset), c.samples, c.sdi, c.duration)) {
        failed_ = true;
        return false;
    }
    if (c.duration > 0) {
        const uint64_t bitrate = uint64_t{c.bytes.size()} * 8 * t.timescale / c.duration;
        if (bitrate > t.max_bitrate) t.max_bitrate = bitrate > UINT32_MAX ? UINT32_MAX : bitrate;
    }
    pending_bytes_ -= c.bytes.size();
    c.bytes.clear();
    c.samples = 0;
    c.duration = 0;
    return true;
}

bool Mp4File::write_out(const uint8_t *p, uint32_t n) {
    if (!write_at(end_, p, n)) return false;
    end_ += n;
    return true;
}

bool Mp4File::write_at(uint64_t offset, const uint8_t *p, uint32_t n) {
    if (failed_ || !out_.write_at(out_.self, offset, p, n)) return failed_ = true, false;
    return true;
}

bool Mp4File::sync() {
    if (failed_ || !out_.sync(out_.self)) return failed_ = true, false;
    return true;
}

// The movie box of the written chunks for `slot`, followed by the free box
// that runs from its end to the mdat; false when that does not fit the
// slot even without the tables' reserved room.
bool Mp4File::build_slot_image(int slot) {
    for (int pass = 0; pass < 2; ++pass) {
        const bool padded = pass == 0;
        image_.clear();
        Movie movie{tracks_.data(), tracks_.size(), iods_, creation_time_,
                    padded ? capacity_ : nullptr};
        if (!build_movie_box(movie, image_)) return false;
        if (image_.size() + 8 > slot_size_) continue;
        const uint64_t filler = (kSlots - slot) * slot_size_ - image_.size();
        uint8_t header[8] = {0, 0, 0, 0, 'f', 'r', 'e', 'e'};
        store_be32(header, filler);
        return image_.append(header, 8);
    }
    return false;
}

// Writes the bytes of image_ that differ from what the slot holds, in runs
// (equal stretches shorter than kJoin are rewritten rather than split).
bool Mp4File::write_slot_image(int slot) {
    constexpr uint32_t kJoin = 32;
    GrowableArray<uint8_t> &held = slot_on_storage_[slot];
    const uint64_t base = h_at_ + 8 + uint64_t(slot) * slot_size_;
    const uint32_t n = image_.size();
    auto differs = [&](uint32_t i) { return (i < held.size() ? held[i] : 0) != image_[i]; };
    for (uint32_t i = 0; i < n;) {
        if (!differs(i)) {
            ++i;
            continue;
        }
        uint32_t end = i + 1, same = 0;
        for (uint32_t j = end; j < n && same < kJoin; ++j) {
            if (differs(j)) end = j + 1, same = 0;
            else ++same;
        }
        if (!write_at(base + i, image_.data() + i, end - i)) return false;
        i = end;
    }
    if (held.size() < n) {
        if (!held.reserve(n)) return failed_ = true, false;
        while (held.size() < n) held.push_back(0);
    }
    for (uint32_t i = 0; i < n; ++i) held[i] = image_[i];
    return true;
}

// `slot` kSlots: no slot, H runs to the mdat.
bool Mp4File::point_h_at(int slot) {
    uint8_t size[4];
    store_be32(size, 8 + uint64_t(slot) * slot_size_);
    if (!write_at(h_at_, size, 4)) return false;
    active_slot_ = slot < kSlots ? slot : -1;
    return true;
}

bool Mp4File::patch_mdat_size(uint64_t media_end) {
    uint8_t size[4];
    store_be32(size, media_end - mdat_start_);
    return write_at(mdat_start_, size, 4);
}

bool Mp4File::checkpoint() {
    if (!open_ || failed_) return false;
    if (!moov_first_ || outgrown_) return true;
    const int slot = (active_slot_ + 1) % kSlots;
    if (!build_slot_image(slot)) {
        outgrown_ = true;  // the movie box goes to the end instead
        return true;
    }
    return write_slot_image(slot) && sync() && point_h_at(slot);
}

bool Mp4File::finish() {
    if (!open_) return false;
    open_ = false;
    for (uint32_t i = 0; i < tracks_.size() && !failed_; ++i) flush(*tracks_[i]);
    const int slot = (active_slot_ + 1) % kSlots;
    if (failed_) {
        // Nothing more is written: a clip keeps its last checkpoint.
    } else if (moov_first_ && !outgrown_ && build_slot_image(slot)) {
        // The mdat size goes out only after the flush that makes the last
        // chunks durable: a size on storage never covers media that is not.
        (void)(write_slot_image(slot) && sync() && patch_mdat_size(end_) && point_h_at(slot) && sync());
    } else {
        // At the end, after the media.  A clip that outgrew its slots puts
        // it there inside the mdat (still "to the end"), flushes, bounds the
        // mdat, flushes, and only then points H past the slots: until the
        // last flush a reader finds the last checkpoint's movie box, with or
        // without the final one after it, never none.
        GrowableArray<uint8_t> moov;
        const Movie movie{tracks_.data(), tracks_.size(), iods_, creation_time_};
        const uint64_t media_end = end_;
        if (!build_movie_box(movie, moov)) failed_ = true;
        if (!moov_first_)
            (void)(!failed_ && write_out(moov.data(), moov.size()) && patch_mdat_size(media_end));
        else
            (void)(!failed_ && write_out(moov.data(), moov.size()) && sync() &&
                   patch_mdat_size(media_end) && sync() && point_h_at(kSlots) && sync());
    }
    // A close that fails (an NFS server's deferred write error) loses data too.
    if (owned_fd_ >= 0 && ::close(owned_fd_) != 0) failed_ = true;
    owned_fd_ = -1;
    return !failed_;
}

}  // namespace mp4

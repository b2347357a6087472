// mp4_file.cpp - writing the media data and finishing the file.
#include "mp4_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "box_writer.h"
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

}  // namespace

Mp4File *Mp4File::create(const char *path, const Head &head) {
    if (path == nullptr) return nullptr;
    Mp4File *f = mp4::create<Mp4File>();
    if (f == nullptr) return nullptr;
    f->iods_ = head.iods;
    f->creation_time_ = static_cast<uint32_t>(std::time(nullptr)) + kSecondsFrom1904To1970;
    f->fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f->fd_ < 0) {
        destroy(f);
        return nullptr;
    }

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
    // The mdat size is patched in by finish(); until then 0 means "to the
    // end of the file", so the media of an unfinished file can be found.
    f->mdat_start_ = buf.size();
    w.u32(0);
    w.fourcc("mdat");

    if (!w.ok() || !f->write_out(buf.data(), buf.size())) {
        destroy(f);
        return nullptr;
    }
    return f;
}

Mp4File::~Mp4File() {
    if (fd_ >= 0) ::close(fd_);
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
    const Movie movie{tracks_.data(), tracks_.size(), iods_, creation_time_};
    if (end_ + pending_bytes_ + size + movie_box_size_bound(movie) > kMaxFileSize) return false;

    const uint32_t sdi = t.kind == TrackKind::kVideo ? t.avc.current_index() : 1;
    if (t.chunk.samples > 0 && t.chunk.sdi != sdi && !flush(t)) return false;
    const uint32_t chunk_size = t.chunk.bytes.size();
    if (!t.chunk.bytes.append(bytes, size)) return false;
    if (!t.table.add_sample(size, static_cast<uint32_t>(d), static_cast<uint32_t>(rendering_offset),
                            sync)) {
        t.chunk.bytes.truncate(chunk_size);
        return false;
    }
    if (t.kind == TrackKind::kVideo) t.avc.note_sample();
    ++t.chunk.samples;
    t.chunk.duration += d;
    t.chunk.sdi = sdi;
    pending_bytes_ += size;

    if (t.chunk.duration >= t.timescale || t.chunk.bytes.size() >= kMaxChunkBytes) return flush(t);
    return true;
}

bool Mp4File::flush(Track &t) {
    PendingChunk &c = t.chunk;
    if (c.samples == 0) return true;
    const uint64_t offset = end_;
    if (!write_out(c.bytes.data(), c.bytes.size()) ||
        !t.table.add_chunk(static_cast<uint32_t>(offset), c.samples, c.sdi)) {
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
    // Below SSIZE_MAX on 32-bit targets too, where write()'s count above it
    // is undefined.
    constexpr uint32_t kMaxWrite = 1u << 30;
    while (n > 0) {
        const ssize_t done = ::write(fd_, p, n < kMaxWrite ? n : kMaxWrite);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<uint32_t>(done);
        end_ += static_cast<uint64_t>(done);
    }
    return true;
}

bool Mp4File::finish() {
    if (fd_ < 0) return false;
    for (uint32_t i = 0; i < tracks_.size() && !failed_; ++i) flush(*tracks_[i]);
    if (!failed_) {
        GrowableArray<uint8_t> moov;
        const Movie movie{tracks_.data(), tracks_.size(), iods_, creation_time_};
        const uint64_t mdat_size = end_ - mdat_start_;
        const uint8_t size_field[4] = {uint8_t(mdat_size >> 24), uint8_t(mdat_size >> 16),
                                       uint8_t(mdat_size >> 8), uint8_t(mdat_size)};
        if (!build_movie_box(movie, moov) || !write_out(moov.data(), moov.size()) ||
            ::pwrite(fd_, size_field, 4, static_cast<off_t>(mdat_start_)) != 4)
            failed_ = true;
    }
    // A close that fails (an NFS server's deferred write error) loses data too.
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    return !failed_;
}

}  // namespace mp4

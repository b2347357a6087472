// clip_recovery.cpp - an unfinished clip made a finished MP4, and the
// top-level box walk that tells a whole one (box_walk.h).
//
// Nothing read is trusted: every box must lie inside its parent and the
// file, every table's entries inside its box, and a movie box is only kept
// when each track's tables agree (stsz count = the samples of the stsc runs
// over the stco/co64 chunks = the stts total) and every chunk's bytes lie
// in the media data present in the file.  The file is read with pread in
// small pieces: a movie box's tables are streamed, never loaded whole.
//
// Store order of a repair (each step flushed before the next, so that a
// power cut at any point leaves a file that a player reads and that the
// next run repairs the same way):
//   1. only when an older slot is kept: the free box that runs from its
//      movie box to the mdat.  That slot lies inside H's skip or inside the
//      active slot's filler, so until H moves no reader sees the write;
//   2. H pointed at the kept slot (one aligned 4-byte write): from now on a
//      reader finds the kept movie box and, behind the filler of step 1,
//      the mdat running to the end of the file;
//   3. ftruncate to the end of the last described sample (or of a movie
//      box that follows the media, unless the boxes after it chain exactly
//      to the end): the mdat, of size 0, still runs exactly to the end of
//      the file;
//   4. the mdat's size, then the final fdatasync, which the caller's rename
//      relies on.
// Writes are made only where the file differs, so a finished clip costs one
// fdatasync and no write.
#include <mp4/box_walk.h>
#include <mp4/clip_recovery.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "byte_order.h"
#include "fd_io.h"

namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}

using mp4::load_be32;
using mp4::store_be32;

constexpr int kSlots = 3;
// Children looked at per box: far more than any movie box of ours holds,
// and a bound on the work a box full of 8-byte garbage boxes can cause.
constexpr int kMaxChildren = 1024;
// How far past H the mdat header is searched for when the box chain does
// not lead to it: the three slots of any clip the writer makes fit well.
constexpr uint64_t kMdatSearch = 64u << 20;

struct File {
    int fd;
    uint64_t size;
    int error;  // errno of the first failed read: nothing may then be decided

    // False for bytes beyond the end (absent, not an error) or a failed read.
    bool read(uint64_t at, void *out, uint32_t n) {
        if (at > size || n > size - at) return false;
        uint8_t *p = static_cast<uint8_t *>(out);
        while (n > 0) {
            const ssize_t r = ::pread(fd, p, n, static_cast<off_t>(at));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                if (error == 0) error = r < 0 ? errno : EIO;  // shorter than fstat said
                return false;
            }
            p += r, n -= uint32_t(r), at += uint64_t(r);
        }
        return true;
    }
    bool read32(uint64_t at, uint32_t &v) {
        uint8_t b[4];
        if (!read(at, b, 4)) return false;
        v = load_be32(b);
        return true;
    }
};

struct Box {
    uint64_t at, body, end;  // end: as declared, may pass the file's end
    uint32_t type;
    uint32_t size32;  // the 32-bit size field (0: to the end, 1: 64-bit size)
};

// The header of the box at `at`; size 0 runs to `limit`.  The box may end
// past `limit`: callers that need it inside say so with box_in().
bool header(File &f, uint64_t at, uint64_t limit, Box &b) {
    uint8_t h[16];
    if (at > limit || limit - at < 8 || !f.read(at, h, 8)) return false;
    b.at = at;
    b.body = at + 8;
    b.size32 = load_be32(h);
    b.type = load_be32(h + 4);
    uint64_t size = b.size32;
    if (size == 1) {
        if (limit - at < 16 || !f.read(at + 8, h + 8, 8)) return false;
        size = uint64_t(load_be32(h + 8)) << 32 | load_be32(h + 12);
        b.body = at + 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < b.body - at || size > UINT64_MAX - at) return false;
    b.end = at + size;
    return true;
}

bool box_in(File &f, uint64_t at, uint64_t limit, Box &b) {
    return header(f, at, limit, b) && b.end <= limit;
}

bool child(File &f, const Box &parent, uint32_t type, Box &out) {
    uint64_t at = parent.body;
    for (int n = 0; n < kMaxChildren && box_in(f, at, parent.end, out); ++n, at = out.end)
        if (out.type == type) return true;
    return false;
}

// A full box's table: `count` entries of `width` bytes from `at` (past the
// version, flags and `skip` more bytes of fields), all inside the box.
bool table(File &f, const Box &b, uint32_t skip, uint32_t width, uint64_t &at, uint32_t &count) {
    const uint64_t count_at = b.body + 4 + skip;
    if (count_at + 4 > b.end || !f.read32(count_at, count)) return false;
    at = count_at + 4;
    return uint64_t{count} * width <= b.end - at;
}

// 32-bit words read in order from a table, a small piece at a time.
class Words {
  public:
    Words(File &f, uint64_t at, uint64_t end) : f_(f), at_(at), end_(end) {}
    bool next(uint32_t &v) {
        if (pos_ == len_) {
            const uint64_t left = end_ - at_;
            if (left < 4) return false;
            len_ = left < sizeof buf_ ? uint32_t(left) & ~3u : uint32_t(sizeof buf_);
            if (!f_.read(at_, buf_, len_)) return false;
            at_ += len_;
            pos_ = 0;
        }
        v = load_be32(buf_ + pos_);
        pos_ += 4;
        return true;
    }

  private:
    File &f_;
    uint64_t at_, end_;
    uint32_t pos_ = 0, len_ = 0;
    uint8_t buf_[512];
};

struct Movie {
    uint32_t video, audio;  // samples of the vide and soun tracks
    uint64_t samples;       // of all tracks
    uint64_t media_end;     // end of the last sample's bytes
};

uint32_t saturated(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }

// One track's tables agree and its chunks lie in [lo, hi).
bool check_track(File &f, const Box &trak, uint64_t lo, uint64_t hi, Movie &m) {
    Box mdia, hdlr, minf, stbl, stsd, stts, stsz, stsc, stco;
    if (!child(f, trak, fourcc("mdia"), mdia) || !child(f, mdia, fourcc("hdlr"), hdlr) ||
        !child(f, mdia, fourcc("minf"), minf) || !child(f, minf, fourcc("stbl"), stbl) ||
        !child(f, stbl, fourcc("stsd"), stsd) || !child(f, stbl, fourcc("stts"), stts) ||
        !child(f, stbl, fourcc("stsz"), stsz) || !child(f, stbl, fourcc("stsc"), stsc))
        return false;
    const bool wide = !child(f, stbl, fourcc("stco"), stco);
    if (wide && !child(f, stbl, fourcc("co64"), stco)) return false;
    uint32_t handler = 0, descriptions = 0, uniform = 0;
    uint64_t stts_at, stsz_at, stsc_at, stco_at;
    uint32_t runs, samples, chunk_runs, chunks;
    if (hdlr.body + 12 > hdlr.end || !f.read32(hdlr.body + 8, handler) ||
        stsd.body + 8 > stsd.end || !f.read32(stsd.body + 4, descriptions) ||
        stsz.body + 8 > stsz.end || !f.read32(stsz.body + 4, uniform) ||
        !table(f, stts, 0, 8, stts_at, runs) ||
        !table(f, stsz, 4, uniform == 0 ? 4 : 0, stsz_at, samples) ||
        !table(f, stsc, 0, 12, stsc_at, chunk_runs) ||
        !table(f, stco, 0, wide ? 8 : 4, stco_at, chunks))
        return false;

    // stts: its runs add up to the sample count.
    Words durations(f, stts_at, stts_at + uint64_t{runs} * 8);
    uint64_t timed = 0;
    for (uint32_t i = 0, count, delta; i < runs; ++i) {
        if (!durations.next(count) || !durations.next(delta)) return false;
        timed += count;
    }
    if (timed != samples) return false;

    // stsc runs over the chunks, each chunk's samples taken from stsz in
    // order; the runs' first chunks start at 1 and strictly increase.
    Words run_words(f, stsc_at, stsc_at + uint64_t{chunk_runs} * 12);
    Words sizes(f, stsz_at, stsz_at + (uniform == 0 ? uint64_t{samples} * 4 : 0));
    Words offsets(f, stco_at, stco_at + uint64_t{chunks} * (wide ? 8 : 4));
    uint64_t chunk = 1, sample = 0;
    uint32_t first = 0, per_chunk = 0, sdi = 0;
    if (chunk_runs > 0 && !(run_words.next(first) && run_words.next(per_chunk) && run_words.next(sdi)))
        return false;
    for (uint32_t r = 0; r < chunk_runs; ++r) {
        uint32_t next_first = 0, next_per_chunk = 0, next_sdi = 0;
        if (r + 1 < chunk_runs) {
            if (!run_words.next(next_first) || !run_words.next(next_per_chunk) ||
                !run_words.next(next_sdi))
                return false;
        }
        const uint64_t run_end = r + 1 < chunk_runs ? uint64_t{next_first} : uint64_t{chunks} + 1;
        if (first != chunk || run_end <= first || run_end > uint64_t{chunks} + 1 || sdi == 0 ||
            sdi > descriptions)
            return false;
        for (; chunk < run_end; ++chunk) {
            uint32_t hi_word = 0, lo_word = 0;
            if ((wide && !offsets.next(hi_word)) || !offsets.next(lo_word)) return false;
            const uint64_t offset = uint64_t{hi_word} << 32 | lo_word;
            if (per_chunk > samples - sample) return false;
            uint64_t bytes = uint64_t{per_chunk} * uniform;
            for (uint32_t i = 0, size; uniform == 0 && i < per_chunk; ++i) {
                if (!sizes.next(size)) return false;
                bytes += size;
            }
            sample += per_chunk;
            if (offset < lo || offset > hi || bytes > hi - offset) return false;
            if (offset + bytes > m.media_end) m.media_end = offset + bytes;
        }
        first = next_first, per_chunk = next_per_chunk, sdi = next_sdi;
    }
    if (chunk != uint64_t{chunks} + 1 || sample != samples) return false;

    m.samples += samples;
    if (handler == fourcc("vide")) m.video = saturated(uint64_t{m.video} + samples);
    if (handler == fourcc("soun")) m.audio = saturated(uint64_t{m.audio} + samples);
    return true;
}

// A movie box is usable when it has an mvhd, at least one track, every
// track checks out, and some sample to keep: a movie box of no samples is
// not worth a finished file.
bool check_movie(File &f, const Box &moov, uint64_t lo, uint64_t hi, Movie &m) {
    m = Movie{0, 0, 0, lo};
    Box b;
    if (!child(f, moov, fourcc("mvhd"), b)) return false;
    int tracks = 0;
    uint64_t at = moov.body;
    for (int n = 0; n < kMaxChildren && box_in(f, at, moov.end, b); ++n, at = b.end) {
        if (b.type != fourcc("trak")) continue;
        if (!check_track(f, b, lo, hi, m)) return false;
        ++tracks;
    }
    return tracks > 0 && m.samples > 0;
}

// The mdat header at a multiple of 12 bytes past `from` (three slots of a
// size that is a multiple of 4), or 0.
uint64_t find_mdat(File &f, uint64_t from) {
    uint8_t buf[12 * 340];
    for (uint64_t at = from; at < f.size && at - from < kMdatSearch; at += sizeof buf) {
        const uint64_t left = f.size - at;
        const uint32_t n = left < sizeof buf ? uint32_t(left) : uint32_t(sizeof buf);
        if (!f.read(at, buf, n)) return 0;
        for (uint32_t i = 0; i + 8 <= n; i += 12)
            if (std::memcmp(buf + i + 4, "mdat", 4) == 0) return at + i;
    }
    return 0;
}

// Writes `n` bytes at `at` unless the file holds them already; `wrote`
// says whether it had to.
bool write_if_changed(File &f, uint64_t at, const uint8_t *p, uint32_t n, bool &wrote) {
    uint8_t held[8];
    wrote = !(f.read(at, held, n) && std::memcmp(held, p, n) == 0);
    if (f.error != 0) return errno = f.error, false;
    return !wrote || mp4::pwrite_all(f.fd, at, p, n);
}

}  // namespace

extern "C" MP4Recovered MP4RecoverClip(int fd, MP4RecoveryReport *report) {
    if (report != nullptr) *report = MP4RecoveryReport{0, 0, 0};
    errno = 0;
    struct stat st;
    if (::fstat(fd, &st) != 0) return MP4_RECOVERED_NOTHING;
    if (!S_ISREG(st.st_mode)) return errno = EINVAL, MP4_RECOVERED_NOTHING;
    File f{fd, uint64_t(st.st_size), 0};

    // The top-level chain: ftyp, H, the movie box H lands on, its filler,
    // the mdat, a movie box after a sized mdat.  It stops at the first box
    // that does not fit the file (a zeroed slot, an mdat of size 0).
    Box b, ftyp{}, h{}, mdat{}, moov_before{}, moov_after{};
    bool have_h = false, have_mdat = false, have_before = false, have_after = false;
    int movie_boxes = 0;
    uint64_t at = 0;
    for (int n = 0; n < 16 && header(f, at, f.size, b); ++n, at = b.end) {
        movie_boxes += b.type == fourcc("moov");
        if (b.at == 0 && b.type == fourcc("ftyp")) ftyp = b;
        else if (ftyp.end != 0 && b.at == ftyp.end && b.type == fourcc("free") && b.size32 > 1)
            h = b, have_h = true;
        else if (b.type == fourcc("mdat") && !have_mdat) mdat = b, have_mdat = true;
        else if (b.type == fourcc("moov") && b.end <= f.size) {
            if (!have_mdat && !have_before) moov_before = b, have_before = true;
            if (have_mdat && !have_after) moov_after = b, have_after = true;
        }
        if (b.end > f.size) break;
    }
    // Boxes that chain exactly to the end of the file, one movie box among
    // them: a whole file, whose boxes after a final movie box (a free box
    // some writers leave) are kept.
    const bool whole_chain = at == f.size && movie_boxes == 1;

    // The clip layout: H, then three slots of S bytes, then the mdat.
    // When the chain does not reach the mdat (H on a zeroed or torn slot),
    // its header is searched for where the slot geometry allows it.
    uint64_t slot_size = 0;
    int h_slot = -1;  // the slot H skips to; kSlots: past them all
    if (have_h) {
        const uint64_t base = h.at + 8;
        auto fits = [&](uint64_t m) { return m >= base + 48 && (m - base) % 12 == 0; };
        // Only then: a file whose chain reaches an mdat that does not fit the
        // slots is another writer's (ftyp, free, mdat, moov), not searched.
        if (!have_mdat) {
            Box found_mdat;
            const uint64_t m = find_mdat(f, base + 48);
            if (m != 0 && header(f, m, f.size, found_mdat))
                mdat = found_mdat, have_mdat = true, have_after = false;
        }
        if (have_mdat && fits(mdat.at)) {
            slot_size = (mdat.at - base) / kSlots;
            const uint64_t skip = uint64_t{h.size32} - 8;
            if (skip % slot_size == 0 && skip / slot_size <= kSlots) h_slot = int(skip / slot_size);
        }
    }
    if (f.error != 0) return errno = f.error, MP4_RECOVERED_NOTHING;
    if (!have_mdat) return MP4_RECOVERED_NOTHING;

    // Samples must lie in the mdat's body as far as the file holds it.
    const uint64_t lo = mdat.body;
    const uint64_t mdat_end = mdat.size32 == 0 || mdat.end > f.size ? f.size : mdat.end;
    auto slot_at = [&](int k) { return h.at + 8 + uint64_t(k) * slot_size; };
    // A slot's movie box leaves room for the filler's header in the slot.
    auto slot_moov = [&](int k, Box &out) {
        return box_in(f, slot_at(k), slot_at(k) + slot_size - 8, out) &&
               out.type == fourcc("moov");
    };

    // The movie box the file's structure shows: H's slot, or the one after
    // the mdat; in a file without slots the first one at the top level.
    Box kept{};
    Movie movie{};
    int kept_slot = -1;
    bool after = false, found = false;
    if (slot_size > 0 && h_slot >= 0 && h_slot < kSlots) {
        found = slot_moov(h_slot, kept) && check_movie(f, kept, lo, mdat_end, movie);
        kept_slot = h_slot;
    } else if (have_after && (slot_size == 0 || h_slot == kSlots)) {
        found = check_movie(f, moov_after, lo, mdat_end, movie);
        kept = moov_after, after = true;
    } else if (have_before && slot_size == 0) {
        found = check_movie(f, moov_before, lo, mdat_end, movie);
        kept = moov_before;
    }
    MP4Recovered result = MP4_RECOVERED_WHOLE;
    if (!found && slot_size > 0 && h_slot >= 0 && h_slot < kSlots) {
        // Else the movie box H pointed at before: the writer published it a
        // checkpoint earlier, after the flush that put its samples on
        // storage.  The third slot may hold one being written when the
        // writer stopped, whose samples may never have reached storage (a
        // power cut keeps the later writes of a flush interval in any
        // combination), and a slot with H past them all was never
        // published: neither is trusted.
        const int previous = (h_slot + kSlots - 1) % kSlots;
        found = slot_moov(previous, kept) && check_movie(f, kept, lo, mdat_end, movie);
        kept_slot = previous, after = false;
        result = MP4_RECOVERED_CUT;
    } else if (!found && slot_size > 0 && h_slot < 0) {
        // H itself damaged: which slot was published is unknown, so the
        // usable movie box with the most samples.
        kept_slot = -1, after = false;
        for (int k = 0; k < kSlots; ++k) {
            Box candidate;
            Movie m;
            if (!slot_moov(k, candidate) || !check_movie(f, candidate, lo, mdat_end, m) ||
                (kept_slot >= 0 && m.samples <= movie.samples))
                continue;
            kept = candidate, movie = m, kept_slot = k;
        }
        found = kept_slot >= 0;
        result = MP4_RECOVERED_CUT;
    }
    if (f.error != 0) return errno = f.error, MP4_RECOVERED_NOTHING;
    if (!found) return MP4_RECOVERED_NOTHING;

    // The repair, in the order the comment at the top explains.
    const uint64_t new_size = !after ? movie.media_end : whole_chain ? f.size : kept.end;
    const uint64_t mdat_size = new_size - mdat.at;
    if (!after && mdat.size32 != 1 && mdat_size > UINT32_MAX) return MP4_RECOVERED_NOTHING;
    uint8_t word[8];
    bool wrote = false;
    if (kept_slot >= 0) {
        uint8_t filler[8] = {0, 0, 0, 0, 'f', 'r', 'e', 'e'};
        store_be32(filler, mdat.at - kept.end);
        if (!write_if_changed(f, kept.end, filler, 8, wrote) || (wrote && !mp4::fdatasync_all(fd)))
            return MP4_RECOVERED_NOTHING;
        store_be32(word, 8 + uint64_t(kept_slot) * slot_size);
        if (!write_if_changed(f, h.at, word, 4, wrote) || (wrote && !mp4::fdatasync_all(fd)))
            return MP4_RECOVERED_NOTHING;
    }
    if (f.size > new_size) {
        int r;
        do r = ::ftruncate(fd, static_cast<off_t>(new_size));
        while (r != 0 && errno == EINTR);
        if (r != 0 || !mp4::fdatasync_all(fd)) return MP4_RECOVERED_NOTHING;
    }
    if (!after) {
        bool ok;
        if (mdat.size32 == 1) {  // a 64-bit size after the type
            store_be32(word, mdat_size >> 32);
            store_be32(word + 4, mdat_size);
            ok = write_if_changed(f, mdat.at + 8, word, 8, wrote);
        } else {
            store_be32(word, mdat_size);
            ok = write_if_changed(f, mdat.at, word, 4, wrote);
        }
        if (!ok) return MP4_RECOVERED_NOTHING;
    }
    if (!mp4::fdatasync_all(fd)) return MP4_RECOVERED_NOTHING;
    if (report != nullptr)
        *report = MP4RecoveryReport{movie.video, movie.audio, f.size - new_size};
    return result;
}

extern "C" bool mp4_file_is_whole(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    File f{fd, 0, 0};
    if (fstat(fd, &st) == 0) f.size = static_cast<uint64_t>(st.st_size);
    bool mdat = false, moov = false;
    uint64_t at = 0;
    Box b;
    while (at < f.size && box_in(f, at, f.size, b)) {
        mdat |= b.type == fourcc("mdat");
        moov |= b.type == fourcc("moov");
        at = b.end;
    }
    close(fd);
    return at == f.size && mdat && moov;
}

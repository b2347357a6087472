#include "box_reader.h"

#include <fstream>
#include <iterator>

namespace box_reader {
namespace {

// Boxes whose body is (after `skip` bytes of their own fields) more boxes.
int container_skip(const std::string &type) {
    for (const char *t : {"moov", "trak", "mdia", "minf", "dinf", "stbl", "udta"})
        if (type == t) return 0;
    if (type == "stsd" || type == "dref") return 8;
    if (type == "avc1") return 78;
    if (type == "mp4a") return 28;
    return -1;
}

// `open_mdat`: a top-level mdat of size 0 runs to the end of the file.
bool parse_boxes(const Bytes &b, uint64_t begin, uint64_t end, std::vector<Box> &out,
                 bool open_mdat = false) {
    uint64_t at = begin;
    while (at + 8 <= end) {
        Box box;
        box.offset = at;
        box.size = (uint64_t{b[at]} << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
        box.type.assign(reinterpret_cast<const char *>(&b[at + 4]), 4);
        if (open_mdat && box.size == 0 && box.type == "mdat") box.size = end - at;
        if (box.size < 8 || at + box.size > end) return false;
        const int skip = container_skip(box.type);
        if (skip >= 0 && !parse_boxes(b, at + 8 + skip, at + box.size, box.children)) return false;
        out.push_back(std::move(box));
        at += out.back().size;
    }
    return at == end;
}

// Length of an MPEG-4 descriptor (1 to 4 bytes of 7 bits) at `at`.
uint32_t descriptor_length(const File &f, uint64_t &at) {
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
        const uint8_t b = f.bytes.at(at++);
        n = (n << 7) | (b & 0x7f);
        if (!(b & 0x80)) break;
    }
    return n;
}

void read_esds(const File &f, const Box &esds, SampleEntry &e) {
    uint64_t at = esds.body() + 4;
    if (f.bytes.at(at++) != 0x03) return;
    descriptor_length(f, at);
    at += 2;  // ES_ID
    const uint8_t flags = f.bytes.at(at++);
    if (flags & 0x80) at += 2;
    if (flags & 0x40) at += 1 + f.bytes.at(at);
    if (flags & 0x20) at += 2;
    if (f.bytes.at(at++) != 0x04) return;
    const uint32_t dcd_len = descriptor_length(f, at);
    const uint64_t dcd_end = at + dcd_len;
    e.object_type = f.bytes.at(at);
    e.stream_type = f.bytes.at(at + 1) >> 2;
    at += 13;
    if (at < dcd_end && f.bytes.at(at++) == 0x05) {
        const uint32_t n = descriptor_length(f, at);
        e.decoder_config = f.slice(at, n);
    }
}

Track read_track(const File &f, const Box &trak) {
    Track t;
    if (const Box *b = trak.find("tkhd")) {
        t.id = f.u32(b->body() + 12);
        t.tkhd_duration = f.u32(b->body() + 20);
        t.tkhd_width = f.u32(b->body() + 76);
        t.tkhd_height = f.u32(b->body() + 80);
    }
    if (const Box *b = trak.find("mdia/mdhd")) {
        t.timescale = f.u32(b->body() + 12);
        t.mdhd_duration = f.u32(b->body() + 16);
    }
    if (const Box *b = trak.find("mdia/hdlr"))
        t.handler.assign(reinterpret_cast<const char *>(&f.bytes[b->body() + 8]), 4);
    const Box *stbl = trak.find("mdia/minf/stbl");
    if (stbl == nullptr) return t;
    if (const Box *stsd = stbl->find("stsd")) {
        for (const Box &c : stsd->children) {
            SampleEntry e;
            e.type = c.type;
            if (c.type == "avc1") {
                e.width = f.u16(c.body() + 24);
                e.height = f.u16(c.body() + 26);
                if (const Box *avcc = c.find("avcC"))
                    e.avcc = f.slice(avcc->body(), avcc->size - 8);
            } else if (c.type == "mp4a") {
                e.channels = f.u16(c.body() + 16);
                e.sample_rate = f.u32(c.body() + 24) >> 16;
                if (const Box *esds = c.find("esds")) read_esds(f, *esds, e);
            }
            t.entries.push_back(std::move(e));
        }
    }
    if (const Box *b = stbl->find("stts"))
        for (uint32_t i = 0, n = f.u32(b->body() + 4); i < n; ++i)
            t.stts.emplace_back(f.u32(b->body() + 8 + 8 * i), f.u32(b->body() + 12 + 8 * i));
    if (const Box *b = stbl->find("ctts")) {
        t.has_ctts = true;
        for (uint32_t i = 0, n = f.u32(b->body() + 4); i < n; ++i)
            t.ctts.emplace_back(f.u32(b->body() + 8 + 8 * i), f.u32(b->body() + 12 + 8 * i));
    }
    if (const Box *b = stbl->find("stsz")) {
        t.stsz_sample_size = f.u32(b->body() + 4);
        t.stsz_count = f.u32(b->body() + 8);
        for (uint32_t i = 0; i < t.stsz_count; ++i)
            t.sizes.push_back(t.stsz_sample_size ? t.stsz_sample_size
                                                 : f.u32(b->body() + 12 + 4 * i));
    }
    if (const Box *b = stbl->find("stsc"))
        for (uint32_t i = 0, n = f.u32(b->body() + 4); i < n; ++i)
            t.stsc.push_back({f.u32(b->body() + 8 + 12 * i), f.u32(b->body() + 12 + 12 * i),
                              f.u32(b->body() + 16 + 12 * i)});
    if (const Box *b = stbl->find("stco"))
        for (uint32_t i = 0, n = f.u32(b->body() + 4); i < n; ++i)
            t.chunk_offsets.push_back(f.u32(b->body() + 8 + 4 * i));
    if (const Box *b = stbl->find("stss")) {
        t.has_stss = true;
        for (uint32_t i = 0, n = f.u32(b->body() + 4); i < n; ++i)
            t.sync_samples.push_back(f.u32(b->body() + 8 + 4 * i));
    }
    if (const Box *b = trak.find("udta/name")) {
        t.has_name = true;
        t.name.assign(reinterpret_cast<const char *>(&f.bytes[b->body()]), b->size - 8);
    }

    // Expand: chunk by chunk, the stsc run in force gives its sample count.
    uint32_t sample = 0;
    for (uint32_t chunk = 1; chunk <= t.chunk_offsets.size(); ++chunk) {
        const Track::Stsc *run = nullptr;
        for (const Track::Stsc &s : t.stsc)
            if (s.first_chunk <= chunk) run = &s;
        if (run == nullptr) break;
        uint64_t at = t.chunk_offsets[chunk - 1];
        for (uint32_t i = 0; i < run->samples_per_chunk && sample < t.sizes.size(); ++i) {
            t.samples.push_back({at, t.sizes[sample], chunk, run->sdi});
            at += t.sizes[sample++];
        }
    }
    return t;
}

}  // namespace

const Box *Box::find(const std::string &path) const {
    const auto slash = path.find('/');
    const std::string head = path.substr(0, slash);
    for (const Box &c : children) {
        if (c.type != head) continue;
        return slash == std::string::npos ? &c : c.find(path.substr(slash + 1));
    }
    return nullptr;
}

std::vector<const Box *> Box::all(const std::string &type) const {
    std::vector<const Box *> out;
    for (const Box &c : children)
        if (c.type == type) out.push_back(&c);
    return out;
}

const Box *File::find(const std::string &type) const {
    for (const Box &b : top)
        if (b.type == type) return &b;
    return nullptr;
}

Bytes File::slice(uint64_t offset, uint64_t size) const {
    if (offset > bytes.size() || size > bytes.size() - offset) return {};
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + size);
}

uint32_t File::u32(uint64_t at) const {
    return (uint32_t{bytes.at(at)} << 24) | (bytes.at(at + 1) << 16) | (bytes.at(at + 2) << 8) |
           bytes.at(at + 3);
}

uint16_t File::u16(uint64_t at) const {
    return static_cast<uint16_t>((bytes.at(at) << 8) | bytes.at(at + 1));
}

std::string File::top_order() const {
    std::string s;
    for (const Box &b : top) s += (s.empty() ? "" : " ") + b.type;
    return s;
}

File parse(Bytes bytes, bool open_mdat) {
    File f;
    f.bytes = std::move(bytes);
    f.ok = parse_boxes(f.bytes, 0, f.bytes.size(), f.top, open_mdat);
    const Box *moov = f.find("moov");
    if (!f.ok || moov == nullptr) return f;
    if (const Box *mvhd = moov->find("mvhd")) {
        f.movie_timescale = f.u32(mvhd->body() + 12);
        f.movie_duration = f.u32(mvhd->body() + 16);
        f.next_track_id = f.u32(mvhd->body() + 96);
    }
    for (const Box *trak : moov->all("trak")) f.tracks.push_back(read_track(f, *trak));
    return f;
}

File read(const std::string &path, bool open_mdat) {
    std::ifstream in(path, std::ios::binary);
    return parse(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                 open_mdat);
}

Bytes length_prefixed(const std::vector<Bytes> &nals, int length_size) {
    Bytes out;
    for (const Bytes &nal : nals) {
        if (length_size < 8 && uint64_t(nal.size()) >> (8 * length_size) != 0) continue;
        for (int i = length_size - 1; i >= 0; --i) out.push_back(uint8_t(nal.size() >> (8 * i)));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

}  // namespace box_reader

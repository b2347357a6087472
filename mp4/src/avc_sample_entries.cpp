// avc_sample_entries.cpp - which avc1 description a parameter set goes to.
#include "avc_sample_entries.h"

#include <cstring>

#include "elementary_streams/h264_params.h"

namespace mp4 {
namespace {

using elementary_streams::parse_pps_id;
using elementary_streams::parse_sps;
using elementary_streams::SpsInfo;

// avcC counts SPS in 5 bits and PPS in 8.
constexpr uint32_t kMaxSps = 31;
constexpr uint32_t kMaxPps = 255;

uint16_t load_u16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

bool ParameterSetList::copy_from(const ParameterSetList &other) {
    if (!bytes_.assign(other.bytes_)) return false;
    count_ = other.count_;
    return true;
}

bool ParameterSetList::contains(const uint8_t *nal, uint16_t size) const {
    for (uint32_t at = 0; at < bytes_.size(); at += 2u + load_u16(&bytes_[at])) {
        if (load_u16(&bytes_[at]) == size && std::memcmp(&bytes_[at + 2], nal, size) == 0)
            return true;
    }
    return false;
}

template <class SameId>
void ParameterSetList::remove_if(SameId same_id) {
    for (uint32_t at = 0; at < bytes_.size(); at += 2u + load_u16(&bytes_[at])) {
        const uint32_t len = 2u + load_u16(&bytes_[at]);
        if (!same_id(&bytes_[at + 2], len - 2)) continue;
        std::memmove(&bytes_[at], &bytes_[at + len], bytes_.size() - at - len);
        bytes_.truncate(bytes_.size() - len);
        --count_;
        return;
    }
}

bool ParameterSetList::reserve(uint16_t size) {
    return bytes_.reserve(uint64_t{bytes_.size()} + 2 + size);
}

bool ParameterSetList::add(const uint8_t *nal, uint16_t size) {
    const uint8_t length[2] = {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
    if (!reserve(size)) return false;
    bytes_.append(length, 2);
    bytes_.append(nal, size);
    ++count_;
    return true;
}

AvcSampleEntries::~AvcSampleEntries() {
    for (AvcSampleEntry *e : entries_) destroy(e);
}

bool AvcSampleEntries::init(uint16_t width, uint16_t height, uint8_t profile, uint8_t compat,
                            uint8_t level) {
    AvcSampleEntry *e = create<AvcSampleEntry>();
    if (e == nullptr || !entries_.push_back(e)) {
        destroy(e);
        return false;
    }
    e->format.width = width;
    e->format.height = height;
    e->format.profile = profile;
    e->format.compat = compat;
    e->format.level = level;
    return true;
}

bool AvcSampleEntries::add(Kind kind, const uint8_t *nal, uint16_t size) {
    const bool is_sps = kind == Kind::kSps;
    SpsInfo sps{};
    uint32_t pps_id = 0;
    if (is_sps ? !parse_sps(nal, size, &sps) : !parse_pps_id(nal, size, &pps_id)) return true;

    AvcSampleEntry *cur = entries_.back();
    if ((is_sps ? cur->sps : cur->pps).contains(nal, size)) return true;

    if (cur->has_samples) {
        AvcSampleEntry *next = create<AvcSampleEntry>();
        if (next == nullptr || !next->sps.copy_from(cur->sps) || !next->pps.copy_from(cur->pps) ||
            !(is_sps ? next->sps : next->pps).reserve(size) || !entries_.push_back(next)) {
            destroy(next);
            return false;
        }
        next->format = cur->format;
        cur = next;
    }
    ParameterSetList &list = is_sps ? cur->sps : cur->pps;
    if (!list.reserve(size)) return false;

    // A set replaces the one with its id, as it does in the stream.
    if (is_sps) {
        list.remove_if([&](const uint8_t *held, uint32_t n) {
            SpsInfo h{};
            return parse_sps(held, n, &h) && h.id == sps.id;
        });
    } else {
        list.remove_if([&](const uint8_t *held, uint32_t n) {
            uint32_t id = 0;
            return parse_pps_id(held, n, &id) && id == pps_id;
        });
    }
    if (list.count() >= (is_sps ? kMaxSps : kMaxPps)) return true;
    list.add(nal, size);  // room reserved above

    if (is_sps) {
        AvcFormat &f = cur->format;
        // The first description keeps the size and profile the track was
        // declared with; later ones describe their own SPS.
        if (entries_.size() > 1) {
            f.width = sps.width;
            f.height = sps.height;
            f.profile = sps.profile_idc;
            f.compat = sps.constraint_flags;
            f.level = sps.level_idc;
        }
        f.chroma_format_idc = sps.chroma_format_idc;
        f.bit_depth_luma = sps.bit_depth_luma;
        f.bit_depth_chroma = sps.bit_depth_chroma;
        f.has_sps_info = true;
    }
    return true;
}

namespace {

// Calls `f(nal, size)` for each set of `list` whose size fits a length
// field of `length_size` bytes.
template <class F>
void for_each_in_band(const ParameterSetList &list, uint32_t length_size, F f) {
    const GrowableArray<uint8_t> &b = list.bytes();
    for (uint32_t at = 0; at < b.size(); at += 2u + load_u16(&b[at])) {
        const uint16_t size = load_u16(&b[at]);
        if (length_size >= 2 || size <= 0xff) f(&b[at + 2], size);
    }
}

}  // namespace

uint64_t AvcSampleEntries::in_band_size(uint32_t length_size) const {
    uint64_t n = 0;
    const auto count = [&](const uint8_t *, uint16_t size) { n += length_size + size; };
    for_each_in_band(entries_.back()->sps, length_size, count);
    for_each_in_band(entries_.back()->pps, length_size, count);
    return n;
}

void AvcSampleEntries::append_in_band(GrowableArray<uint8_t> &out, uint32_t length_size) const {
    const auto put = [&](const uint8_t *nal, uint16_t size) {
        const uint8_t field[4] = {0, 0, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
        out.append(field + 4 - length_size, length_size);  // room reserved
        out.append(nal, size);
    };
    for_each_in_band(entries_.back()->sps, length_size, put);
    for_each_in_band(entries_.back()->pps, length_size, put);
}

uint64_t AvcSampleEntries::parameter_bytes() const {
    uint64_t n = 0;
    for (const AvcSampleEntry *e : entries_) n += e->sps.bytes().size() + e->pps.bytes().size();
    return n;
}

}  // namespace mp4

#include "media_split.h"

#include <cstdio>

#include "elementary_streams/adts.h"
#include "elementary_streams/annexb.h"

namespace media_split {

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return out;
}

std::vector<Frame> split_annexb(const std::vector<uint8_t> &s) {
    std::vector<Frame> out;
    size_t pos = 0;
    std::span<const uint8_t> nal;
    while (elementary_streams::next_nal_unit(s, &pos, &nal)) {
        Frame f = {0, 0, 0, 1};
        f.insert(f.end(), nal.begin(), nal.end());
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<uint64_t> picture_numbers(const std::vector<Frame> &units, uint64_t *pictures) {
    namespace es = elementary_streams;
    std::vector<uint64_t> out;
    out.reserve(units.size());
    uint64_t picture = 0;
    bool has_slice = false;
    for (const Frame &f : units) {
        const uint8_t type = nal_type(f);
        const bool slice = type >= es::kNalTypeSlice && type <= es::kNalTypeIdrSlice;
        if (has_slice && (!slice || es::slice_begins_picture(f.data() + 4, f.size() - 4))) {
            ++picture;
            has_slice = false;
        }
        has_slice |= slice;
        out.push_back(picture);
    }
    *pictures = picture + (has_slice ? 1 : 0);
    return out;
}

std::vector<Frame> split_adts(const std::vector<uint8_t> &s) {
    std::vector<Frame> out;
    size_t pos = 0;
    std::span<const uint8_t> frame;
    while (elementary_streams::next_adts_frame(s, &pos, &frame))
        out.emplace_back(frame.begin(), frame.end());
    return out;
}

}  // namespace media_split

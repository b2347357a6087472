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

std::vector<Frame> split_adts(const std::vector<uint8_t> &s) {
    std::vector<Frame> out;
    size_t pos = 0;
    std::span<const uint8_t> frame;
    while (elementary_streams::next_adts_frame(s, &pos, &frame))
        out.emplace_back(frame.begin(), frame.end());
    return out;
}

}  // namespace media_split

// media_split.h - elementary streams as the frames producers put, in
// vectors for the tools and tests: one H.264 NAL unit behind a 4-byte start
// code, or one whole ADTS frame.  The splitting itself is the stream-format
// library's (elementary_streams/).
#ifndef TOOLS_MEDIA_SPLIT_H
#define TOOLS_MEDIA_SPLIT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace media_split {

using Frame = std::vector<uint8_t>;

// The whole file, or an empty vector if it cannot be read.
std::vector<uint8_t> read_file(const std::string &path);

// Annex-B byte stream to NAL units, each returned as 00 00 00 01 + the unit
// (3- and 4-byte start codes both accepted; trailing zero bytes dropped).
std::vector<Frame> split_annexb(const std::vector<uint8_t> &stream);

// ADTS stream to whole frames (header included).  Bytes that do not start a
// well-formed frame are skipped up to the next syncword.
std::vector<Frame> split_adts(const std::vector<uint8_t> &stream);

// NAL unit type of a start-code-prefixed frame; 0 if too short.
inline uint8_t nal_type(const Frame &frame) {
    return frame.size() > 4 ? frame[4] & 0x1f : 0;
}

// The picture each unit of split_annexb's result belongs to, from 0: a
// picture is its slices with the parameter sets and SEI ahead of them, so a
// unit that is not a slice after a slice, or a slice whose first_mb_in_slice
// is 0, begins the next.  `*pictures` receives how many pictures hold a slice.
std::vector<uint64_t> picture_numbers(const std::vector<Frame> &units, uint64_t *pictures);

}  // namespace media_split

#endif  // TOOLS_MEDIA_SPLIT_H

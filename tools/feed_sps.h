// feed_sps.h - the picture size an H.264 sequence parameter set declares,
// for the width and height the simulated producer puts beside each frame.
#ifndef TOOLS_FEED_SPS_H
#define TOOLS_FEED_SPS_H

#include <cstddef>
#include <cstdint>

namespace feed {

struct PictureSize {
    uint16_t width = 0;
    uint16_t height = 0;
};

// Reads the display size (the coded size less the frame cropping) from an SPS
// NAL unit given from its header byte on (no start code), emulation
// prevention bytes still in.  Handles the high profiles' chroma, bit-depth
// and scaling-list fields and both picture-order-count forms that carry
// extra fields.  Never reads outside [nal, nal + n).  false when the unit is
// not an SPS, is cut short, or declares a size that is not a picture.
bool parse_sps_size(const uint8_t *nal, size_t n, PictureSize *out);

}  // namespace feed

#endif  // TOOLS_FEED_SPS_H

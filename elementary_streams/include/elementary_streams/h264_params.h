// h264_params.h - what the MP4 writer and the simulated producer need to know
// from H.264 parameter sets (ISO/IEC 14496-10, 7.3.2.1 and 7.3.2.2): the ids
// that decide which held set a new one replaces, and the picture size a
// sample description declares and a producer puts beside each frame.
#ifndef ELEMENTARY_STREAMS_H264_PARAMS_H
#define ELEMENTARY_STREAMS_H264_PARAMS_H

#include <cstdint>

namespace elementary_streams {

constexpr uint8_t kNalTypeSps = 7;
constexpr uint8_t kNalTypePps = 8;

struct SpsInfo {
    uint8_t profile_idc;
    uint8_t constraint_flags;
    uint8_t level_idc;
    uint8_t id;                 // seq_parameter_set_id, 0..31
    uint8_t chroma_format_idc;  // 0..3; 1 (4:2:0) when the profile has no such field
    uint8_t bit_depth_luma;     // 8..14
    uint8_t bit_depth_chroma;   // 8..14
    uint16_t width;             // frame size after cropping, in luma samples
    uint16_t height;
};

// Parses an SPS NAL unit (header byte first, emulation prevention bytes in
// place).  False when it is not an SPS, is truncated, or holds values out
// of their legal range; nothing is read beyond `size` bytes.
bool parse_sps(const uint8_t *nal, uint32_t size, SpsInfo *info);

// Reads pic_parameter_set_id (0..255) of a PPS NAL unit; false as above.
bool parse_pps_id(const uint8_t *nal, uint32_t size, uint32_t *id);

}  // namespace elementary_streams

#endif  // ELEMENTARY_STREAMS_H264_PARAMS_H

// adts.cpp - the ADTS fixed header, frame splitting and the
// AudioSpecificConfig.
//
// Header bits: byte 1 bits 2-1 layer (00); byte 2 profile (bits 7-6),
// sampling frequency index (5-2), private bit (1), channel configuration
// high bit (0); byte 3 bits 7-6 the channel configuration's two low bits,
// bits 1-0 with bytes 4 and 5 the 13-bit frame length; byte 6 bits 1-0 the
// raw data blocks.  The AudioSpecificConfig is object type (5 bits) =
// profile + 1, frequency index (4), channel configuration (4), then three
// clear flags (frame length, core coder, extension).
#include "elementary_streams/adts.h"

#include <cstdio>

namespace elementary_streams {
namespace {

// ISO/IEC 14496-3 sampling frequency index table; 13..15 are reserved.
constexpr uint32_t kSamplingFrequency[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                             16000, 12000, 11025, 8000,  7350,  0,     0,     0};

unsigned profile_of(const uint8_t *h) {
    return h[2] >> 6;
}
unsigned channel_config_of(const uint8_t *h) {
    return ((h[2] & 0x01) << 2) | (h[3] >> 6);
}

}  // namespace

bool parse_adts_header(std::span<const uint8_t> bytes, AdtsHeader *header) {
    if (bytes.size() < kAdtsHeaderSize) return false;
    const uint8_t *h = bytes.data();
    if (h[0] != 0xff || (h[1] & 0xf6) != 0xf0) return false;
    const unsigned length = (static_cast<unsigned>(h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
    if (length < kAdtsHeaderSize) return false;
    header->profile = static_cast<uint8_t>(profile_of(h));
    header->sampling_index = static_cast<uint8_t>(adts_sampling_index(h));
    header->channel_config = static_cast<uint8_t>(channel_config_of(h));
    header->raw_data_blocks = h[6] & 3;
    header->frame_length = static_cast<uint16_t>(length);
    return true;
}

uint32_t adts_sampling_frequency(unsigned index) {
    return index < 16 ? kSamplingFrequency[index] : 0;
}

bool next_adts_frame(std::span<const uint8_t> stream, size_t *pos, std::span<const uint8_t> *frame) {
    size_t i = *pos;
    while (i + kAdtsHeaderSize <= stream.size()) {
        AdtsHeader h;
        if (!parse_adts_header(stream.subspan(i), &h) || i + h.frame_length > stream.size()) {
            ++i;
            continue;
        }
        *frame = stream.subspan(i, h.frame_length);
        *pos = i + h.frame_length;
        return true;
    }
    *pos = i;
    return false;
}

void audio_specific_config(const uint8_t *header, uint8_t config[2]) {
    const unsigned profile = profile_of(header);
    if (profile == 3) puts("Bad (reserved) 'profile': 3 in first frame of ADTS file");

    const unsigned index = adts_sampling_index(header);
    if (kSamplingFrequency[index] == 0)
        puts("Bad 'sampling_frequency_index' in first frame of ADTS file");

    const unsigned channels = channel_config_of(header);

    config[0] = static_cast<uint8_t>(((profile + 1) << 3) | (index >> 1));
    config[1] = static_cast<uint8_t>(((index & 0x01) << 7) | (channels << 3));
}

unsigned adts_sampling_index(const uint8_t *h) {
    return (h[2] >> 2) & 0x0f;
}

}  // namespace elementary_streams

// aac_config.cpp - ADTS header to AudioSpecificConfig.
//
// ADTS byte 2: profile (bits 7-6), sampling frequency index (5-2), private
// bit (1), channel configuration high bit (0); byte 3 bits 7-6 hold the
// channel configuration's two low bits.  The AudioSpecificConfig is
// object type (5 bits) = profile + 1, frequency index (4), channel
// configuration (4), then three clear flags (frame length, core coder,
// extension).
#include "recorder/aac_config.h"

#include <cstdio>

namespace {

// ISO/IEC 14496-3 sampling frequency index table; 13..15 are reserved.
// Only used to recognise a reserved index.
constexpr uint32_t kSamplingFrequency[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                             16000, 12000, 11025, 8000,  7350,  0,     0,     0};

}  // namespace

extern "C" void calc_aac_config(const uint8_t *frame, uint8_t *config) {
    const unsigned profile = frame[2] >> 6;
    if (profile == 3) puts("Bad (reserved) 'profile': 3 in first frame of ADTS file");

    const unsigned index = (frame[2] >> 2) & 0x0f;
    if (kSamplingFrequency[index] == 0)
        puts("Bad 'sampling_frequency_index' in first frame of ADTS file");

    const unsigned channels = ((frame[2] & 0x01) << 2) | (frame[3] >> 6);

    config[0] = static_cast<uint8_t>(((profile + 1) << 3) | (index >> 1));
    config[1] = static_cast<uint8_t>(((index & 0x01) << 7) | (channels << 3));
}

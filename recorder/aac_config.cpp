// aac_config.cpp - the recorder's C entry to the AudioSpecificConfig of an
// ADTS header; the computation and its two warnings live with the other
// stream formats.
#include "recorder/aac_config.h"

#include "elementary_streams/adts.h"

extern "C" void calc_aac_config(const uint8_t *frame, uint8_t *config) {
    elementary_streams::audio_specific_config(frame, config);
}

/*
 * aac_config.h - the MPEG-4 AudioSpecificConfig of an AAC stream, derived
 * from the ADTS header in front of one of its frames.
 *
 * C linkage; compiles as C99 and as C++.
 */
#ifndef RECORDER_AAC_CONFIG_H
#define RECORDER_AAC_CONFIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the 2-byte AudioSpecificConfig (ISO/IEC 14496-3) for the ADTS frame
 * at `frame` (at least its first 4 bytes are read) into `config`.  A reserved
 * profile or sampling frequency index is reported on standard output and
 * passed through as it is; `config` is always written. */
void calc_aac_config(const uint8_t *frame, uint8_t *config);

#ifdef __cplusplus
}
#endif

#endif /* RECORDER_AAC_CONFIG_H */

// adts.h - AAC in ADTS (ISO/IEC 14496-3, 1.A.2): the fixed header, the
// stream taken apart into whole frames, the sampling frequency table and the
// AudioSpecificConfig an MP4 audio track declares.
#ifndef ELEMENTARY_STREAMS_ADTS_H
#define ELEMENTARY_STREAMS_ADTS_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace elementary_streams {

// The header without its optional CRC; frame_length counts it too.
constexpr size_t kAdtsHeaderSize = 7;

struct AdtsHeader {
    uint8_t profile;          // 0..3; the audio object type is profile + 1
    uint8_t sampling_index;   // 0..15; 13..15 are reserved
    uint8_t channel_config;   // 0..7
    uint8_t raw_data_blocks;  // raw data blocks in the frame, minus one (0..3)
    uint16_t frame_length;    // header included, at least kAdtsHeaderSize
};

// Reads the header at the start of `bytes`.  False when fewer than 7 bytes
// are there, the 12-bit syncword or the layer (00) is wrong, or the frame
// length is shorter than the header.  Whether the whole frame is within
// `bytes` is the caller's question.
bool parse_adts_header(std::span<const uint8_t> bytes, AdtsHeader *header);

// The sampling frequency index of the ADTS header at `header` (byte 2 is
// read; nothing is checked).
unsigned adts_sampling_index(const uint8_t *header);

// The header's length at `header`: 7 bytes, or 9 when protection_absent
// (bit 0 of byte 1) is 0 and a CRC follows it.  Nothing is checked.
inline size_t adts_header_length(const uint8_t *header) {
    return (header[1] & 1u) ? kAdtsHeaderSize : kAdtsHeaderSize + 2;
}

// Whether two ADTS headers declare the same audio: profile, sampling
// frequency index and channel configuration (bytes 2 and 3; the private bit
// aside).  A track configured by one cannot carry frames of the other.
inline bool adts_same_audio(const uint8_t *a, const uint8_t *b) {
    return (a[2] & 0xFDu) == (b[2] & 0xFDu) && (a[3] & 0xC0u) == (b[3] & 0xC0u);
}

// The sampling frequency of an index in Hz; 0 for the reserved 13..15 and
// anything beyond.
uint32_t adts_sampling_frequency(unsigned index);

// The next whole frame (header included) of an ADTS stream at or after
// `*pos` (0 for the first call; each call leaves `*pos` past the frame).
// Bytes that do not start a well-formed frame lying wholly within the
// stream are skipped one at a time.  False, with `*pos` past the last
// frame, when none is left.
bool next_adts_frame(std::span<const uint8_t> stream, size_t *pos, std::span<const uint8_t> *frame);

// Writes the 2-byte AudioSpecificConfig for the ADTS header at `header`
// (bytes 2 and 3 are read; the syncword is not checked).  A reserved
// profile or sampling frequency index is reported with one line on
// standard output each and passed through as it is; `config` is always
// written.
void audio_specific_config(const uint8_t *header, uint8_t config[2]);

}  // namespace elementary_streams

#endif  // ELEMENTARY_STREAMS_ADTS_H

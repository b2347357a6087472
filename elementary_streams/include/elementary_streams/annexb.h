// annexb.h - H.264 Annex-B byte streams (ISO/IEC 14496-10, Annex B) taken
// apart into their NAL units, in place: no copy, no allocation.
#ifndef ELEMENTARY_STREAMS_ANNEXB_H
#define ELEMENTARY_STREAMS_ANNEXB_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace elementary_streams {

// The next NAL unit of `stream` at or after `*pos` (0 for the first call;
// each call leaves `*pos` where the next one resumes).  A unit runs from the
// byte after a 00 00 01 start code to the next start code or the end of the
// stream, with its trailing zero bytes dropped: they belong to a following
// 4-byte start code (or are trailing_zero_8bits).  Units left empty by that
// are passed over; bytes ahead of the first start code are not a unit.
// False, with `*pos` at the end, when no unit is left.
bool next_nal_unit(std::span<const uint8_t> stream, size_t *pos, std::span<const uint8_t> *nal);

// Coded slices of a picture: non-IDR (1) and IDR (5).  Every slice of an IDR
// picture is an IDR slice.  (Data partitions, 2 to 4, are not taken.)
constexpr uint8_t kNalTypeSlice = 1;
constexpr uint8_t kNalTypeIdrSlice = 5;

// Whether the slice NAL unit `nal` (header byte first) is the first of its
// picture: its first_mb_in_slice, the slice header's first ue(v), is 0
// exactly when that field's first bit is set.  A unit too short to say is
// taken as a first slice.
inline bool slice_begins_picture(const uint8_t *nal, size_t size) {
    return size < 2 || (nal[1] & 0x80u) != 0;
}

}  // namespace elementary_streams

#endif  // ELEMENTARY_STREAMS_ANNEXB_H

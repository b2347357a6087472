// avc_sample_entries.h - the sample descriptions (avc1 entries of stsd) of
// an H.264 track and the parameter sets each carries in its avcC.
//
// A decoder reads one description's parameter sets before the samples that
// refer to it, so a set that differs from the current description's must
// not be added to a description samples were already written under: the
// samples before it would be decoded with the wrong set.  Such a set starts
// a new description instead, which takes over the sets still in force (in
// a stream, a new set replaces only the one with its own id) and the
// picture size of its SPS.  Until a description has samples, sets join it.
//
// Players do not all follow a change of description: ffmpeg and GStreamer
// reconfigure their decoder from the new avcC, but Chromium's pipeline
// keeps decoding with the first description's sets and fails at the first
// picture after the change.  Every H.264 decoder does take parameter sets
// carried in the samples.  So the first sample of every later description
// also carries that description's sets in-band, ahead of its pictures: the
// file stays right by the format (each avcC matches the pictures that refer
// to it, for players that follow descriptions) and a player that keeps the
// first one finds the new sets in the stream itself.  One description with
// the sets only in-band would leave the file's declared size and sets
// wrong for the later pictures; this way costs a few dozen bytes per
// change.  The first description's samples never carry sets in-band, so a
// clip without a change holds exactly the samples handed in.
#ifndef MP4_SRC_AVC_SAMPLE_ENTRIES_H
#define MP4_SRC_AVC_SAMPLE_ENTRIES_H

#include <cstdint>

#include "growable_array.h"

namespace mp4 {

// Parameter sets of one kind laid out as avcC stores them: each a 16-bit
// big-endian length followed by the NAL unit.
class ParameterSetList {
  public:
    uint32_t count() const { return count_; }
    const GrowableArray<uint8_t> &bytes() const { return bytes_; }
    bool copy_from(const ParameterSetList &other);
    bool contains(const uint8_t *nal, uint16_t size) const;
    // Makes room to add a set of `size` bytes without failing.
    bool reserve(uint16_t size);
    // Removes the set for which `same_id(nal, size)` holds, if any.
    template <class SameId>
    void remove_if(SameId same_id);
    bool add(const uint8_t *nal, uint16_t size);

  private:
    GrowableArray<uint8_t> bytes_;
    uint32_t count_ = 0;
};

// What an avc1 entry declares besides its parameter sets.
struct AvcFormat {
    uint16_t width;
    uint16_t height;
    uint8_t profile;  // avcC AVCProfileIndication
    uint8_t compat;   // avcC profile_compatibility
    uint8_t level;    // avcC AVCLevelIndication
    // For the high profiles' avcC extension; valid when has_sps_info.
    uint8_t chroma_format_idc;
    uint8_t bit_depth_luma;
    uint8_t bit_depth_chroma;
    bool has_sps_info;
};

struct AvcSampleEntry {
    ParameterSetList sps;
    ParameterSetList pps;
    AvcFormat format;
    bool has_samples;
};

class AvcSampleEntries {
  public:
    enum class Kind { kSps, kPps };

    AvcSampleEntries() = default;
    ~AvcSampleEntries();
    AvcSampleEntries(const AvcSampleEntries &) = delete;
    AvcSampleEntries &operator=(const AvcSampleEntries &) = delete;

    // The first description, as the track was declared.
    bool init(uint16_t width, uint16_t height, uint8_t profile, uint8_t compat, uint8_t level);

    // Adds a parameter set (header byte first).  A set of the wrong NAL
    // type, or one that does not parse, is ignored.  False only when out of
    // memory (nothing changed then).
    bool add(Kind kind, const uint8_t *nal, uint16_t size);

    // 1-based index of the description the next sample is written under.
    uint32_t current_index() const { return entries_.size(); }

    // True when the next sample is the first of a description after the
    // first: it carries the description's sets in-band.
    bool starts_later_description() const {
        return entries_.size() > 1 && !entries_.back()->has_samples;
    }
    // The current description's SPS then PPS as NAL units of a sample, each
    // behind a big-endian length field of `length_size` (1 to 4) bytes.  A
    // set too long for that field is left out (it stays in the avcC).
    uint64_t in_band_size(uint32_t length_size) const;
    // Appends those bytes into room the caller reserved (in_band_size).
    void append_in_band(GrowableArray<uint8_t> &out, uint32_t length_size) const;
    void note_sample() { entries_.back()->has_samples = true; }

    uint32_t count() const { return entries_.size(); }
    const AvcSampleEntry &entry(uint32_t i) const { return *entries_[i]; }
    // Bytes of parameter sets held by all descriptions.
    uint64_t parameter_bytes() const;

  private:
    GrowableArray<AvcSampleEntry *> entries_;
};

}  // namespace mp4

#endif  // MP4_SRC_AVC_SAMPLE_ENTRIES_H

// picture.h - one coded picture gathered from the video frames that carry
// it, as the MP4 sample it becomes: each of its slices behind a 4-byte
// big-endian length.  A camera may put a picture as several frames (one per
// slice) or as one frame holding a whole access unit (parameter sets, SEI
// and slices, each behind its own start code); either way the picture is
// one sample, a sync sample only when its slices are IDR slices.
#ifndef RECORDER_PICTURE_H
#define RECORDER_PICTURE_H

#include <stdint.h>

#include <elementary_streams/annexb.h>
#include <span>

namespace recorder {

// One NAL unit of a video frame: its bytes (header first) and its type.
struct FrameUnit {
    const uint8_t *nal;
    uint32_t size;
    uint8_t type;
};

// The units of the video frame `frame` in order, given one at a time to
// `take(unit)`.  A frame of one unit (the producer's 4-byte start code, then
// no other start code) is that unit, bytes 4 to its end, trailing zero bytes
// and all, with the type its producer gave it; nothing when it is shorter
// than 5 bytes.  A frame holding other start codes is taken apart at them,
// each unit's type from its header.
template <class Take>
void for_each_unit(std::span<const uint8_t> frame, uint8_t frame_type, Take take) {
    constexpr size_t kStartCode = 4;  // the producer's 00 00 00 01 ahead of a frame
    if (frame.size() <= kStartCode) return;
    size_t pos = 0;
    std::span<const uint8_t> nal;
    if (!elementary_streams::next_nal_unit(frame.subspan(kStartCode), &pos, &nal)) {
        take(FrameUnit{frame.data() + kStartCode, static_cast<uint32_t>(frame.size() - kStartCode),
                       frame_type});
        return;
    }
    for (pos = 0; elementary_streams::next_nal_unit(frame, &pos, &nal);)
        take(FrameUnit{nal.data(), static_cast<uint32_t>(nal.size()),
                       static_cast<uint8_t>(nal[0] & 0x1f)});
}

class Picture {
  public:
    // Room for the slices of the largest picture a camera puts: four times
    // the largest frame a reader takes.  Slices beyond it are left out.
    static constexpr uint32_t kCapacity = 0x180000;

    Picture() = default;
    ~Picture();
    Picture(const Picture &) = delete;
    Picture &operator=(const Picture &) = delete;

    bool allocate();  // false when out of memory
    bool empty() const { return size_ == 0; }
    const uint8_t *data() const { return bytes_; }
    uint32_t size() const { return size_; }
    uint32_t ts() const { return ts_; }
    uint32_t sec() const { return sec_; }
    bool idr() const { return idr_; }

    // Whether the slice `unit` of a frame at `ts` continues this picture: a
    // slice whose first_mb_in_slice is not 0 continues the picture before
    // it, and one sharing the picture's ts does while the picture has no
    // first slice yet (slices sent out of order).  An IDR picture's slices
    // are all IDR slices, so a change of kind always begins a new picture.
    bool continued_by(const FrameUnit &unit, uint32_t ts) const;
    // Empties it and starts the picture of the slice `unit` at `ts`, `sec`.
    void begin(const FrameUnit &unit, uint32_t ts, uint32_t sec);
    // The slice behind its length; false (and left out) past kCapacity.
    bool append(const FrameUnit &unit);
    void clear() { size_ = 0, has_first_slice_ = false; }
    // Trades contents with `other` (the buffers change places, nothing is copied).
    void swap(Picture &other);

  private:
    uint8_t *bytes_ = nullptr;
    uint32_t size_ = 0;
    uint32_t ts_ = 0;
    uint32_t sec_ = 0;
    bool idr_ = false;
    bool has_first_slice_ = false;
};

}  // namespace recorder

#endif  // RECORDER_PICTURE_H

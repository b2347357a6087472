// box_writer.h - big-endian serialisation of ISO base media boxes into a
// memory buffer, nested the way the box tree is:
//
//     w.box("moov", [&] {
//         w.full_box("mvhd", 0, 0, [&] { w.u32(...); ... });
//     });
//
// A box's size is patched in when its body is complete.  Allocation
// failures are sticky: later writes are dropped and ok() turns false, so
// the tree reads straight through without a check per field.
#ifndef MP4_SRC_BOX_WRITER_H
#define MP4_SRC_BOX_WRITER_H

#include <cstdint>

#include "growable_array.h"

namespace mp4 {

class BoxWriter {
  public:
    explicit BoxWriter(GrowableArray<uint8_t> &out) : out_(out) {}

    bool ok() const { return ok_; }
    uint32_t size() const { return out_.size(); }

    void u8(uint32_t v) { put(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) {
        const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
        bytes(b, 2);
    }
    void u24(uint32_t v) {
        const uint8_t b[3] = {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        bytes(b, 3);
    }
    void u32(uint32_t v) {
        const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        bytes(b, 4);
    }
    void fourcc(const char *code) { bytes(reinterpret_cast<const uint8_t *>(code), 4); }
    void zeros(uint32_t n) {
        while (n-- > 0) put(0);
    }
    void bytes(const uint8_t *p, uint32_t n) {
        if (ok_ && !out_.append(p, n)) ok_ = false;
    }

    template <class Body>
    void box(const char *type, Body body) {
        const uint32_t start = out_.size();
        u32(0);
        fourcc(type);
        body();
        patch_u32(start, out_.size() - start);
    }
    template <class Body>
    void full_box(const char *type, uint8_t version, uint32_t flags, Body body) {
        box(type, [&] {
            u8(version);
            u24(flags);
            body();
        });
    }
    // An MPEG-4 descriptor (ISO/IEC 14496-1) with its length in the 4-byte
    // form (0x80 0x80 0x80 n for small n), the form decoders most expect.
    template <class Body>
    void descriptor(uint8_t tag, Body body) {
        u8(tag);
        const uint32_t start = out_.size();
        u32(0);
        body();
        const uint32_t n = out_.size() - start - 4;
        patch_u32(start, 0x80808000u | ((n << 3) & 0x7f000000u) | ((n << 2) & 0x7f0000u) |
                             ((n << 1) & 0x7f00u) | (n & 0x7fu));
    }

  private:
    void put(uint8_t b) {
        if (ok_ && !out_.push_back(b)) ok_ = false;
    }
    void patch_u32(uint32_t at, uint32_t v) {
        if (!ok_) return;
        uint8_t *p = out_.data() + at;
        p[0] = uint8_t(v >> 24);
        p[1] = uint8_t(v >> 16);
        p[2] = uint8_t(v >> 8);
        p[3] = uint8_t(v);
    }

    GrowableArray<uint8_t> &out_;
    bool ok_ = true;
};

}  // namespace mp4

#endif  // MP4_SRC_BOX_WRITER_H

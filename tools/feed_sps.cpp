#include "feed_sps.h"

namespace feed {
namespace {

// MSB-first bit reader over a NAL unit's payload that drops emulation
// prevention bytes (the 03 of 00 00 03) as it goes.  Reading past the end
// sets `failed` and yields zeros; nothing is read outside the buffer.
class BitReader {
  public:
    BitReader(const uint8_t *p, size_t n) : p_(p), n_(n) {}

    bool failed() const { return failed_; }

    uint32_t bit() {
        if (bits_left_ == 0 && !load()) return 0;
        --bits_left_;
        return (cur_ >> bits_left_) & 1u;
    }
    uint32_t bits(int count) {
        uint32_t v = 0;
        while (count-- > 0) v = v << 1 | bit();
        return v;
    }
    // Unsigned exp-Golomb; codes longer than 32 bits are refused.
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (failed_ || ++zeros > 31) return fail();
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }
    int32_t se() {
        const uint32_t k = ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
    uint32_t fail() {
        failed_ = true;
        return 0;
    }

  private:
    bool load() {
        if (pos_ < n_ && zeros_ >= 2 && p_[pos_] == 3) {
            ++pos_;
            zeros_ = 0;
        }
        if (pos_ >= n_) {
            failed_ = true;
            return false;
        }
        cur_ = p_[pos_++];
        zeros_ = cur_ == 0 ? zeros_ + 1 : 0;
        bits_left_ = 8;
        return true;
    }

    const uint8_t *p_;
    size_t n_;
    size_t pos_ = 0;
    int zeros_ = 0;  // zero bytes just before pos_
    uint32_t cur_ = 0;
    int bits_left_ = 0;
    bool failed_ = false;
};

bool high_profile(uint32_t profile) {
    switch (profile) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

void skip_scaling_list(BitReader &r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) {
            const int32_t delta = r.se();
            if (delta < -128 || delta > 127) r.fail();
            next = (last + delta + 256) % 256;
        }
        if (next != 0) last = next;
    }
}

}  // namespace

bool parse_sps_size(const uint8_t *nal, size_t n, PictureSize *out) {
    if (n < 2 || (nal[0] & 0x1f) != 7) return false;
    BitReader r(nal + 1, n - 1);
    const uint32_t profile = r.bits(8);
    r.bits(16);                     // constraint flags, level
    if (r.ue() > 31) return false;  // seq_parameter_set_id
    uint32_t chroma = 1;
    bool separate_planes = false;
    if (high_profile(profile)) {
        chroma = r.ue();
        if (chroma > 3) return false;
        if (chroma == 3) separate_planes = r.bit();
        if (r.ue() > 6 || r.ue() > 6) return false;  // bit depths less 8
        r.bit();                                     // qpprime_y_zero_transform_bypass
        if (r.bit()) {                               // seq_scaling_matrix_present
            const int lists = chroma == 3 ? 12 : 8;
            for (int i = 0; i < lists && !r.failed(); ++i)
                if (r.bit()) skip_scaling_list(r, i < 6 ? 16 : 64);
        }
    }
    if (r.ue() > 12) return false;  // log2_max_frame_num less 4
    const uint32_t poc_type = r.ue();
    if (poc_type == 0) {
        if (r.ue() > 12) return false;  // log2_max_pic_order_cnt_lsb less 4
    } else if (poc_type == 1) {
        r.bit();  // delta_pic_order_always_zero
        r.se();   // offset_for_non_ref_pic
        r.se();   // offset_for_top_to_bottom_field
        const uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && !r.failed(); ++i) r.se();
    } else if (poc_type != 2) {
        return false;
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed
    const uint32_t width_mbs = r.ue() + 1;
    const uint32_t height_units = r.ue() + 1;
    const uint32_t frame_mbs_only = r.bit();
    if (!frame_mbs_only) r.bit();     // mb_adaptive_frame_field
    r.bit();                          // direct_8x8_inference
    uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    if (r.bit())
        for (uint32_t &c : crop) c = r.ue();
    if (r.failed() || width_mbs > 4096 || height_units > 4096) return false;

    // Crop units: one luma sample per chroma sample of the format, doubled
    // vertically for field coding.
    const uint32_t array_type = separate_planes ? 0 : chroma;
    const uint32_t unit_x = (array_type == 1 || array_type == 2) ? 2 : 1;
    const uint32_t unit_y = (array_type == 1 ? 2 : 1) * (2 - frame_mbs_only);
    const uint64_t coded_w = uint64_t{width_mbs} * 16;
    const uint64_t coded_h = uint64_t{height_units} * 16 * (2 - frame_mbs_only);
    const uint64_t crop_w = uint64_t{unit_x} * (uint64_t{crop[0]} + crop[1]);
    const uint64_t crop_h = uint64_t{unit_y} * (uint64_t{crop[2]} + crop[3]);
    if (crop_w >= coded_w || crop_h >= coded_h) return false;
    const uint64_t w = coded_w - crop_w, h = coded_h - crop_h;
    if (w > 0xffff || h > 0xffff) return false;
    out->width = static_cast<uint16_t>(w);
    out->height = static_cast<uint16_t>(h);
    return true;
}

}  // namespace feed

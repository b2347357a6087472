// h264_params.cpp - bounded parsing of SPS and PPS headers.
//
// The reader works on the NAL unit as stored (the bytes go into the file
// unchanged), dropping emulation prevention bytes (00 00 03) as it goes.
// Every read past the end yields zero bits and marks the reader failed, and
// every loop is bounded by a range-checked count, so truncated or hostile
// input ends the parse quickly with a false result.
#include "elementary_streams/h264_params.h"

namespace elementary_streams {
namespace {

class RbspReader {
  public:
    RbspReader(const uint8_t *p, uint32_t n) : p_(p), n_(n) {}

    bool failed() const { return failed_; }
    void mark_failed() { failed_ = true; }

    uint32_t bit() {
        if (left_ == 0 && !next_byte()) return 0;
        --left_;
        return (cur_ >> left_) & 1u;
    }
    uint32_t bits(int n) {
        uint32_t v = 0;
        while (n-- > 0) v = (v << 1) | bit();
        return v;
    }
    // Unsigned exp-Golomb; values need at most 32 bits, so at most 31
    // leading zeros.
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }
    int64_t se() {
        const uint64_t k = ue();
        return (k & 1) ? static_cast<int64_t>((k + 1) / 2) : -static_cast<int64_t>(k / 2);
    }
    // ue() that must not exceed `max`.
    uint32_t ue_max(uint32_t max) {
        const uint32_t v = ue();
        if (v > max) failed_ = true;
        return v;
    }

  private:
    bool next_byte() {
        if (pos_ >= n_) return exhausted();
        uint8_t b = p_[pos_++];
        if (zeros_ >= 2 && b == 3) {
            if (pos_ >= n_) return exhausted();
            b = p_[pos_++];
            zeros_ = 0;
        }
        zeros_ = b == 0 ? zeros_ + 1 : 0;
        cur_ = b;
        left_ = 8;
        return true;
    }
    bool exhausted() {
        failed_ = true;
        return false;
    }

    const uint8_t *p_;
    uint32_t n_;
    uint32_t pos_ = 0;
    uint32_t zeros_ = 0;
    uint8_t cur_ = 0;
    int left_ = 0;
    bool failed_ = false;
};

// Profiles whose SPS carries chroma format, bit depths and scaling lists.
bool has_chroma_fields(uint32_t profile_idc) {
    static const uint8_t kProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                        118, 128, 138, 139, 134, 135};
    for (uint8_t p : kProfiles)
        if (p == profile_idc) return true;
    return false;
}

void skip_scaling_list(RbspReader &r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) {
            const int64_t delta = r.se();
            if (delta < -128 || delta > 127) return r.mark_failed();
            next = static_cast<int>((last + delta + 256) % 256);
        }
        if (next != 0) last = next;
    }
}

}  // namespace

bool parse_sps(const uint8_t *nal, uint32_t size, SpsInfo *info) {
    if (nal == nullptr || size < 4 || (nal[0] & 0x1f) != kNalTypeSps) return false;
    RbspReader r(nal + 1, size - 1);
    SpsInfo s{};
    s.profile_idc = static_cast<uint8_t>(r.bits(8));
    s.constraint_flags = static_cast<uint8_t>(r.bits(8));
    s.level_idc = static_cast<uint8_t>(r.bits(8));
    s.id = static_cast<uint8_t>(r.ue_max(31));
    s.chroma_format_idc = 1;
    s.bit_depth_luma = s.bit_depth_chroma = 8;
    uint32_t separate_colour_planes = 0;
    if (has_chroma_fields(s.profile_idc)) {
        s.chroma_format_idc = static_cast<uint8_t>(r.ue_max(3));
        if (s.chroma_format_idc == 3) separate_colour_planes = r.bit();
        s.bit_depth_luma = static_cast<uint8_t>(8 + r.ue_max(6));
        s.bit_depth_chroma = static_cast<uint8_t>(8 + r.ue_max(6));
        r.bit();        // qpprime_y_zero_transform_bypass_flag
        if (r.bit()) {  // seq_scaling_matrix_present_flag
            const int lists = s.chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists && !r.failed(); ++i)
                if (r.bit()) skip_scaling_list(r, i < 6 ? 16 : 64);
        }
    }
    r.ue_max(12);  // log2_max_frame_num_minus4
    const uint32_t poc_type = r.ue_max(2);
    if (poc_type == 0) {
        r.ue_max(12);  // log2_max_pic_order_cnt_lsb_minus4
    } else if (poc_type == 1) {
        r.bit();  // delta_pic_order_always_zero_flag
        r.se();   // offset_for_non_ref_pic
        r.se();   // offset_for_top_to_bottom_field
        const uint32_t cycle = r.ue_max(255);
        for (uint32_t i = 0; i < cycle && !r.failed(); ++i) r.se();
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    const uint64_t width_mbs = uint64_t{r.ue()} + 1;
    const uint64_t height_map_units = uint64_t{r.ue()} + 1;
    const uint32_t frame_mbs_only = r.bit();
    if (!frame_mbs_only) r.bit();  // mb_adaptive_frame_field_flag
    r.bit();                       // direct_8x8_inference_flag
    uint64_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
    if (r.bit()) {
        crop_left = r.ue();
        crop_right = r.ue();
        crop_top = r.ue();
        crop_bottom = r.ue();
    }
    if (r.failed()) return false;

    // Cropping is counted in chroma sample units (7.4.2.1.1).
    const uint32_t chroma_array_type = separate_colour_planes ? 0 : s.chroma_format_idc;
    const uint64_t sub_width = chroma_array_type == 1 || chroma_array_type == 2 ? 2 : 1;
    const uint64_t sub_height = chroma_array_type == 1 ? 2 : 1;
    const uint64_t field_factor = 2 - frame_mbs_only;
    const uint64_t crop_unit_x = chroma_array_type == 0 ? 1 : sub_width;
    const uint64_t crop_unit_y = (chroma_array_type == 0 ? 1 : sub_height) * field_factor;
    const uint64_t full_width = width_mbs * 16;
    const uint64_t full_height = height_map_units * 16 * field_factor;
    const uint64_t cut_x = crop_unit_x * (crop_left + crop_right);
    const uint64_t cut_y = crop_unit_y * (crop_top + crop_bottom);
    if (full_width > UINT16_MAX || full_height > UINT16_MAX || cut_x >= full_width ||
        cut_y >= full_height)
        return false;
    s.width = static_cast<uint16_t>(full_width - cut_x);
    s.height = static_cast<uint16_t>(full_height - cut_y);
    *info = s;
    return true;
}

bool parse_pps_id(const uint8_t *nal, uint32_t size, uint32_t *id) {
    if (nal == nullptr || size < 2 || (nal[0] & 0x1f) != kNalTypePps) return false;
    RbspReader r(nal + 1, size - 1);
    const uint32_t v = r.ue_max(255);
    if (r.failed()) return false;
    *id = v;
    return true;
}

}  // namespace elementary_streams

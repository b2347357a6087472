// picture.cpp - a picture's slices gathered into one sample.
#include "recorder/picture.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace recorder {
namespace es = elementary_streams;

Picture::~Picture() {
    std::free(bytes_);
}

bool Picture::allocate() {
    if (bytes_ == nullptr) bytes_ = static_cast<uint8_t *>(std::malloc(kCapacity));
    return bytes_ != nullptr;
}

bool Picture::continued_by(const FrameUnit &unit, uint32_t ts) const {
    if (empty() || (unit.type == es::kNalTypeIdrSlice) != idr_) return false;
    if (!es::slice_begins_picture(unit.nal, unit.size)) return true;
    return ts == ts_ && !has_first_slice_;
}

void Picture::begin(const FrameUnit &unit, uint32_t ts, uint32_t sec) {
    clear();
    ts_ = ts;
    sec_ = sec;
    idr_ = unit.type == es::kNalTypeIdrSlice;
}

bool Picture::append(const FrameUnit &unit) {
    if (uint64_t{size_} + 4 + unit.size > kCapacity) return false;
    uint8_t *p = bytes_ + size_;
    p[0] = static_cast<uint8_t>(unit.size >> 24);
    p[1] = static_cast<uint8_t>(unit.size >> 16);
    p[2] = static_cast<uint8_t>(unit.size >> 8);
    p[3] = static_cast<uint8_t>(unit.size);
    std::memcpy(p + 4, unit.nal, unit.size);
    size_ += 4 + unit.size;
    has_first_slice_ |= es::slice_begins_picture(unit.nal, unit.size);
    return true;
}

void Picture::swap(Picture &other) {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    std::swap(ts_, other.ts_);
    std::swap(sec_, other.sec_);
    std::swap(idr_, other.idr_);
    std::swap(has_first_slice_, other.has_first_slice_);
}

}  // namespace recorder

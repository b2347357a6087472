// byte_order.h - the big-endian 32-bit words of MP4 box headers and tables.
#ifndef MP4_SRC_BYTE_ORDER_H
#define MP4_SRC_BYTE_ORDER_H

#include <cstdint>

namespace mp4 {

inline uint32_t load_be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The low 32 bits of v.
inline void store_be32(uint8_t *p, uint64_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

}  // namespace mp4

#endif  // MP4_SRC_BYTE_ORDER_H

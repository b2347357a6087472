// annexb.cpp - NAL units of an Annex-B byte stream.
#include "elementary_streams/annexb.h"

#include <cstring>

namespace elementary_streams {
namespace {

// The next 00 00 01 at or after `from`; `n` if none.  memchr finds the 01
// and the two bytes before it are checked, so long runs of slice data are
// passed at the C library's speed.
size_t next_start_code(const uint8_t *s, size_t n, size_t from) {
    while (from + 2 < n) {
        const void *one = std::memchr(s + from + 2, 1, n - from - 2);
        if (one == nullptr) return n;
        const size_t i = static_cast<size_t>(static_cast<const uint8_t *>(one) - s);
        if (s[i - 1] == 0 && s[i - 2] == 0) return i - 2;
        from = i - 1;
    }
    return n;
}

}  // namespace

bool next_nal_unit(std::span<const uint8_t> stream, size_t *pos, std::span<const uint8_t> *nal) {
    const uint8_t *s = stream.data();
    const size_t n = stream.size();
    size_t sc = next_start_code(s, n, *pos);
    while (sc < n) {
        const size_t begin = sc + 3;
        const size_t following = next_start_code(s, n, begin);
        size_t end = following;
        while (end > begin && s[end - 1] == 0) --end;  // zeros belong to the next start code
        sc = following;
        if (end > begin) {
            *pos = following;
            *nal = stream.subspan(begin, end - begin);
            return true;
        }
    }
    *pos = n;
    return false;
}

}  // namespace elementary_streams

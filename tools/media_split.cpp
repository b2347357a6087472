#include "media_split.h"

#include <cstdio>

namespace media_split {

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return out;
}

std::vector<Frame> split_annexb(const std::vector<uint8_t> &s) {
    std::vector<Frame> out;
    const size_t n = s.size();
    // Finds the next 00 00 01 at or after `from`; n if none.
    auto next_start = [&](size_t from) {
        for (size_t i = from; i + 2 < n; ++i)
            if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
        return n;
    };
    size_t sc = next_start(0);
    while (sc < n) {
        const size_t begin = sc + 3;
        const size_t following = next_start(begin);
        size_t end = following;
        while (end > begin && s[end - 1] == 0) --end;  // zeros belong to the next start code
        if (end > begin) {
            Frame f = {0, 0, 0, 1};
            f.insert(f.end(), s.begin() + begin, s.begin() + end);
            out.push_back(std::move(f));
        }
        sc = following;
    }
    return out;
}

std::vector<Frame> split_adts(const std::vector<uint8_t> &s) {
    std::vector<Frame> out;
    size_t i = 0;
    while (i + 7 <= s.size()) {
        if (s[i] != 0xff || (s[i + 1] & 0xf6) != 0xf0) {
            ++i;
            continue;
        }
        const size_t len =
            (static_cast<size_t>(s[i + 3] & 3) << 11) | (s[i + 4] << 3) | (s[i + 5] >> 5);
        if (len < 7 || i + len > s.size()) {
            ++i;
            continue;
        }
        out.emplace_back(s.begin() + i, s.begin() + i + len);
        i += len;
    }
    return out;
}

}  // namespace media_split

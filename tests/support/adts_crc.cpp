// adts_crc - rewrites an ADTS file (7-byte headers) with a CRC in every
// header, as some camera encoders write them: protection_absent 0, the
// frame length grown by 2, and the CRC-16 (polynomial 0x8005, initial
// 0xFFFF) over the 7 header bytes and the first 192 bits of the frame's raw
// data placed after them.  ffmpeg's ADTS muxer cannot write it.
//   adts_crc IN.aac OUT.aac
#include <elementary_streams/adts.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

namespace es = elementary_streams;

namespace {

uint16_t crc16(uint16_t crc, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
    }
    return crc;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: adts_crc IN.aac OUT.aac\n");
        return 2;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    if (!in) return std::perror(argv[1]), 1;
    std::vector<uint8_t> data;
    for (int c; (c = std::fgetc(in)) != EOF;) data.push_back(static_cast<uint8_t>(c));
    std::fclose(in);
    std::vector<uint8_t> out;
    size_t pos = 0;
    std::span<const uint8_t> f;
    while (es::next_adts_frame(data, &pos, &f)) {
        if (es::adts_header_length(f.data()) != es::kAdtsHeaderSize) {
            std::fprintf(stderr, "adts_crc: %s already carries CRCs\n", argv[1]);
            return 1;
        }
        uint8_t head[es::kAdtsHeaderSize];
        std::copy(f.begin(), f.begin() + es::kAdtsHeaderSize, head);
        const size_t grown = f.size() + 2, raw = f.size() - es::kAdtsHeaderSize;
        head[1] &= 0xFE;  // protection_absent 0: a CRC follows
        head[3] = static_cast<uint8_t>((head[3] & 0xFC) | (grown >> 11));
        head[4] = static_cast<uint8_t>(grown >> 3);
        head[5] = static_cast<uint8_t>((head[5] & 0x1F) | ((grown & 7) << 5));
        const uint8_t *payload = f.data() + es::kAdtsHeaderSize;
        const uint16_t crc = crc16(crc16(0xFFFF, head, sizeof head), payload, raw < 24 ? raw : 24);
        out.insert(out.end(), std::begin(head), std::end(head));
        out.insert(out.end(), {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
        out.insert(out.end(), payload, payload + raw);
    }
    std::FILE *o = std::fopen(argv[2], "wb");
    if (!o || std::fwrite(out.data(), 1, out.size(), o) != out.size() || std::fclose(o) != 0)
        return std::perror(argv[2]), 1;
    return 0;
}

// adts_crc - rewrites an ADTS file (7-byte headers) with a CRC in every
// header, as some camera encoders write them: protection_absent 0, the
// frame length grown by 2, and the CRC-16 (polynomial 0x8005, initial
// 0xFFFF) over the 7 header bytes and the first 192 bits of the frame's raw
// data placed after them.  ffmpeg's ADTS muxer cannot write it.
//   adts_crc IN.aac OUT.aac
#include <cstdint>
#include <cstdio>
#include <vector>

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
    std::FILE *out = in ? std::fopen(argv[2], "wb") : nullptr;
    if (!in || !out) {
        std::perror("adts_crc");
        return 1;
    }
    std::vector<uint8_t> data;
    for (int c; (c = std::fgetc(in)) != EOF;) data.push_back(static_cast<uint8_t>(c));
    std::fclose(in);
    for (size_t at = 0; at + 7 <= data.size();) {
        const uint8_t *h = &data[at];
        const size_t len = ((h[3] & 3u) << 11) | (h[4] << 3) | (h[5] >> 5);
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0 || !(h[1] & 1) || len < 8 || at + len > data.size()) {
            std::fprintf(stderr, "adts_crc: not a CRC-free ADTS frame at byte %zu\n", at);
            return 1;
        }
        uint8_t head[7] = {h[0], h[1], h[2], h[3], h[4], h[5], h[6]};
        const size_t grown = len + 2, raw = len - 7;
        head[1] &= 0xFE;  // protection_absent 0: a CRC follows
        head[3] = static_cast<uint8_t>((head[3] & 0xFC) | (grown >> 11));
        head[4] = static_cast<uint8_t>(grown >> 3);
        head[5] = static_cast<uint8_t>((head[5] & 0x1F) | ((grown & 7) << 5));
        const uint16_t crc = crc16(crc16(0xFFFF, head, 7), h + 7, raw < 24 ? raw : 24);
        const uint8_t sum[2] = {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
        if (std::fwrite(head, 1, 7, out) != 7 || std::fwrite(sum, 1, 2, out) != 2 ||
            std::fwrite(h + 7, 1, raw, out) != raw) {
            std::perror("adts_crc");
            return 1;
        }
        at += len;
    }
    if (std::fclose(out) != 0) {
        std::perror("adts_crc");
        return 1;
    }
    return 0;
}

// loop_streams.cpp - writes S seconds of elementary streams by looping an
// H.264 Annex-B file and an ADTS AAC file: S * fps pictures (every NAL unit
// up to the last slice of the last picture) and ceil(S * rate / 1024) AAC
// frames.  The benchmarks' common input: compare_ffmpeg.sh hands the same
// two files to ffmpeg and to mp4_mux.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "elementary_streams/adts.h"
#include "media_split.h"

namespace {

bool write_all(const char *path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr,
                     "Usage: loop_streams SECONDS FPS IN.h264 IN.aac OUT.h264 OUT.aac\n"
                     "Loops both streams to SECONDS of media at FPS pictures a second.\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const int fps = std::atoi(argv[2]);
    const auto nals = media_split::split_annexb(media_split::read_file(argv[3]));
    const auto adts = media_split::split_adts(media_split::read_file(argv[4]));
    bool has_picture = false;
    for (const auto &f : nals)
        has_picture |= media_split::nal_type(f) == 1 || media_split::nal_type(f) == 5;
    if (seconds <= 0 || fps <= 0 || !has_picture || adts.empty()) {
        std::fprintf(stderr, "loop_streams: nothing to loop (%s, %s)\n", argv[3], argv[4]);
        return 1;
    }

    std::vector<uint8_t> video, audio;
    const auto pictures = static_cast<uint64_t>(std::llround(seconds * fps));
    for (uint64_t n = 0, i = 0; n < pictures; i = (i + 1) % nals.size()) {
        const auto &f = nals[i];
        video.insert(video.end(), f.begin(), f.end());
        const uint8_t type = media_split::nal_type(f);
        if (type == 1 || type == 5) ++n;
    }
    elementary_streams::AdtsHeader first;
    elementary_streams::parse_adts_header(adts[0], &first);  // split frames parse
    const unsigned known = elementary_streams::adts_sampling_frequency(first.sampling_index);
    const unsigned rate = known != 0 ? known : 8000;
    const auto frames = static_cast<uint64_t>(std::ceil(seconds * rate / 1024));
    for (uint64_t k = 0; k < frames; ++k) {
        const auto &f = adts[k % adts.size()];
        audio.insert(audio.end(), f.begin(), f.end());
    }
    if (!write_all(argv[5], video) || !write_all(argv[6], audio)) {
        std::fprintf(stderr, "loop_streams: cannot write %s or %s\n", argv[5], argv[6]);
        return 1;
    }
    std::printf("%llu pictures, %llu AAC frames at %u Hz\n",
                static_cast<unsigned long long>(pictures), static_cast<unsigned long long>(frames),
                rate);
    return 0;
}

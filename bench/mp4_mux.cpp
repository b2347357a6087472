// mp4_mux.cpp - a small command-line muxer over the project's MP4 writer:
// an H.264 Annex-B file and an ADTS AAC file into one MP4 file, written
// with the alarm clip recorder's MP4 calls.  What bench/compare_ffmpeg.sh
// times against `ffmpeg -c copy`, whole process against whole process.
//
// The clip is written by the recorder's own clip assembly, fed from the
// files instead of the ring; its progress lines go to standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "recorder/clip_assembly.h"
#include "recorder/file_source.h"
#include "recorder/recorder.h"

namespace {

const char kUsage[] =
    "Usage: mp4_mux [--fps N] [--seconds S] VIDEO.h264 AUDIO.aac OUTPUT.mp4\n"
    "\n"
    "Muxes an H.264 Annex-B stream and an ADTS AAC stream into OUTPUT.mp4 with\n"
    "the MP4 calls the alarm clip recorder makes: one sample per picture (its\n"
    "slice NAL units, each behind a 4-byte length), SPS and PPS to the track, other\n"
    "NAL units left out, one sample per AAC frame (without its ADTS header).\n"
    "  --fps N       video frame rate (default 15): sample duration 90000 / N\n"
    "  --seconds S   loop both streams to S seconds of media (default: each\n"
    "                stream once, as it is)\n";

}  // namespace

int main(int argc, char **argv) {
    int fps = 15;
    double seconds = 0;
    const char *files[3] = {};
    int nfiles = 0;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((std::strcmp(a, "--fps") == 0 || std::strcmp(a, "--seconds") == 0) && i + 1 < argc) {
            char *end = nullptr;
            const double v = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || v < 0) {
                std::fprintf(stderr, "mp4_mux: bad value for %s\n%s", a, kUsage);
                return 2;
            }
            if (a[2] == 'f')
                fps = static_cast<int>(v);
            else
                seconds = v;
        } else if (a[0] == '-' && a[1] != '\0') {
            std::fprintf(stderr, "mp4_mux: unknown option %s\n%s", a, kUsage);
            return 2;
        } else if (nfiles < 3) {
            files[nfiles++] = a;
        } else {
            nfiles = 4;
        }
    }
    if (nfiles != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    recorder::FileSource source(files[0], files[1], fps, seconds);
    if (!source.ok() || fps <= 0) {
        std::fprintf(stderr, "mp4_mux: no clip from %s and %s\n", files[0], files[1]);
        return 1;
    }
    // Long enough that only the streams' ends end the clip.
    size_t pictures = 0;
    for (size_t v = 0; v < source.video().size(); ++v)
        pictures += source.frame_type(v) == 1 || source.frame_type(v) == 5;
    const int clip_seconds = static_cast<int>(pictures / static_cast<size_t>(fps)) + 2;
    if (source.write_clip(files[2], clip_seconds).end != recorder::ClipEnd::kComplete) {
        std::fprintf(stderr, "mp4_mux: cannot write %s\n", files[2]);
        return 1;
    }
    return 0;
}

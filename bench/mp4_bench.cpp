// mp4_bench.cpp - the MP4 writer: a 60-second clip (H.264 at 15 fps and
// AAC at 8 kHz, the sample media looped) written to a file through the
// recorder's MP4 calls.  Per clip: wall time, CPU time (user and system, the
// writes included), and MB/s of file written.  The clip is built in memory
// before timing; each iteration creates, writes and closes the file, and
// the file is removed untimed.
//
// The file goes to a scratch folder under $TMPDIR (default /tmp), or under
// MEDIA_BENCH_DIR when that names a folder.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_common.h"
#include "clip_mux.h"

namespace {

constexpr int kFps = 15;
constexpr double kSeconds = 60;

std::string g_scratch;
clip_mux::Clip *g_clip;

void BM_Mp4Clip60s(benchmark::State &st) {
    const std::string path = g_scratch + "/clip.mp4";
    int64_t bytes = 0;
    int failed = 0;
    for (auto _ : st) {
        failed += !g_clip->write(path.c_str());
        st.PauseTiming();
        struct stat s;
        if (stat(path.c_str(), &s) == 0) bytes += s.st_size;
        unlink(path.c_str());
        st.ResumeTiming();
    }
    if (failed) st.SkipWithError("writing the clip failed");
    st.SetBytesProcessed(bytes);
    st.counters["file_MB"] = static_cast<double>(bytes) / st.iterations() / 1e6;
    st.counters["video_samples"] = g_clip->video_samples();
    st.counters["audio_samples"] = g_clip->audio_samples();
}

BENCHMARK(BM_Mp4Clip60s)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    const std::string data = BENCH_DATA_DIR;
    clip_mux::Clip clip;
    const char *error = nullptr;
    if (!clip.load((data + "/video_15fps.h264").c_str(), (data + "/audio_8k_mono.aac").c_str(),
                   kFps, kSeconds, &error)) {
        std::fprintf(stderr, "mp4_bench: %s (sample media in %s)\n", error, data.c_str());
        return 1;
    }
    g_clip = &clip;
    g_scratch = bench::make_scratch(std::getenv("MEDIA_BENCH_DIR"), "mp4_bench");
    if (g_scratch.empty()) {
        std::perror("mp4_bench: scratch folder");
        return 1;
    }
    bench::KeepingReporter reporter;
    if (!bench::run_benchmarks(argc, argv, &reporter)) return 1;
    if (const bench::Result *r = reporter.find("BM_Mp4Clip60s")) {
        const double mb = r->counters.count("file_MB") ? r->counters.at("file_MB") : 0;
        std::printf(
            "\nSummary (medians): a 60 s clip (%u video + %u audio samples, %.3f MB) in %.3f ms "
            "wall, %.3f ms CPU: %.0f MB/s wall, %.0f MB/s CPU; %.0fx faster than real time\n",
            g_clip->video_samples(), g_clip->audio_samples(), mb, r->real, r->cpu,
            mb / (r->real / 1e3), mb / (r->cpu / 1e3), kSeconds * 1e3 / r->real);
    }
    benchmark::Shutdown();
    bench::remove_scratch(g_scratch);
    return 0;
}

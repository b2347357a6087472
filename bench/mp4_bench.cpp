// mp4_bench.cpp - the recorder's clip assembly and MP4 writer: a 60-second
// clip (H.264 at 15 fps and AAC at 8 kHz, the sample media looped) written
// to a file by the code the recorder runs, fed from memory instead of the
// ring.  Per clip: wall time, CPU time (user and system, the writes
// included), and MB/s of file written.  The frames are loaded before
// timing; each iteration creates, writes and closes the file, and the file
// is removed untimed.
//
// The file goes to a scratch folder under $TMPDIR (default /tmp), or under
// MEDIA_BENCH_DIR when that names a folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "recorder/clip_assembly.h"
#include "recorder/file_source.h"
#include "recorder/recorder.h"

namespace {

constexpr int kFps = 15;
constexpr double kSeconds = 60;

std::string g_scratch;
recorder::FileSource *g_files;
recorder::ClipCounts g_counts;

void BM_Mp4Clip60s(benchmark::State &st) {
    const std::string path = g_scratch + "/clip.mp4";
    // The assembly's progress lines would drown the report.
    std::fflush(stdout);
    const int saved_stdout = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    int64_t bytes = 0;
    int failed = 0;
    for (auto _ : st) {
        g_files->rewind();
        const recorder::ClipResult r =
            g_files->write_clip(path.c_str(), static_cast<int>(kSeconds) - 1);
        failed += r.end != recorder::ClipEnd::kComplete;
        g_counts = r.counts;
        st.PauseTiming();
        struct stat s;
        if (stat(path.c_str(), &s) == 0) bytes += s.st_size;
        unlink(path.c_str());
        st.ResumeTiming();
    }
    std::fflush(stdout);
    dup2(saved_stdout, 1);
    close(saved_stdout);
    close(null);
    if (failed) st.SkipWithError("writing the clip failed");
    st.SetBytesProcessed(bytes);
    st.counters["file_MB"] = static_cast<double>(bytes) / st.iterations() / 1e6;
    st.counters["video_samples"] = g_counts.video_samples;
    st.counters["audio_samples"] = g_counts.audio_samples;
}

BENCHMARK(BM_Mp4Clip60s)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char **argv) {
    const std::string data = BENCH_DATA_DIR;
    recorder::FileSource files(data + "/video_15fps.h264", data + "/audio_8k_mono.aac", kFps,
                               kSeconds);
    if (!files.ok()) {
        std::fprintf(stderr, "mp4_bench: cannot load the sample media in %s\n", data.c_str());
        return 1;
    }
    g_files = &files;
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
            "\nSummary (medians): a 60 s clip (%d video + %d audio samples, %.3f MB) in %.3f ms "
            "wall, %.3f ms CPU: %.0f MB/s wall, %.0f MB/s CPU; %.0fx faster than real time\n",
            g_counts.video_samples, g_counts.audio_samples, mb, r->real, r->cpu,
            mb / (r->real / 1e3), mb / (r->cpu / 1e3), kSeconds * 1e3 / r->real);
    }
    benchmark::Shutdown();
    bench::remove_scratch(g_scratch);
    return 0;
}

// ring_bench.cpp - the media ring's costs against the memory copy each
// operation must make.
//
//   Put/L            MediaDataPut of L bytes into channel 0 after the channel
//                    has wrapped many times, so each put evicts what its slot
//                    covers (or, for small frames, drops the oldest of a full
//                    table): the ring alone, ns per put.
//   PutVsMemcpy/L    blocks of those puts alternating with blocks of memcpy
//                    of the same L bytes from the same source into slots of
//                    the same mapped region: both times and their ratio.
//   NextFrame/L      MediaDataGetNextFrame following the writer: per
//                    iteration the writer puts a batch of frames (not timed)
//                    and the reader reads them one after another (timed).
//   NextVsMemcpy/L   the same reads alternating with memcpy of the same
//                    payloads, just put, out of the region into the same
//                    buffer: both times and their ratio.
//   Search*          the searches where the only match is at the far end of
//                    499 live descriptors.
//
// Channel 0 (2 MiB) takes every size: a 256 KiB frame fits only channels 0
// and 1, and a reader reads a frame only while it lies within half a region
// of the writer, which in channel 1 a 256 KiB frame never does.  The ring
// file is a scratch file on /dev/shm (tmpfs, so no write-back of the shared
// mapping disturbs the figures), or in MEDIA_BENCH_DIR when that names a
// folder; MEDIA_RING_PATH is set to it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "media_ring/media_ring.h"
#include "ring_layout.h"

namespace {

using media_ring::channel_ctrl;
using media_ring::channel_data;
using media_ring::ChannelCtrl;
using media_ring::kRegions;
using media_ring::kSlotHeader;
using media_ring::kSlotReckon;

constexpr int kChannel = 0;
constexpr uint32_t kReaderBuffer = media_ring::kReadMaxFrame;
constexpr int64_t kSizes[] = {16, 400, 4096, 65536, 262144};

uint32_t g_ts = 1000;

uint8_t frame_type_for(uint32_t size) {
    return size >= 65536 ? MEDIA_FRAME_I : MEDIA_FRAME_P;
}

FrameInfo frame_info(uint8_t type) {
    FrameInfo info{};
    info.ts = g_ts++;
    info.frameType = type;
    info.framerate = 15;
    info.width = 640;
    info.height = 360;
    info.sec = info.ts / 1000;
    return info;
}

std::vector<uint8_t> payload(uint32_t size) {
    std::vector<uint8_t> p(size);
    for (uint32_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
    return p;
}

uint8_t *reader_buffer() {
    static std::vector<uint8_t> buffer(kReaderBuffer);
    return buffer.data();
}

// Puts enough frames of `size` bytes that the channel's region has wrapped
// several times and its table is full.
bool wrap_channel(int channel, const std::vector<uint8_t> &p) {
    const uint32_t region = kRegions[channel].size;
    const uint32_t slot = static_cast<uint32_t>(p.size()) + kSlotReckon;
    const uint32_t puts = 3 * (region / slot) + 2 * media_ring::kBDCount;
    for (uint32_t i = 0; i < puts; ++i) {
        const FrameInfo info = frame_info(frame_type_for(static_cast<uint32_t>(p.size())));
        if (MediaDataPut(channel, p.data(), static_cast<uint32_t>(p.size()), &info) != 0)
            return false;
    }
    return true;
}

// The payload offset of the newest frame in `channel`.
uint32_t newest_offset(int channel) {
    const ChannelCtrl &c = *channel_ctrl(g_media_shm, channel);
    return c.bd[media_ring::prev_index(c.curBDIndex)].shm_offset;
}

// Frames per batch of the read benchmarks: the first frame of a batch must
// still lie within half a region of the writer when it is read.
uint32_t batch_for(uint32_t size) {
    const uint32_t fit = kRegions[kChannel].size / 2 / (size + kSlotReckon);
    const uint32_t b = fit > 1 ? fit - 1 : 1;
    return b < 64 ? b : 64;
}

void set_size_counters(benchmark::State &st, uint32_t size, uint32_t per_iteration) {
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * per_iteration * size);
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * per_iteration);
    st.counters["batch"] = per_iteration;
}

void BM_Put(benchmark::State &st) {
    const auto size = static_cast<uint32_t>(st.range(0));
    const std::vector<uint8_t> p = payload(size);
    if (!wrap_channel(kChannel, p)) return st.SkipWithError("MediaDataPut failed while wrapping");
    FrameInfo info = frame_info(frame_type_for(size));
    int failed = 0;
    for (auto _ : st) {
        failed += MediaDataPut(kChannel, p.data(), size, &info) != 0;
        ++info.ts;
    }
    if (failed) st.SkipWithError("MediaDataPut failed");
    g_ts = info.ts;
    set_size_counters(st, size, 1);
}

void BM_NextFrame(benchmark::State &st) {
    const auto size = static_cast<uint32_t>(st.range(0));
    const uint32_t batch = batch_for(size);
    const std::vector<uint8_t> p = payload(size);
    if (!wrap_channel(kChannel, p)) return st.SkipWithError("MediaDataPut failed while wrapping");
    uint8_t *buffer = reader_buffer();
    int cursor = 0;
    FrameInfo got{};
    if (_MediaDataGetNewFrame(kChannel, buffer, kReaderBuffer, 0, &cursor, &got) != 0)
        return st.SkipWithError("no newest frame to start from");
    int failed = 0;
    for (auto _ : st) {
        uint32_t last_ts = 0;
        for (uint32_t b = 0; b < batch; ++b) {
            const FrameInfo info = frame_info(frame_type_for(size));
            failed += MediaDataPut(kChannel, p.data(), size, &info) != 0;
            last_ts = info.ts;
        }
        const auto t0 = std::chrono::steady_clock::now();
        for (uint32_t b = 0; b < batch; ++b)
            failed += MediaDataGetNextFrame(kChannel, buffer, kReaderBuffer, &cursor, &got) != 0;
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(buffer);
        failed += got.ts != last_ts;  // the reader kept up, frame for frame
        st.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    if (failed) st.SkipWithError("a read failed or fell behind");
    set_size_counters(st, size, batch);
}

// The writer's slot arithmetic: the payload offset of the next put of
// `size` bytes at writeOffset `*w`, which it advances.
uint32_t next_slot(uint32_t *w, uint32_t size, uint32_t region) {
    if (*w + size + kSlotReckon > region) *w = 0;
    const uint32_t payload_at = *w + kSlotHeader;
    *w = (*w + kSlotHeader + size + 3) & ~3u;
    return payload_at;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The ring's time and memcpy's, measured in alternating blocks of one
// benchmark, so that a slow spell of the shared machine falls on both.
void set_pair_counters(benchmark::State &st, uint32_t size, uint64_t ops, double ring_s,
                       double copy_s) {
    const double n = static_cast<double>(ops);
    st.counters["ring_ns"] = ring_s * 1e9 / n;
    st.counters["memcpy_ns"] = copy_s * 1e9 / n;
    st.counters["ratio"] = copy_s / ring_s;
    st.counters["batch"] = static_cast<double>(ops) / static_cast<double>(st.iterations());
    st.SetBytesProcessed(static_cast<int64_t>(ops) * size);
}

// Blocks of puts against blocks of memcpy of the same size into the same
// region.  The copies go half a region away from the puts' slots, so that
// each write of either meets lines last written as long ago (about two
// regions' worth of writes) as the other's; which block goes first
// alternates.
void BM_PutVsMemcpy(benchmark::State &st) {
    const auto size = static_cast<uint32_t>(st.range(0));
    const std::vector<uint8_t> p = payload(size);
    if (!wrap_channel(kChannel, p)) return st.SkipWithError("MediaDataPut failed while wrapping");
    uint8_t *region = channel_data(g_media_shm, kChannel);
    const uint32_t region_size = kRegions[kChannel].size;
    const uint32_t half = region_size / 2;
    const uint32_t block = batch_for(size);
    std::vector<uint32_t> slots(block);
    FrameInfo info = frame_info(frame_type_for(size));
    double ring_s = 0, copy_s = 0;
    uint64_t ops = 0;
    int failed = 0;
    bool ring_first = true;
    for (auto _ : st) {
        uint32_t w = channel_ctrl(g_media_shm, kChannel)->writeOffset;
        for (uint32_t b = 0; b < block; ++b) {
            uint32_t at = (next_slot(&w, size, region_size) + half) % region_size;
            if (at + size > region_size) at -= half;
            slots[b] = at;
        }
        for (int pass = 0; pass < 2; ++pass) {
            const auto t0 = std::chrono::steady_clock::now();
            if ((pass == 0) == ring_first) {
                for (uint32_t b = 0; b < block; ++b) {
                    failed += MediaDataPut(kChannel, p.data(), size, &info) != 0;
                    ++info.ts;
                }
                ring_s += seconds_since(t0);
            } else {
                for (uint32_t b = 0; b < block; ++b) {
                    std::memcpy(region + slots[b], p.data(), size);
                    benchmark::ClobberMemory();
                }
                copy_s += seconds_since(t0);
            }
        }
        ring_first = !ring_first;
        ops += block;
    }
    if (failed) st.SkipWithError("MediaDataPut failed");
    g_ts = info.ts;
    set_pair_counters(st, size, ops, ring_s, copy_s);
}

// The reader following the writer: per iteration the writer puts a batch
// of frames (not timed), then the reader reads them in turn with
// MediaDataGetNextFrame, and memcpy copies the same payloads out of the
// region into the same buffer; which goes first alternates.
void BM_NextVsMemcpy(benchmark::State &st) {
    const auto size = static_cast<uint32_t>(st.range(0));
    const uint32_t batch = batch_for(size);
    const std::vector<uint8_t> p = payload(size);
    if (!wrap_channel(kChannel, p)) return st.SkipWithError("MediaDataPut failed while wrapping");
    uint8_t *buffer = reader_buffer();
    const uint8_t *region = channel_data(g_media_shm, kChannel);
    int cursor = 0;
    FrameInfo got{};
    if (_MediaDataGetNewFrame(kChannel, buffer, kReaderBuffer, 0, &cursor, &got) != 0)
        return st.SkipWithError("no newest frame to start from");
    std::vector<uint32_t> offsets(batch);
    double ring_s = 0, copy_s = 0;
    uint64_t ops = 0;
    int failed = 0;
    bool ring_first = true;
    for (auto _ : st) {
        uint32_t last_ts = 0;
        for (uint32_t b = 0; b < batch; ++b) {
            const FrameInfo info = frame_info(frame_type_for(size));
            failed += MediaDataPut(kChannel, p.data(), size, &info) != 0;
            offsets[b] = newest_offset(kChannel);
            last_ts = info.ts;
        }
        for (int pass = 0; pass < 2; ++pass) {
            const auto t0 = std::chrono::steady_clock::now();
            if ((pass == 0) == ring_first) {
                for (uint32_t b = 0; b < batch; ++b)
                    failed +=
                        MediaDataGetNextFrame(kChannel, buffer, kReaderBuffer, &cursor, &got) != 0;
                ring_s += seconds_since(t0);
            } else {
                for (uint32_t b = 0; b < batch; ++b) {
                    std::memcpy(buffer, region + offsets[b], size);
                    benchmark::ClobberMemory();
                }
                copy_s += seconds_since(t0);
            }
        }
        failed += got.ts != last_ts;  // the reader kept up, frame for frame
        ring_first = !ring_first;
        ops += batch;
    }
    if (failed) st.SkipWithError("a read failed or fell behind");
    set_pair_counters(st, size, ops, ring_s, copy_s);
}

// Fills `channel` with 499 live frames of 64 bytes; the one at `match` (0
// the oldest, 498 the newest) has frameType `match_type`, the others P.
bool fill_for_search(int channel, uint32_t match, uint8_t match_type) {
    const std::vector<uint8_t> p = payload(64);
    if (!wrap_channel(channel, p)) return false;
    for (uint32_t i = 0; i < media_ring::kBDCount - 1; ++i) {
        const FrameInfo info = frame_info(i == match ? match_type : MEDIA_FRAME_P);
        if (MediaDataPut(channel, p.data(), 64, &info) != 0) return false;
    }
    const ChannelCtrl &c = *channel_ctrl(g_media_shm, channel);
    const uint32_t live =
        (c.curBDIndex + media_ring::kBDCount - c.lastBDIndex) % media_ring::kBDCount;
    return live == media_ring::kBDCount - 1;
}

// Newest-first: the only SPS is the oldest live frame.
void BM_SearchNewest(benchmark::State &st) {
    if (!fill_for_search(kChannel, 0, MEDIA_FRAME_SPS))
        return st.SkipWithError("cannot fill the channel");
    const uint32_t oldest = channel_ctrl(g_media_shm, kChannel)->lastBDIndex;
    uint8_t *buffer = reader_buffer();
    int found = -1;
    FrameInfo got{};
    int failed = 0;
    for (auto _ : st) {
        failed += _MediaDataGetNewFrame(kChannel, buffer, kReaderBuffer, MEDIA_FRAME_SPS, &found,
                                        &got) != 0;
        benchmark::DoNotOptimize(found);
    }
    if (failed || static_cast<uint32_t>(found) != oldest) st.SkipWithError("did not find the SPS");
    st.counters["descriptors"] = media_ring::kBDCount - 1;
}

// Oldest-first by timestamp: only the newest frame (an I frame) has a ts at
// or after the one asked for.
void BM_SearchVideoByTs(benchmark::State &st) {
    if (!fill_for_search(kChannel, media_ring::kBDCount - 2, MEDIA_FRAME_I))
        return st.SkipWithError("cannot fill the channel");
    const ChannelCtrl &c = *channel_ctrl(g_media_shm, kChannel);
    const uint32_t newest = media_ring::prev_index(c.curBDIndex);
    const uint32_t ts = c.bd[newest].info.ts;
    uint8_t *buffer = reader_buffer();
    int found = -1;
    FrameInfo got{};
    int failed = 0;
    for (auto _ : st) {
        failed += MediaDataVideoGetByTs(kChannel, buffer, kReaderBuffer, ts, MEDIA_FRAME_I, &found,
                                        &got) != 0;
        benchmark::DoNotOptimize(found);
    }
    if (failed || static_cast<uint32_t>(found) != newest)
        st.SkipWithError("did not find the newest frame");
    st.counters["descriptors"] = media_ring::kBDCount - 1;
}

// Oldest-first by type: the only I frame is the newest.
void BM_SearchOldest(benchmark::State &st) {
    if (!fill_for_search(kChannel, media_ring::kBDCount - 2, MEDIA_FRAME_I))
        return st.SkipWithError("cannot fill the channel");
    const uint32_t newest = media_ring::prev_index(channel_ctrl(g_media_shm, kChannel)->curBDIndex);
    uint8_t *buffer = reader_buffer();
    int found = -1;
    FrameInfo got{};
    int failed = 0;
    for (auto _ : st) {
        failed += _MediaDataGetOldFrame(kChannel, buffer, kReaderBuffer, MEDIA_FRAME_I, &found,
                                        &got) != 0;
        benchmark::DoNotOptimize(found);
    }
    if (failed || static_cast<uint32_t>(found) != newest)
        st.SkipWithError("did not find the I frame");
    st.counters["descriptors"] = media_ring::kBDCount - 1;
}

void sizes(benchmark::internal::Benchmark *b) {
    for (int64_t s : kSizes) b->Arg(s);
    b->Unit(benchmark::kNanosecond);
}

BENCHMARK(BM_Put)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_PutVsMemcpy)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_NextFrame)->Apply(sizes)->UseManualTime();
BENCHMARK(BM_NextVsMemcpy)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_SearchNewest)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_SearchVideoByTs)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_SearchOldest)->Unit(benchmark::kNanosecond)->UseRealTime();

// The summary: per size, the ring's ns per operation alone, then the
// alternating pair's ns for the ring and for memcpy and their ratio; the
// searches; each goal met or not.
void summarise(const bench::KeepingReporter &r) {
    std::printf(
        "\nSummary (medians of the repetitions; ratio = memcpy time / ring time in the\n"
        "alternating pair = the ring's share of memcpy's bandwidth)\n");
    std::printf("%-10s %7s %11s %10s | %9s %11s %10s %7s\n", "operation", "bytes", "alone ns/op",
                "GB/s", "pair: ns", "memcpy ns", "memcpy GB/s", "ratio");
    bool goals = true;
    for (const bool put : {true, false}) {
        for (int64_t size : kSizes) {
            char alone_name[64], pair_name[64];
            std::snprintf(alone_name, sizeof alone_name, "%s/%lld", put ? "BM_Put" : "BM_NextFrame",
                          static_cast<long long>(size));
            std::snprintf(pair_name, sizeof pair_name, "%s/%lld",
                          put ? "BM_PutVsMemcpy" : "BM_NextVsMemcpy", static_cast<long long>(size));
            const bench::Result *alone = r.find(alone_name);
            const bench::Result *pair = r.find(pair_name);
            if (alone == nullptr || pair == nullptr) continue;
            const double alone_ns = alone->real / alone->counters.at("batch");
            const double ring_ns = pair->counters.at("ring_ns");
            const double copy_ns = pair->counters.at("memcpy_ns");
            const double ratio = pair->counters.at("ratio");
            std::printf("%-10s %7lld %11.1f %10.2f | %9.1f %11.1f %10.2f %6.1f%%\n",
                        put ? "put" : "next-frame", static_cast<long long>(size), alone_ns,
                        size / alone_ns, ring_ns, copy_ns, size / copy_ns, 100 * ratio);
            if (size >= 65536 && ratio < 0.90) {
                std::printf("  goal missed: %s of %lld bytes below 90%% of memcpy\n",
                            put ? "put" : "next-frame read", static_cast<long long>(size));
                goals = false;
            }
            if (put && size == 16 && alone_ns >= 50) {
                std::printf("  goal missed: a 16-byte put takes %.1f ns (goal < 50)\n", alone_ns);
                goals = false;
            }
        }
    }
    for (const char *name : {"BM_SearchNewest", "BM_SearchVideoByTs", "BM_SearchOldest"}) {
        const bench::Result *s = r.find(name);
        if (s == nullptr) continue;
        std::printf("%-20s %8.1f ns over 499 descriptors (%.2f ns each)%s\n", name + 3, s->real,
                    s->real / 499, s->real < 2000 ? "" : "  goal missed: >= 2 us");
        goals = goals && s->real < 2000;
    }
    std::printf("%s\n", goals ? "All ring goals met." : "Some ring goals missed.");
}

}  // namespace

int main(int argc, char **argv) {
    // Always a scratch ring, never one that MEDIA_RING_PATH may name: the
    // benchmarks overwrite channel 0.
    const char *base = std::getenv("MEDIA_BENCH_DIR");
    const std::string scratch =
        bench::make_scratch(base != nullptr ? base : "/dev/shm", "ring_bench");
    if (scratch.empty()) {
        std::perror("ring_bench: scratch folder");
        return 1;
    }
    setenv(media_ring::kRingPathEnv, (scratch + "/view").c_str(), 1);
    if (MediaDataInit(1) != 0) {
        std::fprintf(stderr, "ring_bench: cannot map the ring\n");
        bench::remove_scratch(scratch);
        return 1;
    }
    bench::KeepingReporter reporter;
    if (!bench::run_benchmarks(argc, argv, &reporter)) return 1;
    summarise(reporter);
    benchmark::Shutdown();
    bench::remove_scratch(scratch);
    return 0;
}

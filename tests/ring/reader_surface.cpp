#include "reader_surface.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "log_capture.h"
#include "ring_layout.h"
#include "reader_ops.h"

#if defined(__SANITIZE_ADDRESS__)
#define RING_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RING_ASAN 1
#endif
#endif
#ifdef RING_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(a, n) ((void)(a), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(a, n) ((void)(a), (void)(n))
#endif

namespace ring_test {

using namespace media_ring;

namespace {

constexpr uint8_t kFill = 0xEE;
constexpr uint32_t kMaxBuffer = 0x60001;

template <typename T>
T pick(std::mt19937 &rng, std::initializer_list<T> values) {
    return values.begin()[rng() % values.size()];
}

bool all_fill(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != kFill) return false;
    return true;
}

}  // namespace

Sandbox::Sandbox() {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t body = (kRingFileSize + page - 1) / page * page;
    map_size_ = body + 2 * page;
    void *m = mmap(nullptr, map_size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return;
    map_ = static_cast<unsigned char *>(m);
    mprotect(map_ + page, body, PROT_READ | PROT_WRITE);
    ring_ = map_ + page;
    ASAN_POISON_MEMORY_REGION(ring_ + kRingFileSize, body - kRingFileSize);
    saved_shm_ = g_media_shm;
    g_media_shm = ring_;
}

Sandbox::~Sandbox() {
    if (map_ == nullptr) return;
    ASAN_UNPOISON_MEMORY_REGION(ring_, map_size_ - 2 * (ring_ - map_));
    g_media_shm = saved_shm_;
    munmap(map_, map_size_);
}

void Sandbox::fill() {
    struct Plan {
        int channel, puts;
        uint32_t max_size;
    };
    // Full tables, wrapped regions, a short channel, an empty one.
    const Plan plans[] = {{0, 620, 300}, {1, 150, 9000}, {2, 230, 1500}, {4, 700, 400}, {5, 1, 50}};
    std::mt19937 rng(7);
    std::vector<uint8_t> p(9000);
    log_start(0);
    for (const Plan &pl : plans) {
        for (int k = 0; k < pl.puts; ++k) {
            FrameInfo f{};
            f.ts = 1000 + 40 * k;
            f.frameType = pick<uint8_t>(rng, {1, 1, 1, 5, 7, 8});
            f.seq = static_cast<uint16_t>(k);
            f.aux = rng();
            const uint32_t n = rng() % pl.max_size;
            for (uint32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(k + i);
            MediaDataPut(pl.channel, p.data(), n, &f);
        }
    }
    controls_.assign(ring_, ring_ + kDataAreaOffset);
}

void Sandbox::restore_controls() {
    std::memcpy(ring_, controls_.data(), controls_.size());
}

void Sandbox::damage(std::mt19937 &rng) {
    const int ch = static_cast<int>(rng() % kChannelCount);
    ChannelCtrl &c = *channel_ctrl(ring_, ch);
    const uint32_t region = kRegions[ch].size;
    switch (rng() % 6) {
        case 0:  // left as the writer keeps it
            break;
        case 1:  // bytes anywhere in the control blocks
            for (uint32_t n = 1 + rng() % 64; n; --n)
                ring_[rng() % kDataAreaOffset] = uint8_t(rng());
            break;
        case 2:  // the indices and writeOffset
            c.lastBDIndex = pick<uint16_t>(rng, {0, 499, 500, 65535, uint16_t(rng())});
            c.curBDIndex = pick<uint16_t>(rng, {0, 1, 499, 500, 501, uint16_t(rng())});
            c.writeOffset =
                pick<uint32_t>(rng, {0, region - 1, region, 0xFFFFFFFF, uint32_t(rng())});
            break;
        case 3:  // live-looking descriptors with payloads anywhere
            for (uint32_t n = 1 + rng() % 40; n; --n) {
                FrameBD &d = c.bd[rng() % kBDCount];
                d.valid = pick<uint8_t>(rng, {1, 1, 1, 0, 2});
                d.shm_offset = pick<uint32_t>(rng, {0, region - 5, region - 1, region, region + 64,
                                                    0xFFFFFFFF - 3, uint32_t(rng())});
                d.info.framesize = pick<uint32_t>(
                    rng, {0, 4, 5, 6, 0x60000, 0x60001, region, 0xFFFFFFFF, uint32_t(rng())});
                d.info.frameType = pick<uint8_t>(rng, {0, 1, 5, 7, 8, uint8_t(rng())});
                d.info.ts = rng();
            }
            break;
        case 4:  // a whole control block of noise, many of it "valid"
            for (size_t i = 0; i < sizeof c; ++i)
                reinterpret_cast<uint8_t *>(&c)[i] = uint8_t(rng());
            for (FrameBD &d : c.bd)
                if (rng() % 2) d.valid = 1;
            break;
        case 5:  // live range over cleared descriptors
            std::memset(c.bd, 0, sizeof c.bd);
            c.lastBDIndex = static_cast<uint16_t>(rng() % kBDCount);
            c.curBDIndex = static_cast<uint16_t>(rng() % kBDCount);
            break;
    }
}

ReaderArgs random_args(std::mt19937 &rng, int channel) {
    ReaderArgs a;
    a.channel = channel;
    a.bufferSize = pick<uint32_t>(
        rng, {0, 1, 4, 5, 16, 300, 4096, 0x60000, kMaxBuffer, uint32_t(rng() % kMaxBuffer)});
    a.bdIndex = pick<int>(rng, {-1, INT_MIN, 0, 1, 499, 500, 65535, INT_MAX, int(rng() % 1000)});
    a.frameType = pick<int>(rng, {0, 1, 5, 7, 8, 0x105, -1, int(rng())});
    a.ts = pick<uint32_t>(rng, {0, 1000, 5000, 0xFFFFFFFF, uint32_t(rng())});
    // The query reads its own channel's word, or channel 0's for the others.
    a.tsChannel = channel >= 0 && channel < kChannelCount
                      ? static_cast<uint32_t>(channel)
                      : pick<uint32_t>(rng, {6, 0xFFFFFFFF, uint32_t(6 + rng() % 1000)});
    return a;
}

std::string call_reader(int op, const ReaderArgs &a) {
    std::vector<uint8_t> buf(a.bufferSize, kFill);  // exactly bufferSize: overruns are caught
    FrameInfo info;
    std::memset(&info, kFill, sizeof info);
    int bd = a.bdIndex;
    uint8_t *b = buf.data();
    const uint32_t n = a.bufferSize;
    const int ch = a.channel;
    log_start(4);
    int rc;
    switch (op) {
        default:
            rc = call_frame_reader(op, ch, b, n, a.frameType, a.ts, &bd, &info);
            break;
        case kFrameReaderOps: {
            uint32_t ts = 0xEEEEEEEE;
            unsigned char *word = g_media_shm;  // channel 0's, read for channels above 5
#ifdef RING_ASAN
            const bool closed = __asan_address_is_poisoned(word);
#else
            const bool closed = false;
#endif
            if (a.tsChannel >= kChannelCount) ASAN_UNPOISON_MEMORY_REGION(word, 8);
            rc = MediaDataVideoGetNewestIFrameTs(a.tsChannel, &ts);
            const uint32_t want =
                channel_ctrl(g_media_shm, a.tsChannel < kChannelCount ? a.tsChannel : 0)
                    ->newestIFrameTs;
            if (closed) ASAN_POISON_MEMORY_REGION(word, 8);
            if (rc != (a.tsChannel < kChannelCount ? 0 : -1) || ts != want)
                return "newest I frame ts";
            return {};
        }
    }
    for (const LogLine &l : log_lines()) {
        const std::string &t = l.text;
        if (l.level == 2 && (t.size() < 7 || t.compare(t.size() - 7, 7, "error \n") != 0))
            return "level-2 line not ending in \"error \": " + t;
    }
    if (rc == -1) {
        // Nothing found, refused or damaged: nothing copied, and the cursor as
        // it was, but a next-frame walk moves it past a damaged descriptor.
        const bool walk_moved = (op == kOpNextFrame || op == kOpNextVideoFrameType) &&
                                bd >= 0 && bd < static_cast<int>(kBDCount);
        if ((bd != a.bdIndex && !walk_moved) || !all_fill(&info, sizeof info) || !all_fill(b, n))
            return "a failed call wrote an output";
        return {};
    }
    if (rc != 0) return "result " + std::to_string(rc);
    const bool info_only = op == kOpNextVideoFrameType && bd == a.bdIndex;  // not caught up
    if (info_only) return all_fill(b, n) ? std::string() : "the info-only walk wrote the buffer";
    if (bd < 0 || bd >= static_cast<int>(kBDCount)) return "bdIndex " + std::to_string(bd);
    if (ch < 0 || ch >= kChannelCount) return "a frame from channel " + std::to_string(ch);
    if (all_fill(&info, sizeof info)) return "success with nothing copied";
    // No writer runs here: what was copied is exactly what descriptor bd holds.
    const FrameBD &d = channel_ctrl(g_media_shm, ch)->bd[bd];
    if (std::memcmp(&info, &d.info, sizeof info) != 0) return "info differs from descriptor";
    const uint32_t size = d.info.framesize;
    if (size < kReadMinFrame || size > kReadMaxFrame || size > n) return "size out of bounds read";
    if (d.shm_offset >= kRegions[ch].size || d.shm_offset + size >= kRegions[ch].size)
        return "payload outside the region read";
    if (std::memcmp(b, channel_data(g_media_shm, ch) + d.shm_offset, size) != 0)
        return "payload differs from the ring";
    return {};
}

void guard(const Sandbox &s, int channel) {
    ASAN_POISON_MEMORY_REGION(s.ring(), kRingFileSize);
    if (channel < 0 || channel >= kChannelCount) return;
    ASAN_UNPOISON_MEMORY_REGION(channel_ctrl(s.ring(), channel), sizeof(ChannelCtrl));
    ASAN_UNPOISON_MEMORY_REGION(channel_data(s.ring(), channel), kRegions[channel].size);
}

void unguard(const Sandbox &s) {
    ASAN_UNPOISON_MEMORY_REGION(s.ring(), kRingFileSize);
}

}  // namespace ring_test

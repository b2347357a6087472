// Readers against a writer at full speed, in separate processes over one
// ring file.  The writer puts into four channels; every payload carries its
// channel, its own sequence number and a checksum, and every FrameInfo field
// follows from that number, so a reader can tell any frame it is handed for
// what it is.  Followers walk a video and an audio channel with
// MediaDataGetNextFrame (one of them peeking with the info-only walk too);
// searchers ask every search at random; one reader takes the oldest frame
// of a channel again and again, the frame the writer evicts next.  Asserted,
// in every reader:
//  - every frame returned with 0 is intact (checksum, record and descriptor
//    index all agree): a copy the writer raced fails, it is never handed
//    back;
//  - a follower's sequence numbers only increase; any jump comes with a
//    reported catch-up (landing on an SPS for video), or is a pass over
//    evicted descriptors or a lap of the whole table, which the index shows;
//  - once the writer has stopped, the ring being still, the followers reach
//    the last frame put and the searches find exactly the newest frames.
// The run is bounded by a count of puts and about three seconds; nothing
// asserted depends on how fast anything ran.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

#include "log_capture.h"
#include "reader_ops.h"
#include "ring_fixture.h"

namespace ring_test {
namespace {

constexpr int kChannels[] = {0, 1, 2, 4};
constexpr uint32_t kMaxRounds = 400000;
constexpr auto kRunFor = std::chrono::milliseconds(2500);
constexpr uint32_t kHeader = 16;

bool is_audio(int ch) {
    return ch >= 4;
}

uint8_t type_of(int ch, uint32_t seq) {
    if (is_audio(ch)) return 0;
    switch (seq % 10) {
        case 0:
            return 7;
        case 1:
            return 8;
        case 2:
            return 5;
        default:
            return 1;
    }
}

uint32_t size_of(int ch, uint32_t seq) {
    const uint32_t h = seq * 2654435761u;
    if (is_audio(ch)) return 100 + h % 300;
    const uint8_t t = type_of(ch, seq);
    if (t == 7 || t == 8) return kHeader + h % 16;
    const uint32_t scale = ch == 0 ? 10 : ch == 1 ? 4 : 1;  // fits a GOP in half a region
    return t == 5 ? scale * (2000 + h % 4000) : scale * (100 + h % 1400);
}

uint32_t ts_of(int ch, uint32_t seq) {
    return 1000 + seq * (is_audio(ch) ? 128 : 40);
}

uint32_t checksum(const uint8_t *p, uint32_t n) {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

// header: seq, channel, length, checksum of everything but the checksum
void make_payload(int ch, uint32_t seq, std::vector<uint8_t> &out) {
    const uint32_t n = size_of(ch, seq);
    out.resize(n);
    const uint32_t head[3] = {seq, static_cast<uint32_t>(ch), n};
    std::memcpy(out.data(), head, sizeof head);
    for (uint32_t i = kHeader; i < n; ++i) out[i] = static_cast<uint8_t>(seq * 131 + i * 7 + ch);
    const uint32_t sum = checksum(out.data(), 12) ^ checksum(out.data() + kHeader, n - kHeader);
    std::memcpy(out.data() + 12, &sum, 4);
}

FrameInfo info_of(int ch, uint32_t seq) {
    FrameInfo f{};
    f.ts = ts_of(ch, seq);
    f.frameType = type_of(ch, seq);
    f.framerate = 25;
    f.seq = static_cast<uint16_t>(seq);  // video: the writer's counter gives the same
    f.width = 1280;
    f.height = 720;
    f.sec = f.ts / 1000;
    f.aux = seq;
    return f;
}

// What the record alone says: its fields all follow from aux.
bool record_agrees(int ch, const FrameInfo &info) {
    FrameInfo want = info_of(ch, info.aux);
    want.framesize = size_of(ch, info.aux);
    return std::memcmp(&want, &info, sizeof want) == 0;
}

struct Shared {
    std::atomic<int> writer_done;
    uint32_t last_seq;  // the last sequence number put into every channel
    struct Stats {
        unsigned long frames, rechecks, outside, catchups, laps, passes;
    } stats[8];
};

[[noreturn]] void fail(const char *who, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "%s: ", who);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    _exit(1);
}

struct Reported {
    bool recheck = false, outside = false, catchup = false;
};

Reported reports(const char *who) {
    Reported r;
    for (const LogLine &l : log_lines()) {
        const auto has = [&](const char *s) { return l.text.find(s) != std::string::npos; };
        if (has("after read set to invalid error"))
            r.recheck = true;
        else if (has("shm_offset") && has("error"))
            r.outside = true;
        else if (has("too slow, force to NewFrame"))
            r.catchup = true;
        else if (has("BDIndex") && has("error"))
            fail(who, "index damage in a kept ring: %s", l.text.c_str());
    }
    return r;
}

// A clean copy: the payload is what the writer put, and agrees with the
// record and the descriptor index.  Returns the frame's sequence number.
uint32_t check_frame(const char *who, int ch, const std::vector<uint8_t> &buf,
                     const FrameInfo &info, int bd) {
    uint32_t head[4];
    if (info.framesize < kHeader) fail(who, "ch %d: framesize %u", ch, info.framesize);
    std::memcpy(head, buf.data(), sizeof head);
    const uint32_t sum =
        checksum(buf.data(), 12) ^ checksum(buf.data() + kHeader, info.framesize - kHeader);
    if (head[1] != static_cast<uint32_t>(ch) || head[2] != info.framesize || head[3] != sum)
        fail(who, "ch %d bd %d: payload damaged (seq %u)", ch, bd, head[0]);
    if (info.aux != head[0] || !record_agrees(ch, info))
        fail(who, "ch %d bd %d: record does not match payload %u", ch, bd, head[0]);
    if (static_cast<uint32_t>(bd) != head[0] % media_ring::kBDCount)
        fail(who, "ch %d: seq %u reported at bd %d", ch, head[0], bd);
    return head[0];
}

void writer(Shared *sh) {
    log_start(0);
    std::vector<uint8_t> p;
    const auto start = std::chrono::steady_clock::now();
    uint32_t seq = 0;
    // Ends after a whole GOP, so the newest SPS has frames after it.
    while (seq < kMaxRounds &&
           (seq % 10 != 0 || std::chrono::steady_clock::now() - start < kRunFor)) {
        for (int ch : kChannels) {
            make_payload(ch, seq, p);
            const FrameInfo info = info_of(ch, seq);
            if (MediaDataPut(ch, p.data(), static_cast<uint32_t>(p.size()), &info) != 0)
                fail("writer", "put %u into ch %d failed", seq, ch);
        }
        ++seq;
    }
    sh->last_seq = seq - 1;
    sh->writer_done.store(1, std::memory_order_release);
}

void follower(Shared *sh, int slot, int ch, bool peek) {
    char who[32];
    std::snprintf(who, sizeof who, "follower ch %d", ch);
    auto &st = sh->stats[slot];
    std::vector<uint8_t> buf(0x60000);
    FrameInfo info;
    int bd = 0;
    int64_t last = -1;  // the last clean sequence number seen
    // Start on the newest SPS (video) or the oldest frame (audio).
    for (;;) {
        log_start(4);
        const int rc = is_audio(ch)
                           ? MediaDataAudioGetOldFrame(ch, buf.data(), 0x60000, &bd, &info)
                           : MediaDataVideoGetNewSPSFrame(ch, buf.data(), 0x60000, &bd, &info);
        if (rc == 0) {
            last = check_frame(who, ch, buf, info, bd);
            break;
        }
    }
    for (bool stopped = false;;) {
        stopped = stopped || sh->writer_done.load(std::memory_order_acquire);
        const int before = bd;
        if (peek) {
            FrameInfo seen;
            log_start(4);
            if (MediaDataGetNextVideoFrameType(ch, buf.data(), 0x60000, &bd, &seen) == 0) {
                const Reported r = reports(who);
                if (!r.recheck && !r.outside && !record_agrees(ch, seen))
                    fail(who, "peeked record inconsistent (aux %u)", seen.aux);
                if (!r.catchup && bd != before) fail(who, "peek moved the cursor");
            }
        }
        const int at = bd;
        log_start(4);
        const int rc = MediaDataGetNextFrame(ch, buf.data(), 0x60000, &bd, &info);
        const Reported r = reports(who);
        if (rc != 0) {
            // Only a raced or damaged frame moves a failed walk's cursor.
            if (r.recheck || r.outside)
                ++(r.recheck ? st.rechecks : st.outside);
            else if (bd != at)
                fail(who, "a failed walk moved the cursor");
            if (stopped && !r.catchup && !r.recheck) break;  // the still ring is read to its end
            continue;
        }
        if (r.catchup) ++st.catchups;
        const uint32_t seq = check_frame(who, ch, buf, info, bd);
        ++st.frames;
        if (static_cast<int64_t>(seq) <= last)
            fail(who, "seq went back from %lld to %u", (long long)last, seq);
        if (r.catchup && !is_audio(ch) && info.frameType != 7)
            fail(who, "caught up to type %d", info.frameType);
        if (!r.catchup && seq != last + 1) {
            // Not reported: the walk passed over evicted descriptors, or the
            // table lapped this reader (same descriptor, 500 frames on).
            if (bd == static_cast<int>((at + 1) % media_ring::kBDCount))
                ++st.laps;
            else
                ++st.passes;
        }
        last = seq;
    }
    if (last != sh->last_seq)
        fail(who, "stopped at %lld, the last put was %u", (long long)last, sh->last_seq);
}

void searcher(Shared *sh, int slot, unsigned seed) {
    char who[32];
    std::snprintf(who, sizeof who, "searcher %d", slot);
    auto &st = sh->stats[slot];
    std::mt19937 rng(seed);
    std::vector<uint8_t> buf(0x60000);
    uint32_t recent[6] = {};
    const int channels[] = {0, 1, 2, 3, 4, 5};
    // The searches, in pairs of oldest and newest, then the two by ts.
    const int ops[] = {kOpOldIFrame,    kOpNewIFrame,   kOpOldSPSFrame,   kOpNewSPSFrame,
                       kOpOldPPSFrame,  kOpNewPPSFrame, kOpAudioOldFrame, kOpAudioNewFrame,
                       kOpAudioGetByTs, kOpVideoGetByTs};
    const auto one = [&](int ch, int op, uint32_t want_ts, int want_type, int *bd,
                         FrameInfo *info) {
        return call_frame_reader(ops[op], ch, buf.data(), 0x60000, want_type, want_ts, bd, info);
    };
    const int op_type[] = {5, 5, 7, 7, 8, 8, 0, 0, 0, -1};
    for (bool stopped = false; !stopped;) {
        stopped = sh->writer_done.load(std::memory_order_acquire);
        for (int n = 0; n < 64; ++n) {
            const int ch = channels[rng() % 6];
            const int op = static_cast<int>(rng() % 10);
            const uint32_t back = rng() % 300;
            const uint32_t want_ts = ts_of(ch, recent[ch] > back ? recent[ch] - back : 0);
            const int want_type = static_cast<int>(std::array<int, 4>{1, 5, 7, 8}[rng() % 4]);
            int bd = -1;
            FrameInfo info;
            log_start(4);
            const int rc = one(ch, op, want_ts, want_type, &bd, &info);
            const Reported r = reports(who);
            if (ch == 3 || ch == 5) {
                if (rc != -1) fail(who, "an empty channel gave a frame");
                continue;
            }
            if (rc != 0) {
                if (r.recheck || r.outside) ++(r.recheck ? st.rechecks : st.outside);
                continue;
            }
            const uint32_t seq = check_frame(who, ch, buf, info, bd);
            ++st.frames;
            recent[ch] = std::max(recent[ch], seq);
            const int type = op == 9 ? want_type : op_type[op];
            if (type > 0 && info.frameType != type)
                fail(who, "op %d on ch %d found type %d", op, ch, info.frameType);
            if (op >= 8 && info.ts < want_ts)
                fail(who, "op %d found ts %u < %u", op, info.ts, want_ts);
        }
    }
    // The ring is still: the newest frames are exactly the last ones put.
    const uint32_t last = sh->last_seq, last_sps = last - last % 10;
    for (int ch : kChannels) {
        int bd;
        FrameInfo info;
        log_start(4);
        const int op = is_audio(ch) ? 7 : 3;
        if (one(ch, op, 0, 0, &bd, &info) != 0) fail(who, "no newest frame on ch %d", ch);
        const uint32_t seq = check_frame(who, ch, buf, info, bd);
        if (seq != (is_audio(ch) ? last : last_sps)) fail(who, "ch %d newest is %u", ch, seq);
    }
}

// The oldest frame is the one the writer evicts next: reading it again and
// again races the writer as often as anything can.
void oldest_reader(Shared *sh, int slot, int ch) {
    char who[32];
    std::snprintf(who, sizeof who, "oldest ch %d", ch);
    auto &st = sh->stats[slot];
    std::vector<uint8_t> buf(0x60000);
    while (!sh->writer_done.load(std::memory_order_acquire)) {
        int bd = -1;
        FrameInfo info;
        log_start(4);
        if (MediaDataAudioGetOldFrame(ch, buf.data(), 0x60000, &bd, &info) == 0) {
            check_frame(who, ch, buf, info, bd);
            ++st.frames;
        } else if (reports(who).recheck) {
            ++st.rechecks;
        }
    }
}

class RingStress : public RingTest {};

TEST_F(RingStress, ReadersAgainstAWriterAtFullSpeed) {
    map_ring();  // created before the processes start, so none of them clears it
    void *mem =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto *sh = new (mem) Shared{};
    const struct {
        const char *role;
        void (*run)(Shared *, int);
    } roles[] = {
        {"writer", [](Shared *s, int) { writer(s); }},
        {"follower ch 2", [](Shared *s, int slot) { follower(s, slot, 2, false); }},
        {"follower ch 4", [](Shared *s, int slot) { follower(s, slot, 4, false); }},
        {"follower ch 0 with peeks", [](Shared *s, int slot) { follower(s, slot, 0, true); }},
        {"searcher 4", [](Shared *s, int slot) { searcher(s, slot, 4u); }},
        {"searcher 5", [](Shared *s, int slot) { searcher(s, slot, 5u); }},
        {"oldest ch 2", [](Shared *s, int slot) { oldest_reader(s, slot, 2); }},
    };
    std::vector<pid_t> pids;
    for (int slot = 0; slot < static_cast<int>(std::size(roles)); ++slot) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            roles[slot].run(sh, slot);
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (size_t k = 0; k < pids.size(); ++k) {
        int status = 0;
        ASSERT_EQ(waitpid(pids[k], &status, 0), pids[k]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << roles[k].role << (WIFSIGNALED(status) ? " died of a signal" : " failed");
    }
    std::printf("%u rounds of puts into 4 channels\n", sh->last_seq + 1);
    for (size_t k = 1; k < std::size(roles); ++k) {
        const auto &s = sh->stats[k];
        std::printf(
            "%-26s frames %lu, re-check %lu, outside %lu, catch-ups %lu, laps %lu, passes %lu\n",
            roles[k].role, s.frames, s.rechecks, s.outside, s.catchups, s.laps, s.passes);
        EXPECT_GT(s.frames, 0u) << roles[k].role;
    }
    munmap(mem, sizeof(Shared));
}

}  // namespace
}  // namespace ring_test

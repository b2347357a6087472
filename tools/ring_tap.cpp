// ring_tap - follows one channel of the media ring live and writes its frames
// to standard output as an elementary stream: H.264 Annex-B from an SPS on,
// or the ADTS frames as put, for `ring_tap 1 | ffplay -`.
//
// Between frames it sleeps in MediaDataWaitPut.  Each turn takes the put
// count first, then reads, and sleeps on that count only when the read found
// nothing, so no put between the read and the sleep is missed.
//
// The stream owns the process's original standard output.  The ring logs to
// stdout (media_printf), so descriptor 1 is pointed at stderr before the first
// ring call and the stream goes to a duplicate of the original: no log line
// can land inside the stream.
//
// A video stream is only ever written whole from an SPS: every frame written
// after it is the one put right after the frame written before (the
// producer's seq one higher, the next descriptor).  Anything else (a reader
// that fell behind and was moved on by the ring, a frame overwritten while it
// was copied, a producer that restarted) breaks that chain, and the stream
// starts again at the newest SPS.  ADTS frames stand alone, so an audio
// stream just goes on after a gap.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media_ring/media_ring.h"
#include "tool_fail.h"
#include "ring_layout.h"

namespace {

constexpr const char *kUsage =
    "usage: ring_tap [--help] [--timeout MS] CHANNEL\n"
    "\n"
    "Follows channel CHANNEL (0..5) of the media ring live and writes its\n"
    "frames to standard output: channels 0..3 as an H.264 Annex-B stream\n"
    "that starts at the newest SPS, channels 4 and 5 as the ADTS frames as\n"
    "they were put.  For example:\n"
    "\n"
    "    ring_tap 1 | ffplay -\n"
    "    ring_tap 1 | ffmpeg -i - -c copy out.mp4\n"
    "    ring_tap 4 > live.aac\n"
    "\n"
    "Between frames it sleeps until the producer puts the next one.  When it\n"
    "falls behind (a slow reader of its output) or the video stream breaks\n"
    "(frames lost, a producer restarted), it goes on at the newest SPS, so the\n"
    "stream stays decodable; audio goes on with the next frame.  Each such\n"
    "skip is reported on standard error (a few lines at most, then one every\n"
    "few seconds).  The ring's own log lines go to standard error too.\n"
    "\n"
    "  --timeout MS  wake at least every MS milliseconds (default: sleep until\n"
    "                a put).  Needed only with producers built before readers\n"
    "                could sleep: they never wake a sleeping reader.\n"
    "\n"
    "The ring file is $MEDIA_RING_PATH, or /home/vexlon/view when that is unset.\n"
    "\n"
    "Exit status: 0 when standard output closes or on SIGINT/SIGTERM; 1 when\n"
    "the ring cannot be mapped or the output fails; 2 for a usage error.\n";

constexpr int kBurst = 5;            // skip lines allowed at once,
constexpr int64_t kRefillMs = 5000;  // and one more per this much time

[[noreturn]] void fail(int status, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    tool_fail("ring_tap", status, format, ap);
}

// Nothing is buffered (the stream is written with write(2)) and the ring
// needs no goodbye (a wake flag left set costs the producer one futex wake),
// so a stop can end the process where it stands.  It is also the only way out
// of a wait without a time limit, which goes back to sleep when interrupted.
void on_stop(int) {
    _exit(0);
}

int64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Writes all of [data, data + size) to fd.  A reader that went away
// (EPIPE; SIGPIPE is ignored) ends the tap with status 0.
void write_all(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) std::exit(0);
            fail(1, "writing the stream: %s", std::strerror(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Where a frame was read and what its FrameInfo said: enough to tell one put
// from another put later made into the same descriptor.
struct Mark {
    int bd = -1;
    FrameInfo info{};
    bool is(int at, const FrameInfo &f) const {
        return bd == at && info.seq == f.seq && info.ts == f.ts && info.framesize == f.framesize &&
               info.frameType == f.frameType;
    }
};

class Tap {
  public:
    Tap(int channel, int timeout_ms, int out)
        : ch_(channel), timeout_(timeout_ms), out_(out), video_(!MediaDataIsAudioChannel(channel)),
          buf_(media_ring::kReadMaxFrame) {}

    [[noreturn]] void run() {
        uint32_t count, looked = 0;
        for (;;) {
            if (MediaDataGetPutCount(ch_, &count) != 0) fail(1, "the ring went away");
            const bool puts_since = count != looked;  // since the last turn took it
            looked = count;
            if (lost_ ? restart() : next(puts_since)) continue;
            if (MediaDataWaitPut(ch_, count, timeout_) != 0 && errno != ETIMEDOUT)
                fail(1, "waiting for a put: %s", std::strerror(errno));
        }
    }

  private:
    // The newest SPS (audio: frame) not yet written starts the stream; true
    // once written, false when there is none yet.
    bool restart() {
        int at = 0;
        FrameInfo info;
        const int found =
            video_ ? MediaDataVideoGetNewSPSFrame(ch_, buf_.data(), size(), &at, &info)
                   : MediaDataAudioGetNewFrame(ch_, buf_.data(), size(), &at, &info);
        if (found != 0 || (video_ ? last_sps_ : last_).is(at, info)) return false;
        bd_ = at;
        lost_ = false;
        emit(info);
        return true;
    }

    // The next frame after the last one written; true when one was read.
    bool next(bool puts_since) {
        const int before = bd_;
        FrameInfo info;
        if (MediaDataGetNextFrame(ch_, buf_.data(), size(), &bd_, &info) == 0) {
            char gap[96];
            if (!broken(info, gap, sizeof gap)) {
                emit(info);
            } else if (video_ && info.frameType != MEDIA_FRAME_SPS) {
                skip(gap, newest());
                lost_ = true;
            } else {
                skip(gap, video_ ? "going on at this SPS" : "going on at this frame");
                emit(info);
            }
            return true;
        }
        if (bd_ != before) {
            // Overwritten while copied: the ring left the cursor just before
            // it; the producer has caught up with us, so go on at the newest.
            skip("the producer overwrote the frame being read", newest());
            lost_ = true;
            return true;
        }
        // Found nothing.  That is the end of the channel, unless the producer
        // put a whole descriptor table's worth since the last frame written
        // (a long blocked write): the walk then sees the slot after ours
        // empty as before.  Only puts since the last look can have done it.
        if (puts_since && lapped()) {
            skip("overtaken by the producer", newest());
            lost_ = true;
            return true;
        }
        return false;
    }

    bool lapped() {
        int at = 0;
        FrameInfo info;
        return _MediaDataGetNewFrame(ch_, buf_.data(), size(), MEDIA_FRAME_ANY, &at, &info) == 0 &&
               at == last_.bd && !last_.is(at, info);
    }

    // Whether `info` at bd_ does not follow the last frame written; if so,
    // says how in `what`.
    bool broken(const FrameInfo &info, char *what, size_t n) const {
        const int want = (last_.bd + 1) % static_cast<int>(media_ring::kBDCount);
        const uint16_t seq = static_cast<uint16_t>(last_.info.seq + 1);
        if (video_ && info.seq != seq) {
            const uint16_t missed = static_cast<uint16_t>(info.seq - seq);
            if (missed < 0x8000)
                std::snprintf(what, n, "%u frames lost (seq %u after %u)", missed, info.seq,
                              last_.info.seq);
            else
                std::snprintf(what, n, "seq went back from %u to %u (a new producer?)",
                              last_.info.seq, info.seq);
            return true;
        }
        if (bd_ == want) return false;
        std::snprintf(what, n, "frames lost (descriptor %d after %d)", bd_, last_.bd);
        return true;
    }

    void emit(const FrameInfo &info) {
        write_all(out_, buf_.data(), info.framesize);
        last_ = Mark{bd_, info};
        if (info.frameType == MEDIA_FRAME_SPS && video_) last_sps_ = last_;
    }

    // One line per skip, at most kBurst at once and then one per kRefillMs;
    // the next line printed counts those left out.
    void skip(const char *what, const char *then) {
        const int64_t now = now_ms();
        if (tokens_ < kBurst && now - refilled_ >= kRefillMs) {
            tokens_ += static_cast<int>((now - refilled_) / kRefillMs);
            if (tokens_ > kBurst) tokens_ = kBurst;
            refilled_ = now;
        }
        if (tokens_ == 0) {
            ++unsaid_;
            return;
        }
        --tokens_;
        std::fprintf(stderr, "ring_tap: channel %d: %s; %s", ch_, what, then);
        if (unsaid_ > 0) std::fprintf(stderr, " (%ld skips not reported since)", unsaid_);
        std::fputc('\n', stderr);
        unsaid_ = 0;
    }

    const char *newest() const {
        return video_ ? "going on at the newest SPS" : "going on at the newest frame";
    }

    uint32_t size() const {
        return static_cast<uint32_t>(buf_.size());
    }

    const int ch_, timeout_, out_;
    const bool video_;
    std::vector<uint8_t> buf_;
    int bd_ = 0;
    bool lost_ = true;  // no stream yet: it starts as after a break
    Mark last_, last_sps_;
    int tokens_ = kBurst;
    int64_t refilled_ = now_ms();
    long unsaid_ = 0;
};

// A whole number from lo to hi, or -1.
long number(const char *s, long lo, long hi) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (*s < '0' || *s > '9' || *end != '\0' || errno != 0 || v < lo || v > hi) return -1;
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    int channel = -1, timeout_ms = -1;
    for (int k = 1; k < argc; ++k) {
        const char *a = argv[k];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strncmp(a, "--timeout", 9) == 0 && (a[9] == '\0' || a[9] == '=')) {
            if (a[9] == '\0' && k + 1 == argc) fail(2, "--timeout needs a value (see --help)");
            const char *v = a[9] == '=' ? a + 10 : argv[++k];
            timeout_ms = static_cast<int>(number(v, 1, 86400000));  // 0 would spin
            if (timeout_ms < 0) fail(2, "--timeout %s: not 1..86400000 ms (see --help)", v);
        } else if (std::strncmp(a, "--", 2) == 0 || channel >= 0) {
            fail(2, "unexpected argument %s (see --help)", a);
        } else if ((channel = static_cast<int>(number(a, 0, MEDIA_CH_COUNT - 1))) < 0) {
            fail(2, "channel %s: not 0..5", a);
        }
    }
    if (channel < 0) fail(2, "which channel? (see --help)");

    // The stream keeps the original standard output; descriptor 1, where
    // the ring logs, becomes stderr before the first ring call.
    const int out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (out < 0) fail(1, "no standard output: %s", std::strerror(errno));
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        fail(1, "cannot point the ring's log at stderr: %s", std::strerror(errno));

    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &sa, nullptr) != 0) fail(1, "sigaction: %s", std::strerror(errno));
    sa.sa_handler = on_stop;
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0)
        fail(1, "sigaction: %s", std::strerror(errno));

    uint32_t count;
    if (MediaDataGetPutCount(channel, &count) != 0) {
        const char *path = std::getenv(media_ring::kRingPathEnv);
        fail(1, "cannot map the ring file %s", path && *path ? path : media_ring::kRingPath);
    }
    Tap(channel, timeout_ms, out).run();
}

// ring_feed.cpp - the simulated producer.  Feeds an H.264 Annex-B file and an
// ADTS AAC file into media ring channels 1 and 4 the way the camera's encoders
// do, in real time or faster, and keeps the status block that the recorder
// reads, so the alarm recorder can run on a host without a camera.
//
// Timing is media time: picture n of the stream is n * 1000 / fps ms after
// the first frame, an audio frame its sample position / sampling rate.  ts
// and sec are derived from media time, never from the wall clock, so a feed
// at --speed 8 yields the same frames, ts and sec as one in real time; the
// wall clock only decides when each frame is put.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "elementary_streams/adts.h"
#include "elementary_streams/h264_params.h"
#include "media_ring/media_ring.h"
#include "tool_fail.h"
#include "media_ring/status_block.h"
#include "media_split.h"
#include "ring_inspect.h"
#include "ring_layout.h"

namespace {

namespace es = elementary_streams;
using media_split::Frame;

constexpr int kVideoChannel = MEDIA_CH_RECORD_VIDEO;
constexpr int kAudioChannel = MEDIA_CH_RECORD_AUDIO;
constexpr uint64_t kNever = UINT64_MAX;

const char kUsage[] = R"(Usage: ring_feed [OPTIONS] VIDEO.h264 AUDIO.aac

Simulated camera producer.  Splits VIDEO (H.264 Annex-B) and AUDIO (AAC in
ADTS) into the frames the device's encoders put into the media ring and puts
them in time order: video into channel 1, audio into channel 4.

Frames put:
  channel 1  one NAL unit per frame behind a 00 00 00 01 start code (SPS, PPS,
             SEI, I and P frames each a frame of their own); frameType = the
             NAL unit type; framerate = --fps; width and height from the
             latest SPS.  The units of one picture share its ts and sec;
             pictures are 1000/fps ms apart.
  channel 4  one whole ADTS frame (7-byte header included) per frame; ts
             advances by the frame's samples / sampling rate (128 ms for 1024
             samples at 8000 Hz); frameType, framerate, width, height are 0.
  ts  = ts-start + the frame's media time in ms (32 bits, wraps)
  sec = sec-start + whole seconds of media time since the first frame
  The input loops, video and audio each from its own start, and time runs on.

Options (a value may also be given as --option=VALUE):
  --fps N           video frame rate: pacing and the framerate field (1-255;
                    default 15)
  --claim-fps N     put N in the framerate field instead, while ts and pacing
                    keep --fps (a stream that claims another rate; 0-255)
  --speed X         put frames at X times real time (default 1; e.g. 8)
  --prefill S       put the first S seconds at once, their ts in the past,
                    then pace the rest, so a clip has its pre-roll at once
                    (default 0)
  --once            one pass of the video file, then exit
  --loops N         N passes of the video file, then exit
  --duration S      S seconds of media time, then exit (default: run for ever;
                    of --once, --loops and --duration the first reached ends)
  --ts-start MS     ts of the first frame (default: the monotonic clock in ms
                    less the pre-fill, so paced frames carry the clock's time;
                    or, if later, 1 s past the newest frame already in
                    channel 1 or 4, so ts keeps growing along each channel)
  --sec-start N     sec of the first frame (default: ts-start / 1000)
  --sec-reset-at S  from S seconds of media time on, sec counts again from 0
                    (a producer whose second count restarts)
  --target-fps N    target_framerate for the status block (default: --fps)
  --motion-time T   motion_time for the status block (default: the tick at
                    which pacing begins, ts-start + pre-fill)
  --ring PATH       the ring file (sets MEDIA_RING_PATH)
  --status PATH     the status block file (overrides MEDIA_STATUS_PATH)
  --access-units    put each picture whole instead: its parameter sets, SEI
                    and slices in one frame, each behind its start code, the
                    frameType that of its first unit (an IDR picture that
                    begins with its SPS is found as an SPS)
  --verbose         one line per frame put
  --help            this text

Status block: an existing file is brought to 13900 bytes and used in place; a
missing one is made whole beside its name and put in place once the pre-fill
is in the ring.  motion_time (byte 1852) and target_framerate (byte 2352) are
written at start, sys_tick (byte 1168) at every frame: the feed's millisecond
clock, the ts of the frame just put.  Each field is a native signed 32-bit
word; the rest of the file is left as it is.

Environment:
  MEDIA_RING_PATH    the ring file (default /home/vexlon/view)
  MEDIA_STATUS_PATH  the status block (default /home/mmap_tmpfs/mmap.info)

Exit status: 0 at the end of the input or on SIGINT/SIGTERM; 1 on an error
(input missing or without frames, ring or status block not mappable); 2 on a
bad command line.
)";

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

[[noreturn]] void fail(int status, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    tool_fail("ring_feed", status, format, ap);
}

struct Options {
    std::string video, audio;
    int fps = 15;
    int claim_fps = -1;  // the framerate field; -1: fps
    double speed = 1;
    uint64_t prefill_ms = 0;
    uint64_t loops = 0;  // 0: no limit
    uint64_t duration_ms = kNever;
    int64_t ts_start = -1, sec_start = -1;  // -1: default
    uint64_t sec_reset_ms = kNever;
    bool target_given = false;
    bool access_units = false;  // one put per picture, its units behind their start codes
    int32_t target_fps = 0;
    bool motion_given = false;
    int32_t motion_time = 0;
    std::string ring, status;
    bool verbose = false;
};

// A number within [lo, hi]; whole unless `fraction`.  Anything else is a usage error.
double number(const std::string &opt, const std::string &text, double lo, double hi,
              bool fraction = false) {
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(v >= lo && v <= hi) ||
        (!fraction && v != std::floor(v)))
        fail(2, "%s: '%s' is not a %s from %.17g to %.17g (see --help)", opt.c_str(), text.c_str(),
             fraction ? "number" : "whole number", lo, hi);
    return v;
}

uint64_t millis(double seconds) {
    return static_cast<uint64_t>(std::llround(seconds * 1000));
}

Options parse_options(int argc, char **argv) {
    Options o;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            files.push_back(arg);
            continue;
        }
        std::string value;
        bool has_value = false;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--once" || arg == "--verbose" || arg == "--access-units") {
            if (has_value) fail(2, "%s takes no value (see --help)", arg.c_str());
            if (arg == "--once")
                o.loops = 1;
            else if (arg == "--verbose")
                o.verbose = true;
            else
                o.access_units = true;
            continue;
        }
        if (!has_value) {
            if (i + 1 >= argc) fail(2, "%s needs a value (see --help)", arg.c_str());
            value = argv[++i];
        }
        constexpr double kU32 = 4294967295.0;
        if (arg == "--fps") {
            o.fps = static_cast<int>(number(arg, value, 1, 255));
        } else if (arg == "--claim-fps") {
            o.claim_fps = static_cast<int>(number(arg, value, 0, 255));
        } else if (arg == "--speed") {
            o.speed = number(arg, value, 0.001, 10000, true);
        } else if (arg == "--prefill") {
            o.prefill_ms = millis(number(arg, value, 0, 86400, true));
        } else if (arg == "--loops") {
            o.loops = static_cast<uint64_t>(number(arg, value, 1, 1e9));
        } else if (arg == "--duration") {
            o.duration_ms = millis(number(arg, value, 0.001, 1e9, true));
        } else if (arg == "--ts-start") {
            o.ts_start = static_cast<int64_t>(number(arg, value, 0, kU32));
        } else if (arg == "--sec-start") {
            o.sec_start = static_cast<int64_t>(number(arg, value, 0, kU32));
        } else if (arg == "--sec-reset-at") {
            o.sec_reset_ms = millis(number(arg, value, 0, 1e9, true));
        } else if (arg == "--target-fps") {
            o.target_fps = static_cast<int32_t>(number(arg, value, INT32_MIN, INT32_MAX));
            o.target_given = true;
        } else if (arg == "--motion-time") {
            o.motion_time = static_cast<int32_t>(number(arg, value, INT32_MIN, INT32_MAX));
            o.motion_given = true;
        } else if (arg == "--ring") {
            o.ring = value;
        } else if (arg == "--status") {
            o.status = value;
        } else {
            fail(2, "unknown option %s (see --help)", arg.c_str());
        }
    }
    if (files.size() != 2) fail(2, "needs a video file and an audio file (see --help)");
    o.video = files[0];
    o.audio = files[1];
    if (!o.target_given) o.target_fps = o.fps;
    return o;
}

// The picture size the latest SPS declares, put beside each video frame.
struct PictureSize {
    uint16_t width = 0;
    uint16_t height = 0;
};

// The input as the producers put it, one pass of each file.
struct Input {
    std::vector<Frame> video;
    std::vector<uint64_t> picture;  // picture number of each video frame
    std::vector<PictureSize> size;  // the size in force at each video frame
    uint64_t pictures = 0;          // pictures in one pass
    std::vector<Frame> audio;
    std::vector<uint64_t> audio_start;  // sample position of each audio frame
    uint64_t audio_samples = 0;         // samples in one pass
    uint32_t rate = 0;                  // sampling rate of the first frame
};

std::vector<uint8_t> read_input(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0)
        fail(1, "cannot read %s: %s", path.c_str(), std::strerror(errno));
    return media_split::read_file(path);
}

void load_video(const std::string &path, Input &in) {
    in.video = media_split::split_annexb(read_input(path));
    if (in.video.empty()) fail(1, "%s holds no H.264 NAL units", path.c_str());
    in.picture = media_split::picture_numbers(in.video, &in.pictures);
    const uint32_t largest = media_ring::largest_frame(kVideoChannel);  // the ring takes no more
    PictureSize current;
    bool have_size = false;
    for (size_t i = 0; i < in.video.size(); ++i) {
        const Frame &f = in.video[i];
        const uint8_t type = media_split::nal_type(f);
        if (type == MEDIA_FRAME_SPS) {
            es::SpsInfo sps;
            if (es::parse_sps(f.data() + 4, static_cast<uint32_t>(f.size() - 4), &sps)) {
                const PictureSize s{sps.width, sps.height};
                if (!have_size)  // frames ahead of the first SPS take its size
                    std::fill(in.size.begin(), in.size.end(), s);
                current = s;
                have_size = true;
            } else {
                std::fprintf(stderr, "ring_feed: SPS (frame %zu of %s) not understood; size kept\n",
                             i, path.c_str());
            }
        }
        in.size.push_back(current);
        if (f.size() > largest)
            fail(1, "frame %zu of %s is %zu bytes, more than channel 1 holds (%u)", i, path.c_str(),
                 f.size(), largest);
    }
    if (in.pictures == 0) fail(1, "%s holds no I or P frames", path.c_str());
    if (!have_size) fail(1, "%s holds no SPS with a picture size", path.c_str());
}

void load_audio(const std::string &path, Input &in) {
    in.audio = media_split::split_adts(read_input(path));
    if (in.audio.empty()) fail(1, "%s holds no ADTS frames", path.c_str());
    // The splitter passes only frames whose headers parse.
    es::AdtsHeader h;
    es::parse_adts_header(in.audio[0], &h);
    in.rate = es::adts_sampling_frequency(h.sampling_index);
    if (in.rate == 0) fail(1, "%s: reserved ADTS sampling frequency index", path.c_str());
    for (const Frame &f : in.audio) {
        es::parse_adts_header(f, &h);
        in.audio_start.push_back(in.audio_samples);
        in.audio_samples += 1024u * (h.raw_data_blocks + 1u);
    }
}

// The status block, mapped shared; each field one aligned 32-bit store.  An
// existing file is used in place (brought to size if need be).  A new one is
// made beside its name and put in place by publish() once the pre-fill is in
// the ring, so a recorder never maps it short, nor before its pre-roll exists.
class StatusBlock {
  public:
    void open(const std::string &path) {
        path_ = path;
        int fd = ::open(path.c_str(), O_RDWR);
        if (fd < 0 && errno == ENOENT) {
            pending_ = path + ".tmp" + std::to_string(getpid());
            fd = ::open(pending_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
        }
        if (fd < 0) fail(1, "cannot open status block %s: %s", path.c_str(), std::strerror(errno));
        struct stat st;
        if (fstat(fd, &st) != 0 ||
            (st.st_size != STATUS_BLOCK_SIZE && ftruncate(fd, STATUS_BLOCK_SIZE) != 0))
            fail(1, "cannot size status block %s: %s", path.c_str(), std::strerror(errno));
        void *p = mmap(nullptr, STATUS_BLOCK_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        const int saved = errno;
        ::close(fd);
        if (p == MAP_FAILED)
            fail(1, "cannot map status block %s: %s", path.c_str(), std::strerror(saved));
        base_ = static_cast<unsigned char *>(p);
    }
    void set(int offset, int32_t value) {
        std::atomic_ref<int32_t>(*reinterpret_cast<int32_t *>(base_ + offset))
            .store(value, std::memory_order_relaxed);
    }
    void publish() {
        if (pending_.empty()) return;
        if (rename(pending_.c_str(), path_.c_str()) != 0)
            fail(1, "cannot put status block %s in place: %s", path_.c_str(), std::strerror(errno));
        pending_.clear();
    }
    // A feed stopped before publishing leaves nothing behind.
    void discard() {
        if (!pending_.empty()) unlink(pending_.c_str());
    }

  private:
    std::string path_, pending_;
    unsigned char *base_ = nullptr;
};

uint64_t monotonic_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Sleeps until the monotonic clock reaches `due` (ns); false once a stop is asked.
bool wait_until(uint64_t due) {
    for (;;) {
        if (g_stop) return false;
        const uint64_t now = monotonic_ns();
        if (now >= due) return true;
        const uint64_t slice = std::min<uint64_t>(due - now, 100000000u);  // stay responsive
        const timespec t = {static_cast<time_t>(slice / 1000000000u),
                            static_cast<long>(slice % 1000000000u)};
        nanosleep(&t, nullptr);  // a signal cuts it short
    }
}

class Feeder {
  public:
    Feeder(const Options &o, const Input &in, StatusBlock &status)
        : o_(o), in_(in), status_(status) {}

    uint64_t ts_start = 0, sec_start = 0;

    // Puts frames in media-time order until the end or a stop; returns
    // whether it stopped on a signal.
    bool run() {
        const uint64_t end =
            std::min(o_.duration_ms, o_.loops ? o_.loops * in_.pictures * 1000 / o_.fps : kNever);
        bool pacing = false;
        uint64_t live_start = 0;
        for (;;) {
            const uint64_t vt = video_time(), at = audio_time();
            const bool video = vt <= at;
            const uint64_t t = video ? vt : at;
            if (t >= end) break;
            if (t >= o_.prefill_ms) {
                if (!pacing) {
                    pacing = true;
                    prefilled();
                    live_start = monotonic_ns();
                }
                const double wait = static_cast<double>(t - o_.prefill_ms) * 1e6 / o_.speed;
                if (!wait_until(live_start + static_cast<uint64_t>(wait))) return true;
            } else if (g_stop) {
                return true;
            }
            if (video)
                put_video(t);
            else
                put_audio(t);
        }
        if (!pacing) prefilled();
        return false;
    }

    uint64_t video_frames = 0, audio_frames = 0;
    uint32_t last_ts = 0;

  private:
    uint64_t video_time() const {
        return (vloop_ * in_.pictures + in_.picture[vi_]) * 1000 / o_.fps;
    }
    uint64_t audio_time() const {
        return (aloop_ * in_.audio_samples + in_.audio_start[ai_]) * 1000 / in_.rate;
    }

    FrameInfo info_at(uint64_t t) const {
        FrameInfo info{};
        info.ts = static_cast<uint32_t>(ts_start + t);
        const bool reset = o_.sec_reset_ms != kNever && t >= o_.sec_reset_ms;
        info.sec =
            static_cast<uint32_t>(reset ? (t - o_.sec_reset_ms) / 1000 : sec_start + t / 1000);
        return info;
    }

    void put_video(uint64_t t) {
        const Frame &f = in_.video[vi_];
        FrameInfo info = info_at(t);
        info.frameType = media_split::nal_type(f);
        info.framerate = static_cast<uint8_t>(o_.claim_fps >= 0 ? o_.claim_fps : o_.fps);
        info.width = in_.size[vi_].width;
        info.height = in_.size[vi_].height;
        const uint64_t picture = in_.picture[vi_];
        if (o_.access_units) {
            unit_.assign(f.begin(), f.end());
            while (vi_ + 1 < in_.video.size() && in_.picture[vi_ + 1] == picture) {
                const Frame &next = in_.video[++vi_];
                unit_.insert(unit_.end(), next.begin(), next.end());
            }
        }
        put(kVideoChannel, o_.access_units ? unit_ : f, info);
        ++video_frames;
        if (++vi_ == in_.video.size()) {
            vi_ = 0;
            ++vloop_;
        }
    }

    void put_audio(uint64_t t) {
        FrameInfo info = info_at(t);
        info.seq = static_cast<uint16_t>(audio_frames);  // kept as given on audio channels
        put(kAudioChannel, in_.audio[ai_], info);
        ++audio_frames;
        if (++ai_ == in_.audio.size()) {
            ai_ = 0;
            ++aloop_;
        }
    }

    void put(int channel, const Frame &f, const FrameInfo &info) {
        if (MediaDataPut(channel, f.data(), static_cast<uint32_t>(f.size()), &info) != 0)
            fail(1, "putting a frame into channel %d failed", channel);
        last_ts = info.ts;
        status_.set(STATUS_SYS_TICK, static_cast<int32_t>(info.ts));
        if (o_.verbose)
            std::printf("ch %d ts %u sec %u type %u size %zu %ux%u\n", channel, info.ts, info.sec,
                        info.frameType, f.size(), info.width, info.height);
    }

    void prefilled() {
        status_.publish();
        if (o_.prefill_ms == 0) return;
        std::printf("ring_feed: pre-filled %.3f s at once: %llu video and %llu audio frames\n",
                    o_.prefill_ms / 1000.0, static_cast<unsigned long long>(video_frames),
                    static_cast<unsigned long long>(audio_frames));
    }

    const Options &o_;
    const Input &in_;
    StatusBlock &status_;
    size_t vi_ = 0, ai_ = 0;
    uint64_t vloop_ = 0, aloop_ = 0;
    Frame unit_;  // --access-units: the picture being put
};

// The ts of the newest frame in a channel of the mapped ring; -1 if empty.
int64_t newest_ts(int channel) {
    media_ring::ChannelCtrl &c = *media_ring::channel_ctrl(g_media_shm, channel);
    const ring_inspect::LiveRange l = ring_inspect::live_range(c);
    if (l.empty() || l.damaged) return -1;
    FrameInfo f;
    return ring_inspect::live_info(c.bd[media_ring::prev_index(l.cur)], &f) ? f.ts : -1;
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options o = parse_options(argc, argv);
    Input in;
    load_video(o.video, in);
    load_audio(o.audio, in);

    if (!o.ring.empty()) setenv(media_ring::kRingPathEnv, o.ring.c_str(), 1);
    const char *ring = std::getenv(media_ring::kRingPathEnv);
    if (ring == nullptr || *ring == '\0') ring = media_ring::kRingPath;
    std::string status_path = o.status;
    if (status_path.empty()) {
        const char *env = std::getenv(STATUS_BLOCK_PATH_ENV);
        status_path = env != nullptr && *env != '\0' ? env : STATUS_BLOCK_PATH;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;  // no SA_RESTART: a signal ends the current sleep
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (MediaDataInit(1) != 0) fail(1, "cannot map the ring file %s", ring);
    StatusBlock status;
    status.open(status_path);

    Feeder feeder(o, in, status);
    if (o.ts_start >= 0) {
        feeder.ts_start = static_cast<uint64_t>(o.ts_start);
    } else {
        const uint64_t now_ms = monotonic_ns() / 1000000u;
        feeder.ts_start = (now_ms > o.prefill_ms ? now_ms - o.prefill_ms : 0) & 0xffffffffu;
        // Readers take ts to grow along a channel: a feed that follows an
        // earlier one (run ahead of the clock by --speed) starts after it.
        for (int ch : {kVideoChannel, kAudioChannel})
            if (const int64_t newest = newest_ts(ch); newest >= 0)
                feeder.ts_start = std::max<uint64_t>(feeder.ts_start, newest + 1000);
    }
    feeder.sec_start =
        o.sec_start >= 0 ? static_cast<uint64_t>(o.sec_start) : feeder.ts_start / 1000;
    const int32_t motion =
        o.motion_given ? o.motion_time : static_cast<int32_t>(feeder.ts_start + o.prefill_ms);
    status.set(STATUS_MOTION_TIME, motion);
    status.set(STATUS_TARGET_FRAMERATE, o.target_fps);
    status.set(STATUS_SYS_TICK, static_cast<int32_t>(feeder.ts_start));

    std::printf(
        "ring_feed: %s (%zu NAL units, %llu pictures, %ux%u, %d fps) -> ch %d, %s (%zu ADTS "
        "frames, %u Hz) -> ch %d; ring %s, status %s; speed %g, pre-fill %.3f s, ts from %llu, "
        "sec from %llu\n",
        o.video.c_str(), in.video.size(), static_cast<unsigned long long>(in.pictures),
        in.size.front().width, in.size.front().height, o.fps, kVideoChannel, o.audio.c_str(),
        in.audio.size(), in.rate, kAudioChannel, ring, status_path.c_str(), o.speed,
        o.prefill_ms / 1000.0, static_cast<unsigned long long>(feeder.ts_start),
        static_cast<unsigned long long>(feeder.sec_start));

    const bool stopped = feeder.run();
    status.discard();
    std::printf("ring_feed: %s after %llu video and %llu audio frames, last ts %u\n",
                stopped ? "stopped" : "done", static_cast<unsigned long long>(feeder.video_frames),
                static_cast<unsigned long long>(feeder.audio_frames), feeder.last_ts);
    return 0;
}

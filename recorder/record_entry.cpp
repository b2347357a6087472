// record_entry.cpp - the recorder's start: command line, status block, the
// clip's starting SPS and its declared frame rate.
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media_ring/status_block.h"
#include "recorder/clip_timing.h"
#include "recorder/recorder.h"
#include "recorder/stop_request.h"

extern "C" {
void *g_ptr_mmap = nullptr;
volatile sig_atomic_t g_stop_signal = 0;
bool g_clip_timestamps = false;
}

namespace {

constexpr useconds_t kStatusRetryPause = 1000000;  // 1 s

// A read of the mapped status block ends in SIGBUS when its keeper has cut
// the file short under the mapping (it rewrites it with truncate and
// write).  Such a read jumps back here instead of killing the recorder.
sigjmp_buf g_status_fault;
volatile sig_atomic_t g_status_reading = 0;

void on_status_fault(int sig) {
    if (g_status_reading) siglongjmp(g_status_fault, 1);
    signal(sig, SIG_DFL);  // not ours: the fault ends the process as before
    raise(sig);
}

// The status block is written by another process while we read it: each
// field is one aligned 32-bit word, read once per use.  While the block is
// cut short, each field keeps the value last read (0 if none was), with one
// line the first time.
int32_t status_field(size_t offset) {
    static int32_t last[STATUS_BLOCK_SIZE / 4];
    static bool said = false;
    struct sigaction sa {}, previous {};
    sa.sa_handler = on_status_fault;
    sigemptyset(&sa.sa_mask);
    const bool guarded = sigaction(SIGBUS, &sa, &previous) == 0;
    if (sigsetjmp(g_status_fault, 1) == 0) {
        g_status_reading = 1;
        __atomic_load(reinterpret_cast<const int32_t *>(
                          static_cast<const unsigned char *>(g_ptr_mmap) + offset),
                      &last[offset / 4], __ATOMIC_RELAXED);
    } else if (!said) {
        said = true;
        std::printf("alarm_record: the status block is cut short; keeping the values last read\n");
    }
    g_status_reading = 0;
    if (guarded) sigaction(SIGBUS, &previous, nullptr);
    return last[offset / 4];
}

const char *status_path() {
    const char *p = std::getenv(STATUS_BLOCK_PATH_ENV);
    return p != nullptr && *p != '\0' ? p : STATUS_BLOCK_PATH;
}

}  // namespace

void read_clip_timing() {
    const char *v = std::getenv(CLIP_TIMING_ENV);
    g_clip_timestamps = v != nullptr && std::strcmp(v, "ts") == 0;
}

extern "C" void *get_sharemem(const char *path) {
    // Read-only, as it is mapped; never created here.  Non-blocking, so a
    // FIFO in its place cannot stall the open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    // A block shorter than its 13900 bytes (its keeper still writing it) is
    // not mappable yet: a read past the file's end would be SIGBUS.  (A FIFO
    // has no end to seek to, and is refused with it.)
    const off_t end = lseek(fd, 0, SEEK_END);
    void *addr = MAP_FAILED;
    if (end >= static_cast<off_t>(STATUS_BLOCK_SIZE))
        addr = mmap(nullptr, STATUS_BLOCK_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    return addr == MAP_FAILED ? nullptr : addr;
}

extern "C" int get_run_time(struct timeval start, struct timeval end) {
    // Each value is taken as two 32-bit words; wrap-around is modulo 2^32.
    const uint32_t ms = static_cast<uint32_t>(end.tv_sec) * 1000u +
                        static_cast<uint32_t>(static_cast<int32_t>(end.tv_usec) / 1000) -
                        static_cast<uint32_t>(static_cast<int32_t>(start.tv_usec) / 1000) -
                        static_cast<uint32_t>(start.tv_sec) * 1000u;
    return static_cast<int32_t>(ms);
}

extern "C" int pick_target_framerate(int target_framerate, int newsps_framerate) {
    int rate = target_framerate;
    if (rate < 2) rate = 2;
    if (rate > 20) rate = 20;
    if (rate < newsps_framerate) rate = newsps_framerate;
    return rate;
}

extern "C" uint8_t clip_framerate(int target_rate, int clip_start_framerate) {
    return static_cast<uint8_t>((target_rate + clip_start_framerate) >> 1);
}

namespace {

void request_stop(int sig) {
    g_stop_signal = sig;
}

// A stop request finishes the clip with what was recorded (no SA_RESTART:
// a pause in progress ends at once); a reader of standard output that went
// away must not kill the recorder, whose clip does not depend on it.
void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = request_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Descriptors 0-2 closed at start would be handed out by the next open(),
// and the clip would receive the progress lines: they go to /dev/null.
void fill_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// The length as atoi reads it (leading blanks, a sign, the digits up to the
// first non-digit; no digits give 0), but false when it does not fit a
// 32-bit int instead of a silently wrapped value.
bool parse_seconds(const char *text, long long *out) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    long long v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        v = v * 10 + (*text - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    v = negative ? -v : v;
    if (v > INT_MAX || v < INT_MIN) return false;
    *out = v;
    return true;
}

bool stopped_before_start() {
    if (g_stop_signal == 0) return false;
    std::printf("alarm_record: stopped by signal %d before the clip began\n",
                static_cast<int>(g_stop_signal));
    return true;
}

// One run, with the frame buffer (0x60000 bytes, zero-filled) lent by the caller.
int record_clip(int argc, char **argv, uint8_t *buffer) {
    if (argc < 3) return -1;
    if (buffer == nullptr) {
        std::fprintf(stderr, "alarm_record: out of memory\n");
        return -1;
    }
    // Refused before anything is mapped or created.
    const size_t name_len = std::strlen(argv[1]);
    if (name_len == 0 || name_len > RECORD_NAME_MAX) {
        std::fprintf(stderr, "alarm_record: the file name must have 1 to %d characters\n",
                     RECORD_NAME_MAX);
        return -1;
    }
    long long length = 0;
    const bool fits = parse_seconds(argv[2], &length);
    if (fits && length < 0) {
        std::fprintf(stderr, "alarm_record: the length in seconds must not be negative\n");
        return -1;
    }
    if (!fits || length > RECORD_MAX_SECONDS) {
        std::fprintf(stderr, "alarm_record: the length in seconds must be at most %d\n",
                     RECORD_MAX_SECONDS);
        return -1;
    }
    const int seconds = static_cast<int>(length);

    char name[RECORD_NAME_MAX + 1] = {};
    while (g_ptr_mmap == nullptr) {
        g_ptr_mmap = get_sharemem(status_path());
        if (g_ptr_mmap != nullptr) break;
        std::puts("open share mem fail");
        if (stopped_before_start()) return 1;
        usleep(kStatusRetryPause);
    }
    std::memcpy(name, argv[1], name_len);

    const int32_t motion_time = status_field(STATUS_MOTION_TIME);
    const int32_t sys_tick = status_field(STATUS_SYS_TICK);
    const int32_t event_gap =
        static_cast<int32_t>(static_cast<uint32_t>(sys_tick) - static_cast<uint32_t>(motion_time));

    FrameInfo record = {};
    int video_cursor = 0;
    int audio_cursor = 0;
    if (get_next_video_frame(MEDIA_FRAME_SPS, buffer, &video_cursor, &record) != 0) {
        stopped_before_start();  // the wait ends only for a stop request
        return 1;
    }
    const int newsps_framerate = record.framerate;
    const uint32_t newsps_ts = record.ts;

    const int32_t target_framerate = status_field(STATUS_TARGET_FRAMERATE);
    // The oldest SPS at most 5 s older, on the millisecond clock that wraps
    // every 49.7 days.  Nothing found: buffer, record and cursor still hold
    // the newest SPS.
    MediaDataGetSinceTs(MEDIA_CH_RECORD_VIDEO, buffer, RECORD_FRAME_BUFFER_SIZE,
                        newsps_ts - RECORD_PREROLL_MS, MEDIA_FRAME_SPS, &video_cursor, &record);
    const int target = pick_target_framerate(target_framerate, newsps_framerate);

    std::printf(
        "event_gap(%d) sys_tick(%d) motion_time(%d) target_framerate(%d) newsps_framerate(%d) "
        "record.framerate(%d)\n",
        event_gap, status_field(STATUS_SYS_TICK), status_field(STATUS_MOTION_TIME), target,
        newsps_framerate, record.framerate);
    record.framerate = clip_framerate(target, record.framerate);

    const int r = alarm_record_file(buffer, &audio_cursor, &video_cursor, &record, name, seconds);
    return r == 0 || r == RECORD_CUT_SHORT ? r : 1;
}

}  // namespace

extern "C" int alarm_record_main(int argc, char **argv) {
    fill_standard_descriptors();
    install_signal_handlers();
    read_clip_timing();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line out as it happens
    uint8_t *buffer = static_cast<uint8_t *>(std::calloc(1, RECORD_FRAME_BUFFER_SIZE));
    const int status = record_clip(argc, argv, buffer);
    std::free(buffer);
    return status;
}

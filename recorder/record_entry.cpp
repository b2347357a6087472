// record_entry.cpp - the recorder's start: command line, status block, the
// clip's starting SPS and its declared frame rate.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media_ring/status_block.h"
#include "recorder/recorder.h"

extern "C" {
void *g_ptr_mmap = nullptr;
}

namespace {

constexpr useconds_t kStatusRetryPause = 1000000;  // 1 s

// The status block is written by another process while we read it: each
// field is one aligned 32-bit word, read once per use.
int32_t status_field(size_t offset) {
    int32_t v;
    __atomic_load(
        reinterpret_cast<const int32_t *>(static_cast<const unsigned char *>(g_ptr_mmap) + offset),
        &v, __ATOMIC_RELAXED);
    return v;
}

const char *status_path() {
    const char *p = std::getenv(STATUS_BLOCK_PATH_ENV);
    return p != nullptr && *p != '\0' ? p : STATUS_BLOCK_PATH;
}

}  // namespace

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

namespace {

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
    const int seconds = std::atoi(argv[2]);
    if (seconds < 0) {
        std::fprintf(stderr, "alarm_record: the length in seconds must not be negative\n");
        return -1;
    }

    char name[RECORD_NAME_MAX + 1] = {};
    while (g_ptr_mmap == nullptr) {
        g_ptr_mmap = get_sharemem(status_path());
        if (g_ptr_mmap != nullptr) break;
        std::puts("open share mem fail");
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
    get_next_video_frame(7, buffer, &video_cursor, &record);
    const int newsps_framerate = record.framerate;
    const uint32_t newsps_ts = record.ts;

    const int32_t target_framerate = status_field(STATUS_TARGET_FRAMERATE);
    // Nothing found: buffer, record and cursor still hold the newest SPS.
    MediaDataVideoGetByTs(1, buffer, RECORD_FRAME_BUFFER_SIZE, newsps_ts - RECORD_PREROLL_MS, 7,
                          &video_cursor, &record);
    const int target = pick_target_framerate(target_framerate, newsps_framerate);

    std::printf(
        "event_gap(%d) sys_tick(%d) motion_time(%d) target_framerate(%d) newsps_framerate(%d) "
        "record.framerate(%d)\n",
        event_gap, status_field(STATUS_SYS_TICK), status_field(STATUS_MOTION_TIME), target,
        newsps_framerate, record.framerate);
    record.framerate = static_cast<uint8_t>((target + record.framerate) >> 1);

    const int r = alarm_record_file(buffer, &audio_cursor, &video_cursor, &record, name, seconds);
    return r == 0 ? 0 : 1;
}

}  // namespace

extern "C" int alarm_record_main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line out as it happens
    uint8_t *buffer = static_cast<uint8_t *>(std::calloc(1, RECORD_FRAME_BUFFER_SIZE));
    const int status = record_clip(argc, argv, buffer);
    std::free(buffer);
    return status;
}

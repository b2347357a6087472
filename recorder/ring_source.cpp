// ring_source.cpp - the recorder's frames from the media ring: the waiting
// readers, and the clip source over channels 1 and 4 with their cursors.
//
// A reader that finds nothing sleeps in MediaDataWaitPut until the channel's
// next put, with the put count taken before the read, so a put between the
// read and the sleep ends the sleep at once.  MediaDataWaitPut sleeps on
// through a signal, so a wait is cut into slices of kStopSliceMs, after each
// of which a stop request (g_stop_signal) is looked for: a stop ends any wait
// within one slice.
#include "recorder/ring_source.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "recorder/recorder.h"
#include "recorder/stop_request.h"

namespace {

constexpr int kVideoChannel = MEDIA_CH_RECORD_VIDEO;
constexpr int kAudioChannel = MEDIA_CH_RECORD_AUDIO;
constexpr uint64_t kStopSliceMs = 400;
// A search for the newest frame of a type (the wait for the clip's first
// SPS) is repeated at most this often, however many other frames come: an
// SPS found a little later starts the clip 5 s before it all the same.
constexpr uint64_t kSearchPauseMs = 1000;
constexpr uint64_t kNoLimit = UINT64_MAX;
// get_next_video_frame's types: the newest frame of that type; others
// the next frame.  get_next_audio_frame's mode 9: the first at or after ts.
constexpr int kReadNewestSps = MEDIA_FRAME_SPS, kReadNewestPps = MEDIA_FRAME_PPS;
constexpr int kReadNewestI = MEDIA_FRAME_I;
constexpr int kReadAudioAtTs = 9;

uint64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

// The pause after a search that found nothing: kSearchPauseMs and up to
// half as much again, drawn afresh each time.  A fixed pause can fall in
// step with a stream whose newest SPS is out of reach in every other
// picture group (a large I frame that wraps the region each other time),
// and then every search lands in the wrong one.
// (Seeded at first use, not by a static initializer: a guarded one would
// bring in the C++ runtime, which the recorder does without.)
uint32_t g_pause_seed = 0;

uint64_t search_pause_ms() {
    if (g_pause_seed == 0)
        g_pause_seed = (static_cast<uint32_t>(getpid()) * 2654435761u ^
                        static_cast<uint32_t>(now_ms())) | 1u;
    g_pause_seed = g_pause_seed * 1664525u + 1013904223u;  // a linear congruential step
    return kSearchPauseMs + (g_pause_seed >> 16) % (kSearchPauseMs / 2);
}

// Sleeps `ms`, or less when a signal comes (the caller then looks for a stop).
void nap(uint64_t ms) {
    const timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    if (nanosleep(&t, nullptr) != 0) return;  // EINTR: cut short by a signal
}

// 0 while the ring cannot be mapped: the wait then finds no count to sleep on.
uint32_t put_count(int channel) {
    uint32_t count = 0;
    return MediaDataGetPutCount(channel, &count) == 0 ? count : 0;
}

// Sleeps until a put moves `channel`'s count away from `count` (true), or
// until `timeout_ms` has passed or a stop is requested (false).
bool wait_put(int channel, uint32_t count, uint64_t timeout_ms) {
    const uint64_t from = now_ms();
    for (;;) {
        if (g_stop_signal != 0) return false;
        const uint64_t waited = now_ms() - from;
        if (waited >= timeout_ms) return false;
        const uint64_t slice =
            timeout_ms - waited < kStopSliceMs ? timeout_ms - waited : kStopSliceMs;
        if (MediaDataWaitPut(channel, count, static_cast<int>(slice)) == 0) return true;
        if (errno != ETIMEDOUT) nap(slice);  // no ring mapped yet: nothing to sleep on
    }
}

// Runs a search with standard output sent to /dev/null, so that the ring's
// lines for a search that fails (its "fail", and a "drop!" for each frame
// of the type out of reach) are not repeated for as long as the wait
// lasts: the wait prints one line of its own instead.  Nothing else runs
// meanwhile (the clip's file side starts later), and the ring is mapped,
// with its lines, by the put count taken before.
template <class Search>
int quietly(Search search) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const bool muted = saved >= 0 && null >= 0 && dup2(null, STDOUT_FILENO) >= 0;
    if (null >= 0) close(null);
    const int r = search();
    if (muted) {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
    }
    if (saved >= 0) close(saved);
    return r;
}

}  // namespace

extern "C" int get_next_video_frame(int type, uint8_t *buffer, int *cursor, FrameInfo *record) {
    const char *searched = type == kReadNewestSps   ? "SPS"
                           : type == kReadNewestPps ? "PPS"
                           : type == kReadNewestI   ? "I frame"
                                                    : nullptr;
    for (;;) {
        const uint32_t count = put_count(kVideoChannel);
        int r;
        switch (type) {
            case kReadNewestSps:
                r = quietly([&] {
                    return MediaDataVideoGetNewSPSFrame(kVideoChannel, buffer,
                                                        RECORD_FRAME_BUFFER_SIZE, cursor, record);
                });
                break;
            case kReadNewestPps:
                r = quietly([&] {
                    return MediaDataVideoGetNewPPSFrame(kVideoChannel, buffer,
                                                        RECORD_FRAME_BUFFER_SIZE, cursor, record);
                });
                break;
            case kReadNewestI:
                r = quietly([&] {
                    return MediaDataVideoGetNewIFrame(kVideoChannel, buffer,
                                                      RECORD_FRAME_BUFFER_SIZE, cursor, record);
                });
                break;
            default:
                r = MediaDataGetNextFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE, cursor,
                                          record);
                break;
        }
        if (r == 0) return 0;
        if (g_stop_signal != 0) return -1;
        if (searched != nullptr) {
            // One line per search, and a search once a second at most; none
            // while nothing was ever put (no producer yet: as quiet as the
            // ring's own search of an empty channel).
            if (count != 0)
                std::printf("alarm_record: no %s within reach on channel %d yet; waiting\n",
                            searched, kVideoChannel);
            nap(search_pause_ms());
        }
        if (!wait_put(kVideoChannel, count, kNoLimit)) return -1;  // stopped
    }
}

extern "C" int get_next_audio_frame(int mode, uint8_t *buffer, int *cursor, FrameInfo *record,
                                    uint32_t ts) {
    for (;;) {
        const uint32_t count = put_count(kAudioChannel);
        const int r = mode == kReadAudioAtTs
                          ? MediaDataAudioGetByTs(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                  ts, cursor, record)
                          : MediaDataGetNextFrame(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE,
                                                  cursor, record);
        if (r == 0) return 0;
        if (g_stop_signal != 0 || !wait_put(kAudioChannel, count, kNoLimit)) return -1;
    }
}

namespace recorder {
namespace {

// Whether `ts` is `than` or after it on the wrapping millisecond clock.
bool at_or_after(uint32_t ts, uint32_t than) {
    return ts - than < 0x80000000u;
}

// Whether the I frame at `ts` lies ahead of what the walk has read: not
// before the last frame read (the SPS and PPS ahead of an I frame share its
// ts, and may be read before it is stored), and not the last I frame read.
bool unread_i_frame(const RingCursors &c, uint32_t ts) {
    return at_or_after(ts, c.video_ts) && !(c.i_read && ts == c.i_ts);
}

void note_video_read(RingCursors &c, const FrameInfo &info) {
    c.video_ts = info.ts;
    if (info.frameType == MEDIA_FRAME_I) c.i_ts = info.ts, c.i_read = true;
}

Read next_frame(void *self, int channel, uint8_t *buffer, FrameInfo *info) {
    RingCursors &c = *static_cast<RingCursors *>(self);
    if (channel == kAudioChannel)
        return MediaDataGetNextFrame(channel, buffer, RECORD_FRAME_BUFFER_SIZE, c.audio, info) == 0
                   ? Read::kFrame
                   : Read::kNone;
    // A large I frame that wraps the channel's region moves the writer more
    // than half the region past the SPS and PPS put just before it, so they
    // are out of every reader's reach as soon as it is stored: the walk
    // stops short of them, and its own way on (the newest SPS) is out of
    // reach too.  A walk that fails twice while an I frame it has not read
    // is in the channel goes on from that I frame (within reach: it is the newest
    // large frame); the parameter sets passed over are the ones the stream
    // repeats before each I frame, and the clip keeps those it has.  (A
    // descriptor raced during its copy fails once: the walk looks at it again.)
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (MediaDataGetNextFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE, c.video, info) ==
            0) {
            note_video_read(c, *info);
            return Read::kFrame;
        }
    }
    uint32_t newest_i = 0;
    if (MediaDataVideoGetNewestIFrameTs(kVideoChannel, &newest_i) != 0 ||
        !unread_i_frame(c, newest_i))
        return Read::kNone;
    int cursor = *c.video;
    if (MediaDataVideoGetNewIFrame(kVideoChannel, buffer, RECORD_FRAME_BUFFER_SIZE, &cursor,
                                   info) != 0 ||
        !unread_i_frame(c, info->ts))
        return Read::kNone;
    std::printf("alarm_record: frames before the I frame at ts %u went out of reach; the clip "
                "goes on from it\n",
                info->ts);
    *c.video = cursor;
    note_video_read(c, *info);
    return Read::kFrame;
}

Read audio_at(void *self, uint32_t ts, uint8_t *buffer, FrameInfo *info) {
    RingCursors &c = *static_cast<RingCursors *>(self);
    // At or after ts on the wrapping millisecond clock.
    return MediaDataGetSinceTs(kAudioChannel, buffer, RECORD_FRAME_BUFFER_SIZE, ts,
                               MEDIA_FRAME_ANY, c.audio, info) == 0
               ? Read::kFrame
               : Read::kNone;
}

uint32_t source_put_count(void *, int channel) {
    return put_count(channel);
}

void source_wait(void *, int channel, uint32_t count, uint64_t timeout_ms) {
    (void)wait_put(channel, count, timeout_ms);
}

uint64_t source_now_ms(void *) {
    return now_ms();
}

}  // namespace

ClipSource ring_source(RingCursors *cursors) {
    return ClipSource{cursors, next_frame, audio_at, source_put_count, source_wait, source_now_ms};
}

}  // namespace recorder

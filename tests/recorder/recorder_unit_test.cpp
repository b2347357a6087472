// The recorder's pure parts: the frame-rate choice, the time utility, the
// command-line refusals, and a clip assembly whose file cannot be written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recorder/clip_assembly.h"
#include "child_run.h"
#include "media_probe.h"
#include "recorder/file_source.h"
#include "recorder/picture.h"
#include "recorder/recorder.h"

namespace {

// Where a picture ends: each row puts one slice after an open picture of
// one IDR slice at ts 40 that begins it (or one that does not).
TEST(Picture, SlicesContinueItByFirstMacroblockOrSharedTsAndNeverAcrossIdr) {
    struct Case {
        bool open_with_first_slice;
        uint8_t type, first_byte;  // the slice's type and the byte after its header
        uint32_t ts;
        bool continues;
    };
    const Case cases[] = {
        {true, 5, 0x40, 80, true},    // first_mb_in_slice 1: continues, whatever its ts
        {true, 5, 0x80, 40, false},   // first_mb 0 at the same ts: the next picture
        {false, 5, 0x80, 40, true},   // ... unless the picture has no first slice yet
        {false, 5, 0x80, 80, false},  // nor at another ts
        {true, 1, 0x40, 40, false},   // a non-IDR slice never continues an IDR picture
    };
    recorder::Picture p;
    ASSERT_TRUE(p.allocate());
    for (const Case &c : cases) {
        const uint8_t open[] = {0x65, static_cast<uint8_t>(c.open_with_first_slice ? 0x88 : 0x48)};
        const uint8_t next[] = {static_cast<uint8_t>(0x60 | c.type), c.first_byte};
        p.begin({open, 2, 5}, 40, 0);
        ASSERT_TRUE(p.append({open, 2, 5}));
        EXPECT_EQ(p.continued_by({next, 2, c.type}, c.ts), c.continues)
            << "type " << int(c.type) << " byte " << int(c.first_byte) << " ts " << c.ts;
    }
    // Slices past its capacity are left out, never written beyond it.
    const std::vector<uint8_t> large(recorder::Picture::kCapacity - 6, 0x41);
    const uint8_t slice[] = {0x65, 0x88};
    p.begin({slice, 2, 5}, 40, 0);
    ASSERT_TRUE(p.append({large.data(), static_cast<uint32_t>(large.size()), 5}));
    EXPECT_FALSE(p.append({slice, 2, 5}));
    EXPECT_EQ(p.size(), recorder::Picture::kCapacity - 2);
    // A whole access unit is taken apart at its start codes; a frame of one
    // unit keeps its producer's type and its bytes to the end.
    const std::vector<uint8_t> unit = {0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 2, 0, 0, 0, 1, 0x65, 3, 0};
    const auto units = [](std::span<const uint8_t> frame, uint8_t type) {
        std::string seen;
        recorder::for_each_unit(frame, type, [&](const recorder::FrameUnit &u) {
            seen += std::to_string(u.type) + ":" + std::to_string(u.size) + " ";
        });
        return seen;
    };
    EXPECT_EQ(units(unit, 7), "7:2 8:2 5:2 ");
    EXPECT_EQ(units(std::span(unit).first(8), 1), "1:4 ");
}

TEST(FrameRateChoice, KeepsTheTargetWithinTwoToTwentyUnlessTheStreamIsFaster) {
    struct Case {
        int target, newsps, clip_start_fps;
        int expect_target, expect_record;
    };
    const Case cases[] = {
        {0, 0, 0, 2, 1},       // both 0: target 2, record (2 + 0) / 2 = 1
        {-7, 0, 0, 2, 1},      // below 2
        {25, 0, 15, 20, 17},   // above 20
        {10, 15, 15, 15, 15},  // a faster stream raises it
        {20, 25, 25, 25, 25},  // faster than 20 too
        {20, 12, 12, 20, 16}, {20, 15, 15, 20, 17}, {16, 15, 15, 16, 15},
        {20, 255, 255, 255, 255},  // the sum's half, not its low byte halved
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        const int target = pick_target_framerate(c.target, c.newsps);
        EXPECT_EQ(target, c.expect_target);
        EXPECT_EQ(clip_framerate(target, c.clip_start_fps), c.expect_record);
    }
}

TEST(RunTime, MillisecondsIn32BitArithmetic) {
    struct Case {
        long s0, us0, s1, us1;
        int ms;
    };
    const Case cases[] = {
        {10, 0, 11, 500000, 1500},
        {10, 999999, 11, 0, 1},  // each division on its own: 11000 + 0 - 999 - 10000
        {0, 0, 0, 1999, 1},
        {5, 0, 3, 0, -2000},
        {0, 0, 2147484, 0, static_cast<int>(2147484000u)},  // wraps modulo 2^32
    };
    for (const Case &c : cases) {
        timeval a{}, b{};
        a.tv_sec = c.s0;
        a.tv_usec = c.us0;
        b.tv_sec = c.s1;
        b.tv_usec = c.us1;
        EXPECT_EQ(get_run_time(a, b), c.ms) << c.s1;
    }
}

TEST(CommandLine, BadArgumentsAreRefusedBeforeAnythingIsMappedOrCreated) {
    // The status block path names nothing: had the recorder gone on, it
    // would wait for it for ever.
    setenv("MEDIA_STATUS_PATH", "/nonexistent/status", 1);
    setenv("MEDIA_RING_PATH", "/nonexistent/view", 1);
    const std::string n63(63, 'a'), n64(64, 'a');
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"alarm_record"}, ""},
        {{"alarm_record", "clip.mp4"}, ""},
        {{"alarm_record", n64, "6"}, "alarm_record: the file name must have 1 to 63 characters\n"},
        {{"alarm_record", "", "6"}, "alarm_record: the file name must have 1 to 63 characters\n"},
        {{"alarm_record", n63, "-1"}, "alarm_record: the length in seconds must not be negative\n"},
    };
    for (const Case &c : cases) {
        std::vector<char *> argv;
        for (const auto &a : c.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(alarm_record_main(static_cast<int>(c.args.size()), argv.data()), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_EQ(g_media_shm, nullptr);
    EXPECT_EQ(g_ptr_mmap, nullptr);
}

// The audio search starts one second before the PPS's ts; a PPS in the
// clock's first second starts it at 1, never at 0 or a wrapped time.
TEST(ClipAssembly, AudioSearchStartsOneSecondBeforeThePps) {
    struct Fake {
        uint32_t pps_ts;
        uint32_t asked = 0;
        bool pps_given = false;
    };
    const std::pair<uint32_t, uint32_t> cases[] = {
        // One second back on the wrapping clock: near 0 it reaches back across a wrap.
        {1000, 0}, {999, 0xFFFFFFFFu}, {0, 0u - 1000u}, {1001, 1}, {1500, 500}, {100000, 99000}};
    for (const auto &[pps_ts, expected] : cases) {
        Fake fake{pps_ts};
        const recorder::ClipSource source{
            &fake,
            [](void *self, int, uint8_t *buffer, FrameInfo *info) {
                Fake &f = *static_cast<Fake *>(self);
                if (f.pps_given) return recorder::Read::kEnd;
                f.pps_given = true;
                static const uint8_t kPps[] = {0, 0, 0, 1, 0x68, 0xcb, 0x8c, 0xb2};
                std::memcpy(buffer, kPps, sizeof kPps);
                *info = FrameInfo{};
                info->framesize = sizeof kPps;
                info->frameType = 8;
                info->ts = f.pps_ts;
                return recorder::Read::kFrame;
            },
            [](void *self, uint32_t ts, uint8_t *, FrameInfo *) {
                static_cast<Fake *>(self)->asked = ts;
                return recorder::Read::kEnd;
            },
            [](void *, int) -> uint32_t { return 0; }, [](void *, int, uint32_t, uint64_t) {},
            [](void *) -> uint64_t { return 0; }};
        std::vector<uint8_t> buffer(RECORD_FRAME_BUFFER_SIZE);
        static const uint8_t kSps[] = {0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x16, 0xd9};
        std::memcpy(buffer.data(), kSps, sizeof kSps);
        FrameInfo start{};
        start.framesize = sizeof kSps;
        start.frameType = 7;
        start.framerate = 15;
        const std::string path = "/tmp/audio_from_" + std::to_string(getpid()) + ".mp4";
        ::testing::internal::CaptureStdout();
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        recorder::ClipOptions options;
        options.fd = fd;
        recorder::assemble_clip(source, buffer.data(), start, options);
        close(fd);
        ::testing::internal::GetCapturedStdout();
        unlink(path.c_str());
        EXPECT_EQ(fake.asked, expected) << "PPS ts " << pps_ts;
    }
}

// Every picture counted is written, with timestamp timing too, where each
// picture waits for the next frame's ts: a stream that ends keeps its last.
TEST(ClipAssembly, AStreamThatEndsKeepsItsLastPicture) {
    const std::string path = "/tmp/stream_end_" + std::to_string(getpid()) + ".mp4";
    for (const bool timestamps : {false, true}) {
        recorder::FileSource files(TEST_DATA_DIR "/video_15fps.h264",
                                   TEST_DATA_DIR "/audio_8k_mono.aac", 15);
        ::testing::internal::CaptureStdout();
        const recorder::ClipResult r = files.write_clip(path.c_str(), 60, nullptr, timestamps);
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(r.end, recorder::ClipEnd::kComplete) << timestamps;
        EXPECT_EQ(media_probe::streams(path).at(0).at("nb_frames"),
                  std::to_string(r.counts.video_samples))
            << timestamps;
    }
    unlink(path.c_str());
}

// A clip whose media cannot be written (files may not grow past 40000
// bytes: the head with its movie box slots and the first second of audio
// fit, the first second of video does not) is reported in one line with
// the system's reason, not passed for whole.
TEST(ClipAssembly, AWriteErrorIsReportedInOneLine) {
    const std::string path = "/tmp/write_error_" + std::to_string(getpid()) + ".mp4";
    const int status = child_exit_status(
        [&] {
            recorder::FileSource files(TEST_DATA_DIR "/video_15fps.h264",
                                       TEST_DATA_DIR "/audio_8k_mono.aac", 15);
            ::testing::internal::CaptureStdout();
            const recorder::ClipResult r = files.write_clip(path.c_str(), 6);
            const std::string out = ::testing::internal::GetCapturedStdout();
            const std::string line = "alarm_record: cannot write " + path + ": File too large\n";
            return r.end != recorder::ClipEnd::kFailed ? 11 : out.find(line) == std::string::npos ? 12 : 0;
        },
        40000);
    EXPECT_EQ(status, 0);
    unlink(path.c_str());
}

}  // namespace

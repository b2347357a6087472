// The recorder's pure parts: the frame-rate choice, the time utility, the
// command-line refusals and the completeness check of a closed clip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "recorder/clip_file.h"
#include "recorder/recorder.h"

namespace {

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
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        const int target = pick_target_framerate(c.target, c.newsps);
        EXPECT_EQ(target, c.expect_target);
        EXPECT_EQ(static_cast<uint8_t>((target + c.clip_start_fps) >> 1), c.expect_record);
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

std::string box(const char *type, size_t payload) {
    std::string b(8 + payload, '\0');
    const uint32_t size = static_cast<uint32_t>(b.size());
    b[0] = static_cast<char>(size >> 24);
    b[1] = static_cast<char>(size >> 16);
    b[2] = static_cast<char>(size >> 8);
    b[3] = static_cast<char>(size);
    b.replace(4, 4, type, 4);
    return b;
}

TEST(ClipCheck, OnlyAWholeFileWithMdatAndMoovIsComplete) {
    const std::string path = "/tmp/clip_check_" + std::to_string(getpid()) + ".mp4";
    const std::string whole = box("ftyp", 16) + box("mdat", 100) + box("moov", 40);
    struct Case {
        std::string bytes;
        bool complete;
    };
    const Case cases[] = {
        {whole, true},
        {whole.substr(0, whole.size() - 1), false},   // cut short
        {whole + "x", false},                         // trailing bytes
        {box("ftyp", 16) + box("mdat", 100), false},  // no moov: never closed
        {"", false},
        {std::string("\0\0\0\4moov", 8), false},  // a size below the header
    };
    for (const Case &c : cases) {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), f);
        std::fclose(f);
        EXPECT_EQ(recorder::clip_is_complete(path.c_str()), c.complete) << c.bytes.size();
    }
    unlink(path.c_str());
    EXPECT_FALSE(recorder::clip_is_complete(path.c_str()));  // missing
}

TEST(ClipCheck, AnIncompleteClipIsRemovedAndNotRenamed) {
    const std::string tmp = "/tmp/clip_place_" + std::to_string(getpid()) + ".mp4.tmp";
    const std::string final_name = tmp.substr(0, tmp.size() - 4);
    FILE *f = std::fopen(tmp.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not an mp4", f);
    std::fclose(f);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(recorder::put_clip_in_place(tmp.c_str(), final_name.c_str()));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "alarm_record: clip " + tmp + " is not a complete MP4 file after closing\n");
    struct stat st;
    EXPECT_NE(stat(tmp.c_str(), &st), 0);
    EXPECT_NE(stat(final_name.c_str(), &st), 0);
}

}  // namespace

// feed_run_test.cpp - runs ring_feed on a private ring and status block and
// checks, through the ring file, what it put.  All runs but one pre-fill their
// whole input, so no result depends on how fast the machine is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ring_layout.h"
#include "media_split.h"
#include "media_ring/status_block.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kData = FEED_DATA;
const std::string kVideo = kData + "/video_15fps.h264", kResChange = kData + "/reschange.h264";
const std::string kAudio = kData + "/audio_8k_mono.aac";

struct Stored {
    FrameInfo info;
    std::vector<uint8_t> data;
};

class FeedRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/feed_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const char *name) const { return dir_ + "/" + name; }

    // Starts ring_feed on this test's ring and status block (later options win).
    pid_t start(Args args) {
        args.insert(args.begin(), {FEED_BIN, "--ring", path("view"), "--status", path("status")});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        for (int fd : {1, 2})
            posix_spawn_file_actions_addopen(&fa, fd, path(fd == 1 ? "out" : "err").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, FEED_BIN, &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        return pid;
    }
    static int finish(pid_t pid) {
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    int run(Args args) { return finish(start(std::move(args))); }
    std::string text(const char *name) const {
        std::ifstream in(path(name));
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // The live frames of a channel, oldest first, as a reader of the file sees them.
    std::vector<Stored> channel(int ch) const {
        std::vector<Stored> out;
        const int fd = open(path("view").c_str(), O_RDONLY);
        void *p = mmap(nullptr, media_ring::kRingFileSize, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED) return out;
        auto *shm = static_cast<unsigned char *>(p);
        const media_ring::ChannelCtrl &c = *media_ring::channel_ctrl(shm, ch);
        for (uint32_t i = c.lastBDIndex; i != c.curBDIndex; i = media_ring::next_index(i)) {
            const unsigned char *d = media_ring::channel_data(shm, ch) + c.bd[i].shm_offset;
            out.push_back({c.bd[i].info, {d, d + c.bd[i].info.framesize}});
        }
        munmap(p, media_ring::kRingFileSize);
        return out;
    }

    std::string dir_;
};

// Two passes of the stream whose second half is smaller: each unit as it is,
// in order, with its picture's ts, and the size of the SPS last put.
TEST_F(FeedRun, PutsEachNalUnitAndAdtsFrameAtItsMediaTime) {
    ASSERT_EQ(run({"--prefill=16", "--loops=2", "--ts-start=10000", "--sec-start=100", kResChange,
                   kAudio}),
              0)
        << text("err");
    const auto nal = media_split::split_annexb(media_split::read_file(kResChange));
    const auto video = channel(1);
    ASSERT_EQ(video.size(), 2 * nal.size());
    const uint8_t head[] = {7, 8, 6, 5, 1, 1};
    for (size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(video[i].info.frameType, head[i]) << i;

    std::vector<size_t> waiting;  // units ahead of a slice share its ts
    uint32_t pictures = 0, small_sps = 0;
    bool small = false;  // the latest SPS is the second half's
    for (size_t i = 0; i < video.size(); ++i) {
        const Stored &f = video[i];
        SCOPED_TRACE(i);
        ASSERT_GE(f.data.size(), 5u);
        EXPECT_EQ(f.data[0] | f.data[1] | f.data[2] | (f.data[3] ^ 1), 0);  // 00 00 00 01
        EXPECT_EQ(f.data, nal[i % nal.size()]);
        EXPECT_EQ(f.info.frameType, f.data[4] & 0x1f);
        EXPECT_EQ(f.info.framerate, 15);
        if (f.info.frameType == 7) {
            small = f.data != video[0].data;
            small_sps += small;
        }
        EXPECT_EQ(f.info.width, small ? 320 : 640);
        EXPECT_EQ(f.info.height, small ? 180 : 360);
        EXPECT_EQ(f.info.sec, 100 + (f.info.ts - 10000) / 1000);
        waiting.push_back(i);
        if (f.info.frameType == 1 || f.info.frameType == 5) {
            for (size_t w : waiting) EXPECT_EQ(video[w].info.ts, 10000 + pictures * 1000 / 15) << w;
            waiting.clear();
            ++pictures;
        }
    }
    EXPECT_TRUE(waiting.empty());
    EXPECT_EQ(pictures, 240u);
    EXPECT_EQ(small_sps, 8u);  // four a pass

    const auto adts = media_split::split_adts(media_split::read_file(kAudio));
    const auto audio = channel(4);
    ASSERT_EQ(audio.size(), 125u);  // 16 s of 128 ms frames: the 12 s file and a part again
    for (size_t j = 0; j < audio.size(); ++j) {
        EXPECT_EQ(audio[j].data, adts[j % adts.size()]) << j;
        EXPECT_EQ(audio[j].info.ts, 10000 + 128 * j) << j;
        EXPECT_EQ(audio[j].info.sec, 100 + 128 * j / 1000) << j;
    }
}

TEST_F(FeedRun, SecondCountFromItsStartOrRestarted) {
    struct {
        Args args;
        uint32_t (*sec_of_ts)(uint32_t);
    } const cases[] = {
        {{"--sec-start", "7"}, [](uint32_t ts) { return 7 + ts / 1000; }},
        {{"--sec-reset-at", "2.5"},
         [](uint32_t ts) { return ts < 2500 ? ts / 1000 : (ts - 2500) / 1000; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        fs::remove(path("view"));  // ts starts at 0 again: a fresh ring
        Args args = c.args;
        args.insert(args.end(), {"--ts-start=0", "--prefill=6", "--duration=6", kVideo, kAudio});
        ASSERT_EQ(run(args), 0) << text("err");
        for (int ch : {1, 4})
            for (const Stored &f : channel(ch))
                EXPECT_EQ(f.info.sec, c.sec_of_ts(f.info.ts)) << "ch " << ch << " ts " << f.info.ts;
    }
}

TEST_F(FeedRun, KeepsTheStatusBlock) {
    struct {
        long initial_size;  // -1: no file
        Args args;
        int32_t target, motion;  // motion by default: the tick at which pacing begins
    } const cases[] = {
        {-1, {"--target-fps", "20", "--motion-time", "-7"}, 20, -7},
        {100, {"--fps", "12"}, 12, 7000},
        {STATUS_BLOCK_SIZE, {"--target-fps", "0"}, 0, 7000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.initial_size);
        fs::remove(path("view"));
        fs::remove(path("status"));
        if (c.initial_size >= 0)
            std::ofstream(path("status"), std::ios::binary) << std::string(c.initial_size, '\xab');
        Args args = c.args;
        args.insert(args.end(), {"--ts-start=5000", "--prefill=2", "--duration=2", kVideo, kAudio});
        ASSERT_EQ(run(args), 0) << text("err");

        const auto block = media_split::read_file(path("status"));
        ASSERT_EQ(block.size(), size_t{STATUS_BLOCK_SIZE});
        auto field = [&](int off) {
            int32_t v;
            std::memcpy(&v, block.data() + off, 4);
            return v;
        };
        EXPECT_EQ(field(STATUS_TARGET_FRAMERATE), c.target);
        EXPECT_EQ(field(STATUS_MOTION_TIME), c.motion);
        const uint32_t last = std::max(channel(1).back().info.ts, channel(4).back().info.ts);
        EXPECT_EQ(field(STATUS_SYS_TICK), static_cast<int32_t>(last));
        if (c.initial_size > 0) {
            EXPECT_EQ(block[0] & block[c.initial_size - 1], 0xab);  // not ours: kept
        }
        for (const auto &e : fs::directory_iterator(dir_))
            EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
    }
}

TEST_F(FeedRun, AFeedAfterAnotherCarriesOnItsTimestamps) {
    const Args args = {"--prefill", "4", "--duration", "4", kVideo, kAudio};
    ASSERT_EQ(run(args), 0) << text("err");
    const uint32_t first_end = channel(1).back().info.ts;
    ASSERT_EQ(run(args), 0) << text("err");
    for (int ch : {1, 4}) {
        const auto frames = channel(ch);
        for (size_t i = 1; i < frames.size(); ++i)
            ASSERT_LE(frames[i - 1].info.ts, frames[i].info.ts) << "ch " << ch << " frame " << i;
    }
    EXPECT_GT(channel(1).back().info.ts, first_end + 4000);
}

// The one paced run: the pre-fill is in the ring, and the status block in
// place, by the time ring_feed says so; a signal then ends the feed cleanly.
TEST_F(FeedRun, PrefillIsThereAtOnceAndASignalEndsTheFeed) {
    const pid_t pid = start({"--prefill", "6", "--ts-start", "20000", kVideo, kAudio});
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (text("out").find("pre-filled") == std::string::npos &&
           std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto video = channel(1);
    EXPECT_TRUE(fs::exists(path("status")));
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid), 0) << text("err");
    EXPECT_NE(text("out").find("stopped after"), std::string::npos) << text("out");

    ASSERT_GE(video.size(), 103u);  // 6 s: 90 pictures, their parameter sets, the SEI
    std::vector<uint32_t> sps;
    for (const Stored &f : video)
        if (f.info.frameType == 7) sps.push_back(f.info.ts);
    EXPECT_EQ(sps.front(), 20000u);
    EXPECT_GE(sps.back() - sps.front(), 5000u);  // a clip finds its SPS 5 s back at once
}

// The help and the parser agree: every option the help names is one the
// parser knows (it asks for a value or for the files, never calls it
// unknown), and an option it does not name is refused.
TEST_F(FeedRun, EveryOptionTheHelpNamesIsOneItAccepts) {
    ASSERT_EQ(run({"--help"}), 0);
    const std::string out = text("out");
    std::set<std::string> named;
    for (size_t at = 0; (at = out.find("  --", at)) != std::string::npos; at += 4) {
        const size_t end = out.find_first_of(" =\n", at + 2);
        named.insert(out.substr(at + 2, end - at - 2));
    }
    named.erase("--help");
    EXPECT_GE(named.size(), 15u);
    for (const std::string &option : named) {
        SCOPED_TRACE(option);
        EXPECT_EQ(run({option}), 2);
        EXPECT_EQ(text("err").find("unknown option"), std::string::npos) << text("err");
    }
    EXPECT_EQ(run({"--frames-per-second=12"}), 2);
    EXPECT_NE(text("err").find("unknown option --frames-per-second"), std::string::npos);
}

TEST_F(FeedRun, FailuresSayWhatWentWrongInOneLine) {
    const std::string junk = path("junk");
    std::ofstream(junk) << "neither H.264 nor ADTS\n";
    struct {
        Args args;
        int status;
        const char *says;
    } const cases[] = {
        {{kData + "/missing.h264", kAudio}, 1, "cannot read"},
        {{kVideo, kData + "/missing.aac"}, 1, "cannot read"},
        {{junk, kAudio}, 1, "no H.264"},
        {{kVideo, junk}, 1, "no ADTS"},
        {{"--ring", dir_ + "/no/view", kVideo, kAudio}, 1, "ring file"},
        {{"--status", dir_ + "/no/status", kVideo, kAudio}, 1, "status block"},
        {{"--frobnicate", kVideo, kAudio}, 2, "unknown option"},
        {{"--speed", "0", kVideo, kAudio}, 2, "--speed"},
        {{kVideo}, 2, "needs a video file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.says);
        EXPECT_EQ(run(c.args), c.status);
        const std::string err = text("err");  // the ring adds its own lines when it cannot map
        const size_t ours = err.find("ring_feed: ");
        ASSERT_NE(ours, std::string::npos) << err;
        EXPECT_EQ(err.find('\n', ours), err.size() - 1) << err;  // one line, the last
        EXPECT_NE(err.find(c.says, ours), std::string::npos) << err;
        EXPECT_EQ(text("out").find("ring_feed:"), std::string::npos);  // nothing was fed
    }
}

}  // namespace

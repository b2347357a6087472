// The recorder end to end in one process: a producer thread puts the sample
// media into the ring on a fixed timeline (pictures at 15 fps, an I frame with
// its SPS and PPS on every whole second, AAC frames every 128 ms), pre-fills
// ten seconds, holds until the recorder has chosen its clip start (its
// temporary file appears), then goes on at an accelerated pace.  The clip is
// checked with ffprobe and ffmpeg against the frames the timeline predicts.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "media_probe.h"
#include "media_ring/media_ring.h"
#include "ring_internal.h"
#include "media_split.h"
#include "recorder/recorder.h"
#include "media_ring/status_block.h"

namespace {

using media_split::Frame;

constexpr uint32_t kBaseTs = 100000;  // ms; second 100
constexpr int kFps = 15;
constexpr int kPrefillPictures = 150;  // ten seconds
constexpr int kClipStartPicture = 60;  // the oldest SPS within 5 s of the newest (picture 135)
constexpr uint32_t kClipStartSec = 104;

struct Media {
    std::vector<Frame> video;     // one NAL unit each, 4-byte start code
    std::vector<int> picture_of;  // the picture each NAL unit belongs to (its own, or the next)
    int pictures = 0;
    std::vector<Frame> audio;  // whole ADTS frames
};

const Media &media() {
    static const Media m = [] {
        Media m;
        m.video =
            media_split::split_annexb(media_split::read_file(TEST_DATA_DIR "/video_15fps.h264"));
        m.audio =
            media_split::split_adts(media_split::read_file(TEST_DATA_DIR "/audio_8k_mono.aac"));
        for (const Frame &f : m.video) {
            m.picture_of.push_back(m.pictures);
            const uint8_t t = media_split::nal_type(f);
            if (t == 1 || t == 5) ++m.pictures;
        }
        return m;
    }();
    return m;
}

uint32_t picture_ts(int p) {
    return kBaseTs + static_cast<uint32_t>(p) * 1000 / kFps;
}
uint32_t audio_ts(int j) {
    return kBaseTs + static_cast<uint32_t>(j) * 128;
}

// The picture frames of the timeline from global picture `from`, `count` of them.
std::vector<const Frame *> pictures_from(int from, int count) {
    const Media &m = media();
    std::vector<const Frame *> out;
    for (int p = from; static_cast<int>(out.size()) < count; ++p) {
        const int local = p % m.pictures;
        for (size_t v = 0; v < m.video.size(); ++v) {
            const uint8_t t = media_split::nal_type(m.video[v]);
            if (m.picture_of[v] == local && (t == 1 || t == 5)) out.push_back(&m.video[v]);
        }
    }
    return out;
}

struct FeedPlan {
    // Between frames once the recorder runs: four times a real producer's
    // pace (~25 frames a second).  The recorder's reading never waits on its
    // storage, so a flush that takes long does not let this outrun it.
    int pace_us = 10000;
    int sec_restart_picture = -1;  // from this picture on, sec counts again from 0
    uint8_t framerate = kFps;
};

// The producer: channel 1 video, channel 4 audio, one thread, in ts order.
class Feeder {
  public:
    Feeder(FeedPlan plan, std::string wait_for) : plan_(plan), wait_for_(std::move(wait_for)) {
        thread_ = std::thread([this] { run(); });
    }
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }
    // Until the pre-fill is in the ring: a recorder started before would
    // pick its clip start from part of it.
    void wait_prefilled() const {
        for (int i = 0; i < 10000 && !prefilled_; ++i) usleep(1000);
    }

  private:
    void put_video(size_t n) {
        const Media &m = media();
        const size_t v = n % m.video.size();
        const int p = static_cast<int>(n / m.video.size()) * m.pictures + m.picture_of[v];
        FrameInfo info{};
        info.ts = picture_ts(p);
        info.sec = info.ts / 1000;
        if (plan_.sec_restart_picture >= 0 && p >= plan_.sec_restart_picture)
            info.sec = (picture_ts(p) - picture_ts(plan_.sec_restart_picture)) / 1000;
        info.frameType = media_split::nal_type(m.video[v]);
        info.framerate = plan_.framerate;
        info.width = 640;
        info.height = 360;
        ASSERT_EQ(
            MediaDataPut(1, m.video[v].data(), static_cast<uint32_t>(m.video[v].size()), &info), 0);
    }
    void put_audio(size_t j) {
        const Frame &f = media().audio[j % media().audio.size()];
        FrameInfo info{};
        info.ts = audio_ts(static_cast<int>(j));
        info.sec = info.ts / 1000;
        ASSERT_EQ(MediaDataPut(4, f.data(), static_cast<uint32_t>(f.size()), &info), 0);
    }
    uint32_t next_video_ts(size_t n) const {
        const Media &m = media();
        return picture_ts(static_cast<int>(n / m.video.size()) * m.pictures +
                          m.picture_of[n % m.video.size()]);
    }
    void run() {
        size_t n = 0, j = 0;
        const uint32_t prefill_end = picture_ts(kPrefillPictures);
        const uint32_t feed_end = picture_ts(kPrefillPictures + 40 * kFps);
        bool held = false;
        while (!stop_) {
            const uint32_t tv = next_video_ts(n), ta = audio_ts(static_cast<int>(j));
            const uint32_t t = std::min(tv, ta);
            if (t >= feed_end) break;
            if (t >= prefill_end) {
                if (!held) {
                    prefilled_ = true;
                    // Hold until the recorder has picked its clip start.
                    struct stat st;
                    for (int i = 0; i < 20000 && !stop_ && stat(wait_for_.c_str(), &st) != 0; ++i)
                        usleep(1000);
                    held = true;
                }
                usleep(plan_.pace_us);
            }
            if (tv <= ta)
                put_video(n++);
            else
                put_audio(j++);
        }
    }

    FeedPlan plan_;
    std::string wait_for_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> prefilled_{false};
    std::thread thread_;
};

class ClipRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/clip_record.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("MEDIA_RING_PATH", (dir_ + "/view").c_str(), 1);
        setenv("MEDIA_STATUS_PATH", (dir_ + "/mmap.info").c_str(), 1);
        if (g_media_shm != nullptr) munmap(g_media_shm, media_ring::kRingFileSize);
        g_media_shm = nullptr;
        if (g_ptr_mmap != nullptr) munmap(g_ptr_mmap, STATUS_BLOCK_SIZE);
        g_ptr_mmap = nullptr;
        ASSERT_EQ(MediaDataInit(1), 0);
    }
    void TearDown() override { media_probe::run("rm -rf " + media_probe::quoted(dir_)); }

    void write_status(int32_t target_framerate, int32_t sys_tick, int32_t motion_time) {
        std::vector<char> block(STATUS_BLOCK_SIZE, 0);
        std::memcpy(&block[STATUS_SYS_TICK], &sys_tick, 4);
        std::memcpy(&block[STATUS_MOTION_TIME], &motion_time, 4);
        std::memcpy(&block[STATUS_TARGET_FRAMERATE], &target_framerate, 4);
        std::ofstream(dir_ + "/mmap.info", std::ios::binary).write(block.data(), block.size());
    }

    // Runs the recorder for `seconds` while the feeder plays `plan`; returns its output.
    std::string record(const std::string &name, int seconds, FeedPlan plan = {},
                       int *status = nullptr) {
        const std::string secs = std::to_string(seconds);
        char *argv[] = {const_cast<char *>("alarm_record"), const_cast<char *>(name.c_str()),
                        const_cast<char *>(secs.c_str()), nullptr};
        Feeder feeder(plan, name + ".tmp");
        feeder.wait_prefilled();
        ::testing::internal::CaptureStdout();
        const int r = alarm_record_main(3, argv);
        if (status) *status = r;
        return ::testing::internal::GetCapturedStdout();
    }

    std::string dir_;
};

std::string expected_lines(int seconds, int video_samples, int target, int fps) {
    std::string out = "event_gap(200) sys_tick(5000) motion_time(4800) target_framerate(" +
                      std::to_string(target) + ") newsps_framerate(" + std::to_string(fps) +
                      ") record.framerate(" + std::to_string(fps) + ")\n";
    for (int s = 0; s * kFps < video_samples; ++s)
        out += "6s record over sec(" + std::to_string(seconds) + ") video_cnt(" +
               std::to_string(s * kFps) + ") second gap(" + std::to_string(s) + ")\n";
    return out + "6s record over sec(" + std::to_string(seconds) + ") video_cnt(" +
           std::to_string(video_samples) + ")\n";
}

void expect_clip(const std::string &file, int seconds, int video_samples, int sample_duration) {
    SCOPED_TRACE(file);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0) << "no clip under the final name";
    EXPECT_NE(stat((file + ".tmp").c_str(), &st), 0) << "temporary file left";
    EXPECT_EQ(media_probe::decode_errors(file), "");

    const auto s = media_probe::streams(file);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].at("codec_name"), "h264");
    EXPECT_EQ(s[0].at("width"), "640");
    EXPECT_EQ(s[0].at("height"), "360");
    EXPECT_EQ(s[0].at("time_base"), "1/90000");
    EXPECT_EQ(s[0].at("nb_frames"), std::to_string(video_samples));
    EXPECT_EQ(s[0].at("duration_ts"), std::to_string(video_samples * sample_duration));
    EXPECT_EQ(s[1].at("codec_name"), "aac");
    EXPECT_EQ(s[1].at("sample_rate"), "8000");
    EXPECT_EQ(s[1].at("channels"), "1");
    EXPECT_EQ(s[1].at("nb_frames"), std::to_string(8 * seconds + 1));

    // The samples are the timeline's frames: pictures from the clip-start I
    // frame on, audio from the frame after the first one at or after the
    // PPS's ts minus one second.
    const auto pictures = pictures_from(kClipStartPicture, video_samples);
    const uint32_t audio_from = picture_ts(kClipStartPicture) - 1000;
    int j = 0;
    while (audio_ts(j) < audio_from) ++j;
    ++j;  // the configuring frame is not written
    int v = 0, a = 0;
    for (const auto &p : media_probe::packets(file)) {
        if (p.stream == 0) {
            ASSERT_LT(v, video_samples);
            const Frame &f = *pictures[v];
            EXPECT_EQ(p.size, static_cast<int>(f.size())) << "video sample " << v;
            EXPECT_EQ(p.key, media_split::nal_type(f) == 5) << "video sample " << v;
            ++v;
        } else {
            const auto &audio = media().audio;
            EXPECT_EQ(p.size, static_cast<int>(audio[(j + a) % audio.size()].size()) - 7)
                << "audio sample " << a;
            ++a;
        }
    }
    EXPECT_EQ(v, video_samples);
    EXPECT_EQ(a, 8 * seconds + 1);
}

TEST_F(ClipRecordTest, ClipOfNSecondsWithItsPreRoll) {
    write_status(15, 5000, 4800);
    for (int seconds : {0, 1, 6}) {
        SCOPED_TRACE(seconds);
        const std::string name = dir_ + "/clip" + std::to_string(seconds) + ".mp4";
        int status = -1;
        const std::string out = record(name, seconds, {}, &status);
        EXPECT_EQ(status, 0);
        const int video_samples = kFps * (seconds + 1);  // every picture of seconds S..S+N
        EXPECT_EQ(out, expected_lines(seconds, video_samples, 15, 15));
        expect_clip(name, seconds, video_samples, 6000);
        // The next clip starts from a fresh ring.
        TearDown();
        SetUp();
        write_status(15, 5000, 4800);
    }
}

TEST_F(ClipRecordTest, DeclaredFrameRateIsTheMeanOfTargetAndStream) {
    write_status(17, 5000, 4800);  // (17 + 15) / 2 = 16 frames per second: 5625 ticks
    const std::string name = dir_ + "/fps16.mp4";
    const std::string out = record(name, 2);
    EXPECT_EQ(out, expected_lines(2, 45, 17, 15));
    expect_clip(name, 2, 45, 5625);
    EXPECT_EQ(media_probe::streams(name)[0].at("r_frame_rate"), "16/1");
}

TEST_F(ClipRecordTest, ProducerWhoseSecondCountRestartsEndsTheVideo) {
    write_status(15, 5000, 4800);
    FeedPlan plan;
    plan.sec_restart_picture = kClipStartPicture + 3 * kFps;  // three seconds into the clip
    const std::string name = dir_ + "/restart.mp4";
    const std::string out = record(name, 6, plan);
    EXPECT_EQ(out, expected_lines(6, 45, 15, 15));
    expect_clip(name, 6, 45, 6000);
}

// Under a shell, "mv NAME.tmp NAME" with this name would run `touch pwned`
// twice; here it is only a name.
TEST_F(ClipRecordTest, NamesWithBlanksAndShellCharactersAreJustNames) {
    write_status(15, 5000, 4800);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const std::string name = "a b;touch pwned;$(touch pwned2).mp4";
    int status = -1;
    record(name, 0, {}, &status);
    EXPECT_EQ(status, 0);
    expect_clip(name, 0, 15, 6000);
    struct stat st;
    EXPECT_NE(stat("pwned", &st), 0);
    EXPECT_NE(stat("pwned2", &st), 0);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(ClipRecordTest, A63CharacterNameKeepsItsTemporaryNameApart) {
    write_status(15, 5000, 4800);
    std::string name = dir_ + "/";
    name += std::string(63 - name.size() - 4, 'n') + ".mp4";
    ASSERT_EQ(name.size(), 63u);
    int status = -1;
    record(name, 0, {}, &status);
    EXPECT_EQ(status, 0);
    expect_clip(name, 0, 15, 6000);
}

TEST_F(ClipRecordTest, UnwritableFolderFailsWithOneLineAndNoFile) {
    write_status(15, 5000, 4800);
    const std::string name = dir_ + "/absent/clip.mp4";
    int status = 0;
    const std::string out = record(name, 0, {}, &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("alarm_record: cannot create " + name + ".tmp: No such file or directory\n"), std::string::npos) << out;
    struct stat st;
    EXPECT_NE(stat(name.c_str(), &st), 0);
}

}  // namespace

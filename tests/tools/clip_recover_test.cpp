// clip_recover run on the leftovers a device may hold at boot: crashed and
// finished clips, a clip a recorder still writes (its flock held here),
// and names it must not touch: a symlink, a FIFO, other names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "clip_builder.h"
#include "media_probe.h"
#include "media_split.h"

namespace {

using clip_builder::Bytes;
using clip_builder::Kind;

class ClipRecover : public testing::Test {
  public:
    void SetUp() override {
        dir_ = testing::TempDir() + "clip_recover_" + std::to_string(getpid());
        ASSERT_EQ(system(("rm -rf " + dir_ + " && mkdir -p " + dir_).c_str()), 0);
    }
    void TearDown() override { (void)!system(("rm -rf " + dir_).c_str()); }

    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    // Builds a clip at `name` and returns its bytes.
    Bytes clip(const std::string &name, const clip_builder::Plan &plan) const {
        return clip_builder::build(at(name), plan).bytes;
    }
    media_probe::CommandResult run(const std::string &args) const {
        return media_probe::run("timeout 20 " + std::string(CLIP_RECOVER_EXE) + " " + args);
    }
    static bool exists(const std::string &path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    std::string dir_;
};

const clip_builder::Plan kCrashed{Kind::kClip, 3, 1, false};
const clip_builder::Plan kFinished{Kind::kClip, 2, 0, true};
const clip_builder::Plan kNoCheckpoint{Kind::kClip, 0, 2, false};

// One file each: what is left under which name, the exit status, the line.
TEST_F(ClipRecover, EachKindOfLeftover) {
    struct Case {
        const char *what;
        std::function<Bytes(ClipRecover &)> make;  // makes a.tmp (or what the case names)
        const char *arg;
        int status;
        bool renamed;
        const char *says;
    };
    const Case cases[] = {
        {"crashed clip", [](ClipRecover &t) { return t.clip("a.tmp", kCrashed); }, "a.tmp", 0, true,
         "45 video and 24 audio samples kept, whole"},
        {"finished clip", [](ClipRecover &t) { return t.clip("a.tmp", kFinished); }, "a.tmp", 0, true,
         "30 video and 16 audio samples kept, whole, 0 bytes cut"},
        {"newest movie box unusable",
         [](ClipRecover &t) {
             Bytes b = t.clip("a.tmp", kCrashed);
             clip_builder::zero_active_slot(b);
             clip_builder::write_file(t.at("a.tmp"), b);
             return b;
         },
         "a.tmp", 3, true, "30 video and 16 audio samples kept, cut back"},
        {"no checkpoint", [](ClipRecover &t) { return t.clip("a.tmp", kNoCheckpoint); }, "a.tmp", 1,
         false, "no movie box with all its samples present"},
        {"not a .tmp name", [](ClipRecover &t) { return t.clip("a.mp4", kCrashed); }, "a.mp4", 1,
         false, "not named NAME.tmp"},
        {"final name taken",
         [](ClipRecover &t) {
             clip_builder::write_file(t.at("a"), Bytes(10, 1));
             return t.clip("a.tmp", kCrashed);
         },
         "a.tmp", 1, false, "already exists"},
        {"symlink",
         [](ClipRecover &t) {
             const Bytes b = t.clip("target", kCrashed);
             EXPECT_EQ(symlink(t.at("target").c_str(), t.at("a.tmp").c_str()), 0);
             return b;
         },
         "a.tmp", 1, false, "a symbolic link"},
        {"FIFO",
         [](ClipRecover &t) {
             EXPECT_EQ(mkfifo(t.at("a.tmp").c_str(), 0600), 0);
             return Bytes{};
         },
         "a.tmp", 1, false, "not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const Bytes before = c.make(*this);
        const std::string arg = at(c.arg);
        const auto r = run(arg);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
        if (c.renamed) {
            EXPECT_FALSE(exists(arg));
            EXPECT_EQ(media_probe::decode_errors(at("a")), "");
        } else if (std::string(c.what) == "symlink") {
            EXPECT_EQ(media_split::read_file(at("target")), before);
        } else if (!before.empty()) {
            EXPECT_EQ(media_split::read_file(arg), before) << "left alone means untouched";
        }
    }
}

// The recorder holds an exclusive flock on NAME.tmp while it records.
TEST_F(ClipRecover, AClipARecorderHoldsIsLeftAlone) {
    const Bytes before = clip("a.tmp", kCrashed);
    const int fd = open(at("a.tmp").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto r = run(at("a.tmp"));
    close(fd);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("locked by a running recorder"), std::string::npos) << r.output;
    EXPECT_EQ(media_split::read_file(at("a.tmp")), before);
    EXPECT_FALSE(exists(at("a")));
}

// The exit status is the worst of all files', and each file is handled.
TEST_F(ClipRecover, SeveralFilesAtOnce) {
    const auto cut_clip = [&](const std::string &name) {
        Bytes b = clip(name, kCrashed);
        clip_builder::zero_active_slot(b);
        clip_builder::write_file(at(name), b);
    };
    cut_clip("cut.tmp");
    clip("whole.tmp", kCrashed);
    const auto whole_and_cut = run(at("whole.tmp") + " " + at("cut.tmp"));
    EXPECT_EQ(whole_and_cut.status, 3) << whole_and_cut.output;
    EXPECT_TRUE(exists(at("whole")) && exists(at("cut")));

    // A file not recovered outweighs one cut, in whichever order.
    cut_clip("cut2.tmp");
    clip("good.tmp", kCrashed);
    const Bytes nothing = clip("nothing.tmp", kNoCheckpoint);
    const auto r = run(at("nothing.tmp") + " " + at("cut2.tmp") + " " + at("missing.tmp") + " " + at("good.tmp"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 4) << r.output;
    EXPECT_EQ(media_split::read_file(at("nothing.tmp")), nothing);
    EXPECT_TRUE(exists(at("good")) && exists(at("cut2")) && !exists(at("good.tmp")));
}

TEST_F(ClipRecover, Usage) {
    const std::string exe = CLIP_RECOVER_EXE;
    const auto stdout_only = media_probe::run("{ " + exe + " 2>/dev/null; }");
    EXPECT_EQ(stdout_only.status, 2);
    EXPECT_EQ(stdout_only.output, "");
    EXPECT_NE(media_probe::run("{ " + exe + " >/dev/null; }").output.find("usage:"), std::string::npos);
    const auto help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: clip_recover FILE.tmp"), std::string::npos);
}

}  // namespace

// A clip cut short at every write: the writer's output recorded write by
// write, then the file rebuilt as a kill (every write so far kept) or a power
// cut (writes since the last flush lost, kept or torn at 512-byte sectors)
// would leave it.  From the first checkpoint on, every such file must hold
// exactly one movie box, at least the samples that were durable at the last
// completed flush, and only sample bytes that are present and as written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <mp4/mp4_writer.h>

#include "box_reader.h"
#include "clip_builder.h"
#include "media_probe.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kSeconds = 6;        // the recorder's N: 15 (N + 1) pictures, 8N + 1 AAC frames
constexpr int kFps = 15;
constexpr uint64_t kSector = 512;  // what a power cut keeps or loses as a whole
constexpr int kCutsPerOp = 8;      // seeded power cuts after each write
constexpr int kProbed = 20;        // images checked with ffprobe/ffmpeg and recovered

// Every write and flush the writer makes, in order, and the bytes they leave.
struct Recording {
    struct Op {
        bool sync;
        uint64_t offset;
        Bytes data;
    };
    std::vector<Op> ops;

    static bool write_at(void *self, uint64_t offset, const uint8_t *p, uint32_t n) {
        static_cast<Recording *>(self)->ops.push_back({false, offset, Bytes(p, p + n)});
        return true;
    }
    static bool sync(void *self) {
        static_cast<Recording *>(self)->ops.push_back({true, 0, {}});
        return true;
    }
};

void put(Bytes &image, uint64_t offset, const uint8_t *p, size_t n) {
    if (image.size() < offset + n) image.resize(offset + n);  // a hole reads as zeros
    std::memcpy(image.data() + offset, p, n);
}

struct Clip {
    Recording rec;
    std::vector<Bytes> samples[2];  // video, audio, as handed to the writer
    struct Checkpoint {
        size_t ops, submitted[2];  // ops recorded and samples written when it returned
    };
    std::vector<Checkpoint> checkpoints;
};

// The recorder's call sequence on the sample media (clip_builder's
// kRecorderClip), written through `rec`; the fifth checkpoint is where a
// recorder's 5-second pre-roll ends and it goes live.
Clip write_clip() {
    Clip c;
    const MP4Output out{&c.rec, Recording::write_at, Recording::sync};
    clip_builder::Built b = clip_builder::build(
        "", {clip_builder::Kind::kRecorderClip, kSeconds + 1, 0, true}, &out, [&c](const clip_builder::Built &so_far) {
            c.checkpoints.push_back({c.rec.ops.size(), {so_far.samples[0].size(), so_far.samples[1].size()}});
        });
    EXPECT_TRUE(b.ok) << "every call the writer was given succeeded";
    for (int k = 0; k < 2; ++k) c.samples[k] = std::move(b.samples[k]);
    return c;
}

// What an image's movie box describes, per track.
struct Described {
    int moovs = 0;
    size_t samples[2] = {0, 0};
};

// What an image's movie box describes, judging nothing; `parsed`, if
// given, gets the parse.
Described describe(Bytes image, bool open_mdat = true, box_reader::File *parsed = nullptr) {
    Described d;
    box_reader::File f = box_reader::parse(std::move(image), open_mdat);
    for (const auto &b : f.top) d.moovs += b.type == "moov";
    for (const auto &t : f.tracks)
        if (t.handler == "vide" || t.handler == "soun") d.samples[t.handler == "soun"] = t.samples.size();
    if (parsed) *parsed = std::move(f);
    return d;
}

// Checks one image against what was written; `least` is what it must hold
// at least (moovs 0: it may still lack a movie box).
Described check_image(const Clip &c, Bytes image, const Described &least, bool open_mdat,
                      const std::string &what) {
    SCOPED_TRACE(what);
    box_reader::File f;
    const Described d = describe(std::move(image), open_mdat, &f);
    // Until a movie box is there, the head itself may still be incomplete.
    if (least.moovs > 0 || d.moovs > 0) {
        EXPECT_TRUE(f.ok) << "top-level boxes " << f.top_order();
    }
    EXPECT_LE(d.moovs, 1);
    EXPECT_GE(d.moovs, least.moovs);
    if (d.moovs != 1 || !f.ok) return {d.moovs, {0, 0}};
    EXPECT_EQ(f.tracks.size(), 2u);
    for (const auto &t : f.tracks) {
        const int k = t.handler == "vide" ? 0 : t.handler == "soun" ? 1 : -1;
        EXPECT_GE(k, 0) << t.handler;
        if (k < 0) continue;
        EXPECT_EQ(t.samples.size(), t.sizes.size()) << "chunks hold every sample of the tables";
        EXPECT_LE(t.samples.size(), c.samples[k].size());
        EXPECT_GE(t.samples.size(), least.samples[k]) << t.handler << " samples lost";
        for (size_t i = 0; i < t.samples.size() && i < c.samples[k].size(); ++i) {
            if (f.slice(t.samples[i].offset, t.samples[i].size) != c.samples[k][i]) {
                ADD_FAILURE() << t.handler << " sample " << i + 1 << " at " << t.samples[i].offset
                              << " is not what was written";
                break;
            }
        }
    }
    return d;
}

std::string temp_path(const std::string &name) { return clip_builder::temp_path("clip_crash", name); }
using clip_builder::write_file;

// One file as a cut leaves it, and what it must hold at least.
struct Image {
    std::string name;
    Bytes bytes;
    Described least;
    bool judged;  // false before the first flush: even the head may be lost
};

class ClipCrash : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        clip_ = new Clip(write_clip());
        const auto &ops = clip_->rec.ops;
        const size_t first = clip_->checkpoints.front().ops - 1;  // its last write: H
        // Kills: every write up to op i applied.  The file only moves
        // forward, and from the first checkpoint on it holds a movie box.
        Bytes image;
        Described before;
        for (size_t i = 0; i < ops.size(); ++i) {
            if (!ops[i].sync) put(image, ops[i].offset, ops[i].data.data(), ops[i].data.size());
            kill_.push_back(image);
            before.moovs = i >= first ? 1 : 0;
            images_.push_back({"kill_" + std::to_string(i), image, before, true});
            before = describe(image);
        }
        // Power cuts after op i: what was on storage at the last flush j
        // (the kill image at j), then each write since lost, kept or torn
        // (each 512-byte sector of it kept or lost); a lost write past the
        // durable end reads as zeros once a later sector is kept.  The file
        // must keep at least what it described at j.
        int j = -1;
        for (size_t i = 0; i < ops.size(); ++i) {
            if (ops[i].sync) {
                j = int(i);
                continue;
            }
            const Described least = j < 0 ? Described{} : describe(kill_[j]);
            for (int s = 0; s < kCutsPerOp; ++s) {
                std::mt19937 rng(uint32_t(i * 1000 + s));
                Bytes cut = j < 0 ? Bytes{} : kill_[j];
                for (size_t w = size_t(j + 1); w <= i; ++w) {
                    const auto &op = ops[w];
                    const uint64_t op_end = op.offset + op.data.size();
                    const int mode = int(rng() % 3);  // 0 lost, 1 kept, 2 torn
                    for (uint64_t at = op.offset, end; at < op_end; at = end) {
                        end = std::min<uint64_t>((at / kSector + 1) * kSector, op_end);
                        if (mode == 1 || (mode == 2 && rng() % 2))
                            put(cut, at, op.data.data() + (at - op.offset), end - at);
                    }
                }
                images_.push_back({"cut_" + std::to_string(i) + "_" + std::to_string(s),
                                   std::move(cut), least, j >= 0});
            }
        }
    }
    static void TearDownTestSuite() {
        delete clip_;
        clip_ = nullptr;
        kill_.clear();
        images_.clear();
    }

    // Images spread evenly over the run, with a movie box or without.
    static std::vector<const Image *> spread(bool with_moov, size_t n) {
        std::vector<const Image *> all, out;
        for (const Image &im : images_)
            if (im.judged && (describe(im.bytes).moovs == 1) == with_moov) all.push_back(&im);
        for (size_t p = 0; p < n && !all.empty(); ++p) out.push_back(all[p * all.size() / n]);
        return out;
    }

    static Clip *clip_;
    static std::vector<Bytes> kill_;
    static std::vector<Image> images_;
};

Clip *ClipCrash::clip_ = nullptr;
std::vector<Bytes> ClipCrash::kill_;
std::vector<Image> ClipCrash::images_;

// Each checkpoint describes the samples of the written chunks: all but at
// most a second's worth per track, and the close all of them.
TEST_F(ClipCrash, CheckpointsDescribeTheWrittenChunks) {
    const Clip &c = *clip_;
    ASSERT_EQ(c.checkpoints.size(), size_t(kSeconds + 1));
    const size_t per_second[2] = {kFps, 8};
    for (const auto &cp : c.checkpoints) {
        const Described d = check_image(c, kill_[cp.ops - 1], {1, {}}, true,
                                        "checkpoint at op " + std::to_string(cp.ops - 1));
        for (int k = 0; k < 2; ++k) {
            EXPECT_LE(d.samples[k], cp.submitted[k]);
            EXPECT_GT(d.samples[k] + per_second[k], cp.submitted[k]);
        }
    }
    const Described end = check_image(c, kill_.back(), {1, {}}, false, "closed");
    EXPECT_EQ(end.samples[0], c.samples[0].size());
    EXPECT_EQ(end.samples[1], c.samples[1].size());
    EXPECT_TRUE(c.rec.ops.back().sync) << "the close ends with a flush";
}

TEST_F(ClipCrash, EveryCutKeepsTheDurableSamples) {
    size_t judged = 0;
    for (const Image &im : images_) {
        if (!im.judged) continue;
        ++judged;
        const Described d = check_image(*clip_, im.bytes, im.least, true, im.name);
        if (im.name.starts_with("kill_") && im.least.moovs == 0) {
            EXPECT_EQ(d.moovs, 0) << im.name << ": a movie box before the first checkpoint";
        }
    }
    const auto &ops = clip_->rec.ops;
    std::printf("%zu ops (%zu flushes), %zu images checked\n", ops.size(),
                size_t(std::count_if(ops.begin(), ops.end(), [](auto &op) { return op.sync; })),
                judged);
}

TEST_F(ClipCrash, PlayersDecodeCutsSpreadOverTheClip) {
    for (const Image *im : spread(true, kProbed)) {
        const std::string path = temp_path(im->name);
        ASSERT_TRUE(write_file(path, im->bytes));
        EXPECT_EQ(media_probe::streams(path).size(), 2u) << im->name;
        EXPECT_EQ(media_probe::decode_errors(path), "") << im->name;
        unlink(path.c_str());
    }
}

// A cut file with a movie box recovers to a finished clip with at least its
// samples; one from before the first checkpoint is left as it is.
TEST_F(ClipCrash, RecoveryKeepsWhatTheCutDescribed) {
    std::vector<const Image *> chosen = spread(true, kProbed), empty = spread(false, 5);
    chosen.insert(chosen.end(), empty.begin(), empty.end());
    for (const Image *im : chosen) {
        SCOPED_TRACE(im->name);
        const Described described = describe(im->bytes);
        const std::string path = temp_path("recovered_" + im->name);
        ASSERT_TRUE(write_file(path, im->bytes));
        const clip_builder::Recovered r = clip_builder::recover(path);
        ASSERT_TRUE(r.opened);
        if (described.moovs == 0) {
            EXPECT_EQ(r.result, MP4_RECOVERED_NOTHING);
            EXPECT_TRUE(r.after == im->bytes) << "left as it was";
        } else {
            EXPECT_NE(r.result, MP4_RECOVERED_NOTHING);
            const Described d = check_image(*clip_, r.after, described, false, "recovered");
            EXPECT_EQ(d.moovs, 1);
            EXPECT_GE(r.report.video_samples, described.samples[0]);
            EXPECT_GE(r.report.audio_samples, described.samples[1]);
            EXPECT_EQ(media_probe::decode_errors(path), "");
        }
        unlink(path.c_str());
    }
}

}  // namespace

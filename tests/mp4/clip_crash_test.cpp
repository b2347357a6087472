// A clip cut short at every write: the writer's output recorded write by
// write, then the file rebuilt as a kill (every write so far kept) or a power
// cut (writes since the last flush lost, kept or torn at 512-byte sectors)
// would leave it.  From the first checkpoint on, every such file must hold
// exactly one movie box, at least the samples that were durable at the last
// completed flush, and only sample bytes that are present and as written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <elementary_streams/h264_params.h>
#include <mp4/clip_recovery.h>
#include <mp4/mp4_writer.h>

#include "box_reader.h"
#include "media_probe.h"
#include "media_split.h"
#include "recorder/aac_config.h"

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

// The recorder's call sequence on the sample media: tracks from the stream's
// own SPS, PPS and first ADTS header, one AAC frame ahead of each NAL unit,
// a checkpoint after every second of pictures (the fifth is where a
// recorder's 5-second pre-roll ends and it goes live).
Clip write_clip() {
    Clip c;
    const std::string data = MP4_TEST_DATA_DIR;
    const auto nals = media_split::split_annexb(media_split::read_file(data + "/video_15fps.h264"));
    const auto adts = media_split::split_adts(media_split::read_file(data + "/audio_8k_mono.aac"));
    size_t v = 0;
    while (v + 1 < nals.size() && media_split::nal_type(nals[v]) != 7) ++v;
    elementary_streams::SpsInfo sps{};
    EXPECT_TRUE(elementary_streams::parse_sps(nals[v].data() + 4, nals[v].size() - 4, &sps));
    EXPECT_EQ(media_split::nal_type(nals[v + 1]), 8);

    const MP4Output out{&c.rec, Recording::write_at, Recording::sync};
    const uint32_t n = kSeconds;
    const MP4ClipReserve reserve{(n + 2) * 30, 8 * n + 2, 2 * (n + 2) + 8, 4, 4};
    MP4FileHandle f = MP4CreateClip(&out, &reserve);
    EXPECT_NE(f, MP4_INVALID_FILE_HANDLE);
    const MP4TrackId video = MP4AddH264VideoTrack(f, 90000, 90000 / kFps, sps.width, sps.height,
                                                  nals[v][5], nals[v][6], nals[v][7], 3);
    MP4AddH264SequenceParameterSet(f, video, nals[v].data() + 4, uint16_t(nals[v].size() - 4));
    MP4AddH264PictureParameterSet(f, video, nals[v + 1].data() + 4, uint16_t(nals[v + 1].size() - 4));
    const MP4TrackId audio = MP4AddAudioTrack(f, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
    uint8_t config[2];
    calc_aac_config(adts[0].data(), config);  // that frame only configures the track
    EXPECT_TRUE(MP4SetTrackESConfiguration(f, audio, config, sizeof config));
    MP4SetTrackName(f, video, "6");

    size_t a = 1;
    for (v += 2; v < nals.size() && c.samples[0].size() < size_t(kFps * (kSeconds + 1)); ++v) {
        if (c.samples[1].size() < size_t(8 * kSeconds + 1)) {
            c.samples[1].emplace_back(adts[a].begin() + 7, adts[a].end());
            EXPECT_TRUE(MP4WriteSample(f, audio, c.samples[1].back().data(),
                                       uint32_t(c.samples[1].back().size()), MP4_INVALID_DURATION,
                                       0, true));
            ++a;
        }
        Bytes s = nals[v];
        const uint8_t type = media_split::nal_type(s);
        if (type == 7 || type == 8) {
            auto add = type == 7 ? MP4AddH264SequenceParameterSet : MP4AddH264PictureParameterSet;
            add(f, video, s.data() + 4, uint16_t(s.size() - 4));
        }
        if (type != 1 && type != 5) continue;  // the recorder writes pictures only (no SEI)
        const uint32_t len = uint32_t(s.size() - 4);  // NAL length in place of the start code
        s[0] = uint8_t(len >> 24), s[1] = uint8_t(len >> 16), s[2] = uint8_t(len >> 8), s[3] = uint8_t(len);
        c.samples[0].push_back(s);
        EXPECT_TRUE(MP4WriteSample(f, video, s.data(), uint32_t(s.size()), MP4_INVALID_DURATION, 0,
                                   type == 5));
        if (c.samples[0].size() % kFps == 0) {
            EXPECT_TRUE(MP4Checkpoint(f));
            c.checkpoints.push_back({c.rec.ops.size(), {c.samples[0].size(), c.samples[1].size()}});
        }
    }
    EXPECT_TRUE(MP4CloseChecked(f));
    return c;
}

// What an image's movie box describes, per track.
struct Described {
    int moovs = 0;
    size_t samples[2] = {0, 0};
};

// Checks one image against what was written; `least` is what it must hold
// at least (moovs 0: it may still lack a movie box).
Described check_image(const Clip &c, Bytes image, const Described &least, bool open_mdat,
                      const std::string &what) {
    SCOPED_TRACE(what);
    Described d;
    const box_reader::File f = box_reader::parse(std::move(image), open_mdat);
    for (const auto &b : f.top) d.moovs += b.type == "moov";
    // Until a movie box is there, the head itself may still be incomplete.
    if (least.moovs > 0 || d.moovs > 0) {
        EXPECT_TRUE(f.ok) << "top-level boxes " << f.top_order();
    }
    EXPECT_LE(d.moovs, 1);
    EXPECT_GE(d.moovs, least.moovs);
    if (d.moovs != 1 || !f.ok) return d;
    EXPECT_EQ(f.tracks.size(), 2u);
    for (const auto &t : f.tracks) {
        const int k = t.handler == "vide" ? 0 : t.handler == "soun" ? 1 : -1;
        EXPECT_GE(k, 0) << t.handler;
        if (k < 0) continue;
        d.samples[k] = t.samples.size();
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

// What an image's movie box describes, judging nothing.
Described describe(const Bytes &image) {
    Described d;
    const box_reader::File f = box_reader::parse(image, true);
    for (const auto &b : f.top) d.moovs += b.type == "moov";
    for (const auto &t : f.tracks)
        if (t.handler == "vide" || t.handler == "soun") d.samples[t.handler == "soun"] = t.samples.size();
    return d;
}

std::string temp_path(const std::string &name) {
    return testing::TempDir() + "clip_crash_" + std::to_string(getpid()) + "_" + name + ".mp4";
}

bool write_file(const std::string &path, const Bytes &b) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

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
        const int fd = open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        MP4RecoveryReport report{};
        const MP4Recovered r = MP4RecoverClip(fd, &report);
        close(fd);
        const Bytes after = box_reader::read(path).bytes;
        if (described.moovs == 0) {
            EXPECT_EQ(r, MP4_RECOVERED_NOTHING);
            EXPECT_TRUE(after == im->bytes) << "left as it was";
        } else {
            EXPECT_NE(r, MP4_RECOVERED_NOTHING);
            const Described d = check_image(*clip_, after, described, false, "recovered");
            EXPECT_EQ(d.moovs, 1);
            EXPECT_GE(report.video_samples, described.samples[0]);
            EXPECT_GE(report.audio_samples, described.samples[1]);
            EXPECT_EQ(media_probe::decode_errors(path), "");
        }
        unlink(path.c_str());
    }
}

}  // namespace

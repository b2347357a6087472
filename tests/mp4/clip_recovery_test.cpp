// MP4RecoverClip on clips stopped where a crash stops them, with the
// damage a power cut or bad storage leaves planted in them: what is kept,
// where the file ends, that ffmpeg decodes it, and that a file with
// nothing to keep is left byte for byte as it was.
#include <gtest/gtest.h>
#include <mp4/box_walk.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

#include "clip_builder.h"
#include "media_probe.h"

namespace {

using clip_builder::Bytes;
using clip_builder::Kind;
using clip_builder::Plan;

enum class Fault {
    kNone,
    kTruncateActiveMedia,  // the file ends inside the samples only the newest movie box describes
    kZeroActiveSlot,       // H points at zeros
    kZeroActiveSlotAndFiller,  // and the previous slot's filler header is lost too
    kGarbageActiveSlot,
    kGarbageOtherSlot,  // an inactive slot: nothing a reader sees
    kZeroAllSlots,
    // One word of the newest movie box's video tables changed: stsz counts
    // a sample too many, stts times one too many, stsc starts at chunk 2 or
    // puts a sample less in each chunk.
    kBumpActiveStsz,
    kBumpActiveStts,
    kBumpActiveStsc,
    kShrinkActiveStsc,
    kCorruptH,        // H skips no whole number of slots
    kGarbageAfterEnd,
    kFreeAfterEnd,  // as some writers leave after a final movie box
};

struct Case {
    const char *name;
    Plan plan;
    Fault fault;
    MP4Recovered want;
    int kept_steps;  // steps of media the kept movie box describes
};

const Case kCases[] = {
    {"finished clip", {Kind::kClip, 3, 0, true}, Fault::kNone, MP4_RECOVERED_WHOLE, 3},
    {"finished outgrown clip", {Kind::kOutgrownClip, 4, 0, true}, Fault::kNone, MP4_RECOVERED_WHOLE, 4},
    {"finished moov at end", {Kind::kMoovAtEnd, 0, 3, true}, Fault::kNone, MP4_RECOVERED_WHOLE, 3},
    {"moov at end, garbage after", {Kind::kMoovAtEnd, 0, 3, true}, Fault::kGarbageAfterEnd,
     MP4_RECOVERED_WHOLE, 3},
    {"moov at end, free box after", {Kind::kMoovAtEnd, 0, 3, true}, Fault::kFreeAfterEnd,
     MP4_RECOVERED_WHOLE, 3},
    {"moov at end, unfinished", {Kind::kMoovAtEnd, 0, 3, false}, Fault::kNone, MP4_RECOVERED_NOTHING, 0},
    {"killed at the last checkpoint", {Kind::kClip, 3, 0, false}, Fault::kNone, MP4_RECOVERED_WHOLE, 3},
    {"killed with media appended", {Kind::kClip, 4, 2, false}, Fault::kNone, MP4_RECOVERED_WHOLE, 4},
    {"killed before the first checkpoint", {Kind::kClip, 0, 2, false}, Fault::kNone,
     MP4_RECOVERED_NOTHING, 0},
    {"newest samples missing", {Kind::kClip, 3, 1, false}, Fault::kTruncateActiveMedia,
     MP4_RECOVERED_CUT, 2},
    {"H on a zeroed slot", {Kind::kClip, 4, 1, false}, Fault::kZeroActiveSlot, MP4_RECOVERED_CUT, 3},
    {"H on zeros, older filler lost", {Kind::kClip, 3, 0, false}, Fault::kZeroActiveSlotAndFiller,
     MP4_RECOVERED_CUT, 2},
    {"H on garbage", {Kind::kClip, 2, 0, false}, Fault::kGarbageActiveSlot, MP4_RECOVERED_CUT, 1},
    {"garbage in an inactive slot", {Kind::kClip, 5, 1, false}, Fault::kGarbageOtherSlot,
     MP4_RECOVERED_WHOLE, 5},
    {"stsz disagrees", {Kind::kClip, 3, 0, false}, Fault::kBumpActiveStsz, MP4_RECOVERED_CUT, 2},
    {"stts disagrees", {Kind::kClip, 3, 0, false}, Fault::kBumpActiveStts, MP4_RECOVERED_CUT, 2},
    {"stsc out of order", {Kind::kClip, 3, 0, false}, Fault::kBumpActiveStsc, MP4_RECOVERED_CUT, 2},
    {"stsc disagrees", {Kind::kClip, 3, 0, false}, Fault::kShrinkActiveStsc, MP4_RECOVERED_CUT, 2},
    {"H corrupt", {Kind::kClip, 3, 1, false}, Fault::kCorruptH, MP4_RECOVERED_CUT, 3},
    {"all slots zeroed", {Kind::kClip, 3, 1, false}, Fault::kZeroAllSlots, MP4_RECOVERED_NOTHING, 0},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string temp_path(const std::string &name) { return clip_builder::temp_path("recover", name); }

Bytes noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t &x : b) x = uint8_t(rng());
    return b;
}

void plant(Bytes &file, const clip_builder::Built &built, Fault fault) {
    const clip_builder::Geometry g = clip_builder::geometry(file);
    const auto fill = [&](int slot, const Bytes &with) {
        std::copy(with.begin(), with.end(), file.begin() + long(g.slot_at(slot)));
    };
    const int n = int(built.size_at.size()) - 1;  // checkpoints
    switch (fault) {
    case Fault::kNone: break;
    case Fault::kTruncateActiveMedia:
        file.resize((built.size_at[n - 1] + built.size_at[n]) / 2);
        break;
    case Fault::kZeroActiveSlot: clip_builder::zero_active_slot(file); break;
    case Fault::kZeroActiveSlotAndFiller: {
        clip_builder::zero_active_slot(file);
        const uint64_t older = g.slot_at((g.active + 2) % 3);
        const uint64_t moov = uint64_t(file[older]) << 24 | file[older + 1] << 16 | file[older + 2] << 8 | file[older + 3];
        std::fill_n(file.begin() + long(older + moov), 8, 0);
        break;
    }
    case Fault::kGarbageActiveSlot: fill(g.active, noise(g.slot, 1)); break;
    case Fault::kGarbageOtherSlot: fill((g.active + 1) % 3, noise(g.slot, 2)); break;
    case Fault::kZeroAllSlots:
        for (int k = 0; k < 3; ++k) fill(k, Bytes(g.slot, 0));
        break;
    case Fault::kBumpActiveStsz:
    case Fault::kBumpActiveStts:
    case Fault::kBumpActiveStsc:
    case Fault::kShrinkActiveStsc: {
        // A low byte counted from the box type: 15 ends stsz's sample_count
        // (after version, flags, sample_size), stts's first run's count and
        // stsc's first first_chunk (after entry_count); 19 ends stsc's first
        // samples_per_chunk.
        struct Edit {
            Fault fault;
            const char *table;
            int byte, delta;
        };
        static const Edit kEdits[] = {{Fault::kBumpActiveStsz, "stsz", 15, 1},
                                      {Fault::kBumpActiveStts, "stts", 15, 1},
                                      {Fault::kBumpActiveStsc, "stsc", 15, 1},
                                      {Fault::kShrinkActiveStsc, "stsc", 19, -1}};
        const Edit &e = *std::find_if(std::begin(kEdits), std::end(kEdits),
                                      [&](const Edit &x) { return x.fault == fault; });
        const auto at = std::search(file.begin() + long(g.slot_at(g.active)), file.end(), e.table, e.table + 4);
        at[e.byte] = uint8_t(at[e.byte] + e.delta);
        break;
    }
    case Fault::kCorruptH: file[g.h + 3] ^= 0x04; break;  // 4-byte aligned, no whole number of slots
    case Fault::kGarbageAfterEnd: {
        const Bytes junk = noise(777, 3);
        file.insert(file.end(), junk.begin(), junk.end());
        break;
    }
    case Fault::kFreeAfterEnd: {
        Bytes box(136, 0);
        box[3] = 136, box[4] = 'f', box[5] = 'r', box[6] = 'e', box[7] = 'e';
        file.insert(file.end(), box.begin(), box.end());
        break;
    }
    }
}

class Recovery : public testing::TestWithParam<Case> {};

TEST_P(Recovery, KeepsTheBestWholeMovieBox) {
    const Case &c = GetParam();
    const std::string path = temp_path(c.name);
    const clip_builder::Built built = clip_builder::build(path, c.plan);
    ASSERT_TRUE(built.ok);
    Bytes before = built.bytes;
    plant(before, built, c.fault);
    clip_builder::write_file(path, before);

    const clip_builder::Recovered rec = clip_builder::recover(path);
    ASSERT_TRUE(rec.opened);
    const MP4RecoveryReport &r = rec.report;
    const Bytes &after = rec.after;
    EXPECT_EQ(rec.result, c.want);
    if (c.want == MP4_RECOVERED_NOTHING) {
        EXPECT_TRUE(after == before) << "a file with nothing to keep was changed";
        EXPECT_EQ(r.video_samples + r.audio_samples + r.bytes_cut, 0u);
        unlink(path.c_str());
        return;
    }
    const uint32_t video = clip_builder::kVideoPerStep * c.kept_steps;
    const uint32_t audio = clip_builder::kAudioPerStep * c.kept_steps;
    EXPECT_EQ(r.video_samples, video);
    EXPECT_EQ(r.audio_samples, audio);
    // The file ends with the kept movie box's last sample (a finished file
    // as it was, less what followed its boxes), and the media before is
    // untouched.
    const Bytes &finished = c.fault == Fault::kGarbageAfterEnd ? built.bytes : before;
    const uint64_t end = c.plan.finish ? finished.size() : built.size_at[size_t(c.kept_steps)];
    EXPECT_EQ(after.size(), end);
    EXPECT_EQ(r.bytes_cut, before.size() - end);
    if (c.plan.finish) {
        EXPECT_TRUE(after == finished) << "a whole finished file was changed";
    } else if (after.size() == end) {
        // The mdat is sized to the end, and the media in it untouched.
        const uint64_t mdat = clip_builder::geometry(before).mdat;
        EXPECT_EQ(uint64_t(after[mdat]) << 24 | after[mdat + 1] << 16 | after[mdat + 2] << 8 | after[mdat + 3],
                  end - mdat);
        EXPECT_TRUE(std::equal(after.begin() + long(mdat) + 8, after.end(), before.begin() + long(mdat) + 8));
    }
    EXPECT_TRUE(mp4_file_is_whole(path.c_str()));

    const auto streams = media_probe::streams(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("nb_frames"), std::to_string(video));
    EXPECT_EQ(streams[1].at("nb_frames"), std::to_string(audio));
    EXPECT_EQ(media_probe::decode_errors(path), "");
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Clips, Recovery, testing::ValuesIn(kCases));

// Hundreds of clips damaged at random (truncated, bytes changed in the
// head and slots, box sizes and table words overwritten): no crash, no
// endless loop, and every outcome is either a whole MP4 or the file as it
// was.  Run under the sanitizers by the test command.
TEST(RecoveryFuzz, DamagedFilesGiveAWholeFileOrAreLeftAlone) {
    const std::string path = temp_path("fuzz");
    const clip_builder::Built clip = clip_builder::build(path, {Kind::kClip, 4, 1, false});
    const clip_builder::Built at_end = clip_builder::build(path, {Kind::kMoovAtEnd, 0, 3, true});
    ASSERT_TRUE(clip.ok && at_end.ok);
    std::mt19937 rng(20261208);
    int kept = 0;
    for (int i = 0; i < 400; ++i) {
        const clip_builder::Built &base = i % 4 == 3 ? at_end : clip;
        Bytes file = base.bytes;
        const clip_builder::Geometry g = clip_builder::geometry(file);
        // Where the structure is: the head and slots, or the movie box at the end.
        const uint64_t lo = i % 4 == 3 ? file.size() - 3000 : 0;
        const uint64_t hi = i % 4 == 3 ? file.size() : g.mdat + 8;
        for (int n = 1 + int(rng() % 6); n > 0; --n) {
            const uint64_t at = (lo + rng() % (hi - lo - 4)) & ~uint64_t{3};
            switch (rng() % 4) {
            case 0: file[at] = uint8_t(rng()); break;
            case 1: {  // a size or count: huge, small, or anything
                const uint32_t pick = rng() % 3;
                const uint32_t v = pick == 0 ? 0xffffffffu : pick == 1 ? rng() % 64 : uint32_t(rng());
                for (int k = 0; k < 4; ++k) file[at + k] = uint8_t(v >> (24 - 8 * k));
                break;
            }
            case 2: file[at + 3] += uint8_t(1 + rng() % 3); break;
            case 3: file.resize(lo + rng() % (file.size() - lo)); break;
            }
            if (file.size() < hi) break;
        }
        clip_builder::write_file(path, file);
        const clip_builder::Recovered r = clip_builder::recover(path);
        ASSERT_TRUE(r.opened);
        SCOPED_TRACE(i);
        if (r.result == MP4_RECOVERED_NOTHING) {
            EXPECT_TRUE(r.after == file);
        } else {
            ASSERT_TRUE(r.result == MP4_RECOVERED_WHOLE || r.result == MP4_RECOVERED_CUT);
            EXPECT_TRUE(mp4_file_is_whole(path.c_str()));
            EXPECT_LE(r.report.video_samples, 5 * clip_builder::kVideoPerStep);
            ++kept;
        }
    }
    EXPECT_GT(kept, 100);  // the damage is not all fatal: the choice is exercised
    unlink(path.c_str());
}

}  // namespace

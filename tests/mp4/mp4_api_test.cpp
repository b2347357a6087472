// The writer's calls beyond the recorder's happy path: bad handles, track
// ids and pointers; files that cannot be created or written; the 4 GiB
// bound; parameter sets that change; tracks without samples; what the file
// head and tables hold for other arguments.
#include <gtest/gtest.h>
#include <mp4/box_walk.h>
#include <mp4/mp4_writer.h>
#include <mp4v2/mp4v2.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "box_reader.h"
#include "child_run.h"
#include "media_probe.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

// x264's SPS for 640x360 and for 320x180 (both seq_parameter_set_id 0),
// its PPS (pic_parameter_set_id 0), another PPS with id 0 and a PPS with
// id 1 (only their ids matter to the writer).
const Bytes kSpsA = {0x67, 0x42, 0xc0, 0x16, 0xd9, 0x00, 0xa0, 0x2f, 0xf9, 0x70, 0x11, 0x00, 0x00,
                     0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x1e, 0x0f, 0x16, 0x2e, 0x48};
const Bytes kSpsB = {0x67, 0x42, 0xc0, 0x0c, 0xd9, 0x01, 0x41, 0x9f, 0x9f, 0x01, 0x10, 0x00, 0x00,
                     0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x01, 0xe0, 0xf1, 0x42, 0xa4, 0x80};
const Bytes kPps0 = {0x68, 0xcb, 0x8c, 0xb2};
const Bytes kPps0b = {0x68, 0xce, 0x3c, 0x80};
const Bytes kPps1 = {0x68, 0x50};
const uint8_t kAsc[2] = {0x15, 0x88};

std::string temp_path(const std::string &name) {
    return testing::TempDir() + "api_" + name + "_" + std::to_string(getpid()) + ".mp4";
}

struct OpenClip {
    MP4FileHandle h = MP4_INVALID_FILE_HANDLE;
    MP4TrackId video = 0, audio = 0;
};

// A file with the recorder's two tracks, before any parameter set.
OpenClip open_clip(const std::string &path) {
    OpenClip c;
    c.h = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
    c.video = MP4AddH264VideoTrack(c.h, 90000, 6000, 640, 360, 0x42, 0xc0, 0x16, 3);
    c.audio = MP4AddAudioTrack(c.h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
    MP4SetTrackESConfiguration(c.h, c.audio, kAsc, 2);
    return c;
}

bool sample(MP4FileHandle h, MP4TrackId t, uint32_t size = 100, bool sync = true) {
    const Bytes b(size, 0x5a);
    return MP4WriteSample(h, t, b.data(), size, MP4_INVALID_DURATION, 0, sync);
}

void add_sps(const OpenClip &c, const Bytes &s) {
    MP4AddH264SequenceParameterSet(c.h, c.video, s.data(), uint16_t(s.size()));
}
void add_pps(const OpenClip &c, const Bytes &p) {
    MP4AddH264PictureParameterSet(c.h, c.video, p.data(), uint16_t(p.size()));
}

// An avcC as the writer lays it out: header from `head`'s bytes 1..3.
Bytes avcc(const Bytes &head, const std::vector<Bytes> &sps, const std::vector<Bytes> &pps) {
    Bytes b = {1, head[1], head[2], head[3], 0xff, uint8_t(0xe0 | sps.size())};
    for (const Bytes &s : sps) {
        b.insert(b.end(), {uint8_t(s.size() >> 8), uint8_t(s.size())});
        b.insert(b.end(), s.begin(), s.end());
    }
    b.push_back(uint8_t(pps.size()));
    for (const Bytes &p : pps) {
        b.insert(b.end(), {uint8_t(p.size() >> 8), uint8_t(p.size())});
        b.insert(b.end(), p.begin(), p.end());
    }
    return b;
}

TEST(Mp4Api, EveryCallIsHarmlessOnHandlesThatAreNotOpenFiles) {
    const std::string path = temp_path("closed");
    MP4FileHandle closed = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
    ASSERT_NE(closed, MP4_INVALID_FILE_HANDLE);
    MP4Close(closed, 0);
    int local = 0;
    const MP4FileHandle handles[] = {MP4_INVALID_FILE_HANDLE, &local, closed,
                                     reinterpret_cast<MP4FileHandle>(uintptr_t{1})};
    for (MP4FileHandle h : handles) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        EXPECT_EQ(MP4AddH264VideoTrack(h, 90000, 6000, 640, 360, 0x42, 0xc0, 0x16, 3),
                  MP4_INVALID_TRACK_ID);
        EXPECT_EQ(MP4AddAudioTrack(h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE), MP4_INVALID_TRACK_ID);
        MP4AddH264SequenceParameterSet(h, 1, kSpsA.data(), uint16_t(kSpsA.size()));
        MP4AddH264PictureParameterSet(h, 1, kPps0.data(), uint16_t(kPps0.size()));
        EXPECT_FALSE(MP4SetTrackESConfiguration(h, 2, kAsc, 2));
        EXPECT_FALSE(MP4SetTrackName(h, 1, "6"));
        EXPECT_FALSE(sample(h, 1));
        MP4Close(h, 0);
    }
    EXPECT_EQ(local, 0);
    unlink(path.c_str());
}

TEST(Mp4Api, WrongTrackIdsAndNullPointersAreRefused) {
    const std::string path = temp_path("badtrack");
    OpenClip c = open_clip(path);
    ASSERT_EQ(c.video, 1u);
    ASSERT_EQ(c.audio, 2u);
    add_sps(c, kSpsA);
    add_pps(c, kPps0);

    for (MP4TrackId bad : {0u, 3u, 0xffffffffu}) {
        EXPECT_FALSE(sample(c.h, bad));
        EXPECT_FALSE(MP4SetTrackName(c.h, bad, "x"));
        EXPECT_FALSE(MP4SetTrackESConfiguration(c.h, bad, kAsc, 2));
        MP4AddH264SequenceParameterSet(c.h, bad, kSpsB.data(), uint16_t(kSpsB.size()));
    }
    // Calls meant for the other kind of track.
    EXPECT_FALSE(MP4SetTrackESConfiguration(c.h, c.video, kAsc, 2));
    MP4AddH264SequenceParameterSet(c.h, c.audio, kSpsB.data(), uint16_t(kSpsB.size()));
    MP4AddH264PictureParameterSet(c.h, c.audio, kPps1.data(), uint16_t(kPps1.size()));
    // Null pointers and empty sets.
    EXPECT_FALSE(MP4WriteSample(c.h, c.video, nullptr, 10, MP4_INVALID_DURATION, 0, true));
    EXPECT_FALSE(MP4SetTrackName(c.h, c.video, nullptr));
    EXPECT_FALSE(MP4SetTrackESConfiguration(c.h, c.audio, nullptr, 2));
    MP4AddH264SequenceParameterSet(c.h, c.video, nullptr, 25);
    MP4AddH264PictureParameterSet(c.h, c.video, kPps1.data(), 0);
    // Tracks that cannot be declared.
    EXPECT_EQ(MP4AddH264VideoTrack(c.h, 0, 6000, 640, 360, 0x42, 0xc0, 0x16, 3), 0u);
    EXPECT_EQ(MP4AddH264VideoTrack(c.h, 90000, 6000, 640, 360, 0x42, 0xc0, 0x16, 4), 0u);
    EXPECT_EQ(MP4AddAudioTrack(c.h, 0, 1024, MP4_MPEG4_AUDIO_TYPE), 0u);
    EXPECT_EQ(MP4CreateEx(nullptr, 0, 1, 1, nullptr, 0, nullptr, 0), MP4_INVALID_FILE_HANDLE);

    EXPECT_TRUE(sample(c.h, c.video));
    EXPECT_TRUE(sample(c.h, c.audio));
    MP4Close(c.h, 0);

    // None of it reached the file.
    const auto f = box_reader::read(path);
    unlink(path.c_str());
    ASSERT_TRUE(f.ok);
    ASSERT_EQ(f.tracks.size(), 2u);
    ASSERT_EQ(f.tracks[0].entries.size(), 1u);
    EXPECT_EQ(f.tracks[0].entries[0].avcc, avcc(kSpsA, {kSpsA}, {kPps0}));
    EXPECT_EQ(f.tracks[1].entries[0].decoder_config, Bytes(kAsc, kAsc + 2));
    EXPECT_FALSE(f.tracks[0].has_name);
    EXPECT_EQ(f.tracks[0].sizes, std::vector<uint32_t>{100});
    EXPECT_EQ(f.tracks[1].sizes, std::vector<uint32_t>{100});
}

TEST(Mp4Api, AFileThatCannotBeCreatedGivesTheInvalidHandle) {
    std::vector<std::string> paths = {"/nonexistent_dir_of_mp4_tests/clip.mp4",
                                      testing::TempDir()};             // a folder
    if (access("/dev/full", W_OK) == 0) paths.push_back("/dev/full");  // the head cannot be written
    for (const std::string &p : paths)
        EXPECT_EQ(MP4CreateEx(p.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0), MP4_INVALID_FILE_HANDLE)
            << p;
}

// In a child whose files may not grow past 200000 bytes: chunks of ten
// 10000-byte samples (a second at 10 fps) fit once; writing the second
// chunk fails, which the sample that completes it reports, and every later
// sample is refused.  Closing the broken file must still be harmless.
TEST(Mp4Api, AWriteErrorIsReportedAndLaterSamplesAreRefused) {
    constexpr rlim_t kLimit = 200000;
    const std::string path = temp_path("fsize");
    const int status = child_exit_status(
        [&] {
            MP4FileHandle h = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
            const MP4TrackId v = MP4AddH264VideoTrack(h, 90000, 9000, 64, 64, 0x42, 0xc0, 0x16, 3);
            int first_failure = -1;
            for (int i = 0; i < 60; ++i) {
                const bool ok = sample(h, v, 10000);
                if (!ok && first_failure < 0) first_failure = i;
                if (ok && first_failure >= 0) return 11;  // accepted after a failure
            }
            if (MP4CloseChecked(h)) return 13;  // the broken file must not pass for whole
            return first_failure == 19 ? 0 : 12;
        },
        kLimit);
    EXPECT_EQ(status, 0);
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LE(st.st_size, off_t(kLimit));
    unlink(path.c_str());
}

// A failure that only the close meets (the pending chunk or the movie box
// does not fit) is reported by the checked close, and the file is not whole.
TEST(Mp4Api, TheCheckedCloseReportsWhatTheCloseCouldNotWrite) {
    struct Case {
        rlim_t limit;
        bool whole;
    };
    for (const Case c : {Case{RLIM_INFINITY, true}, Case{2000, false}, Case{5100, false}}) {
        SCOPED_TRACE(c.limit);
        const std::string path = temp_path("close");
        const int status = child_exit_status(
            [&] {
                MP4FileHandle h = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
                const MP4TrackId v = MP4AddH264VideoTrack(h, 90000, 9000, 64, 64, 0x42, 0xc0, 0x16, 3);
                for (int i = 0; i < 5; ++i)  // half a second: still pending at the close
                    if (!sample(h, v, 1000)) return 11;
                return MP4CloseChecked(h) ? 0 : 1;
            },
            c.limit);
        EXPECT_EQ(status, c.whole ? 0 : 1);
        EXPECT_EQ(mp4_file_is_whole(path.c_str()), c.whole);
        unlink(path.c_str());
    }
    EXPECT_FALSE(MP4CloseChecked(MP4_INVALID_FILE_HANDLE));
}

// A clip whose movie box comes first: checkpoints keep one movie box in its
// slots while the tables fit the reserved room, and one that outgrows them
// is still finished whole, its movie box then after the media.
TEST(Mp4Api, AClipKeepsOneMovieBoxFirstOrEndsWithItAtTheEnd) {
    struct Case {
        MP4ClipReserve reserve;
        int samples;
        const char *checkpointed, *finished;
    };
    const Case cases[] = {
        {{100, 0, 20, 4, 4}, 60, "ftyp free moov free mdat", "ftyp free moov free mdat"},
        {{0, 0, 0, 0, 0}, 2000, "ftyp free moov free mdat", "ftyp free mdat moov"},
    };
    for (const Case &c : cases) {
        const std::string path = temp_path("clip");
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        MP4FileHandle h = MP4CreateClipOnFd(fd, &c.reserve);
        const MP4TrackId v = MP4AddH264VideoTrack(h, 90000, 9000, 64, 64, 0x42, 0xc0, 0x16, 3);
        // Sizes that differ, so stsz lists each one.
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(sample(h, v, 100 + i, i == 0));  // one chunk
        ASSERT_TRUE(MP4Checkpoint(h));
        EXPECT_EQ(box_reader::read(path, true).top_order(), c.checkpointed) << c.samples;
        for (int i = 10; i < c.samples; ++i) ASSERT_TRUE(sample(h, v, 100 + i % 7, i % 10 == 0));
        ASSERT_TRUE(MP4Checkpoint(h));
        EXPECT_TRUE(MP4CloseChecked(h));
        close(fd);
        const auto f = box_reader::read(path);
        EXPECT_EQ(f.top_order(), c.finished) << c.samples;
        ASSERT_EQ(f.tracks.size(), 1u);
        EXPECT_EQ(f.tracks[0].samples.size(), static_cast<size_t>(c.samples));
        EXPECT_TRUE(mp4_file_is_whole(path.c_str()));
        unlink(path.c_str());
    }
}

// /dev/null takes 4 GiB without storing it.  The file head is 32 bytes, so
// 255 samples of 16 MiB fit below 4 GiB with the movie box and the 256th
// does not; a small sample still fits after the refusal.
TEST(Mp4Api, ASampleThatWouldTakeTheFilePast4GiBIsRefused) {
    MP4FileHandle h = MP4CreateEx("/dev/null", 0, 1, 1, nullptr, 0, nullptr, 0);
    ASSERT_NE(h, MP4_INVALID_FILE_HANDLE);
    const MP4TrackId v = MP4AddH264VideoTrack(h, 90000, 3000, 64, 64, 0x42, 0xc0, 0x16, 3);
    const Bytes big(16u << 20, 0x11);
    int accepted = 0;
    while (accepted < 300 &&
           MP4WriteSample(h, v, big.data(), uint32_t(big.size()), MP4_INVALID_DURATION, 0, true))
        ++accepted;
    EXPECT_EQ(accepted, 255);
    EXPECT_TRUE(sample(h, v, 1000));
    EXPECT_FALSE(
        MP4WriteSample(h, v, big.data(), uint32_t(big.size()), MP4_INVALID_DURATION, 0, true));
    MP4Close(h, 0);
}

// Each case is a sequence of parameter sets and samples; the expected
// descriptions and, per sample, the description it is written under.
struct ParameterSetCase {
    const char *what;
    std::vector<std::pair<char, const Bytes *>> steps;  // 'S' SPS, 'P' PPS, 'V' a sample
    struct Entry {
        std::vector<Bytes> sps, pps;
        uint16_t width, height;
    };
    std::vector<Entry> entries;
    std::vector<uint32_t> sdi;
};

TEST(Mp4Api, ParameterSetsJoinTheDescriptionOrStartANewOne) {
    const Bytes *A = &kSpsA, *B = &kSpsB, *P0 = &kPps0, *P0b = &kPps0b, *P1 = &kPps1;
    const ParameterSetCase cases[] = {
        {"repeated sets are stored once",
         {{'S', A}, {'P', P0}, {'V', {}}, {'S', A}, {'P', P0}, {'V', {}}, {'S', A}, {'V', {}}},
         {{{kSpsA}, {kPps0}, 640, 360}},
         {1, 1, 1}},
        {"before the first sample a set with a held id replaces it",
         {{'S', A}, {'P', P0}, {'S', B}, {'P', P0b}, {'V', {}}},
         {{{kSpsB}, {kPps0b}, 640, 360}},
         {1}},
        {"a different SPS after samples starts a description of its size",
         {{'S', A}, {'P', P0}, {'V', {}}, {'V', {}}, {'S', B}, {'P', P0}, {'V', {}}, {'V', {}}},
         {{{kSpsA}, {kPps0}, 640, 360}, {{kSpsB}, {kPps0}, 320, 180}},
         {1, 1, 2, 2}},
        {"a new PPS after samples: the held sets carry over",
         {{'S', A}, {'P', P0}, {'V', {}}, {'P', P1}, {'V', {}}},
         {{{kSpsA}, {kPps0}, 640, 360}, {{kSpsA}, {kPps0, kPps1}, 640, 360}},
         {1, 2}},
        {"sets after the change and before its first sample join the new description",
         {{'S', A}, {'P', P0}, {'V', {}}, {'S', B}, {'P', P1}, {'V', {}}},
         {{{kSpsA}, {kPps0}, 640, 360}, {{kSpsB}, {kPps0, kPps1}, 320, 180}},
         {1, 2}},
        {"a NAL unit of the other kind is ignored",
         {{'S', A}, {'P', P0}, {'V', {}}, {'S', P1}, {'P', B}, {'V', {}}},
         {{{kSpsA}, {kPps0}, 640, 360}},
         {1, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = temp_path("ps");
        OpenClip clip = open_clip(path);
        for (const auto &[kind, nal] : c.steps) {
            if (kind == 'S') add_sps(clip, *nal);
            if (kind == 'P') add_pps(clip, *nal);
            if (kind == 'V') {
                ASSERT_TRUE(sample(clip.h, clip.video));
            }
        }
        MP4Close(clip.h, 0);
        const auto f = box_reader::read(path);
        unlink(path.c_str());
        ASSERT_TRUE(f.ok);
        const auto &v = f.tracks.at(0);
        ASSERT_EQ(v.entries.size(), c.entries.size());
        for (size_t e = 0; e < c.entries.size(); ++e) {
            // The first description keeps the declared profile (A's bytes).
            const Bytes &head = e == 0 ? kSpsA : c.entries[e].sps.back();
            EXPECT_EQ(v.entries[e].avcc, avcc(head, c.entries[e].sps, c.entries[e].pps)) << e;
            EXPECT_EQ(v.entries[e].width, c.entries[e].width) << e;
            EXPECT_EQ(v.entries[e].height, c.entries[e].height) << e;
        }
        std::vector<uint32_t> sdi;
        for (const auto &s : v.samples) sdi.push_back(s.sdi);
        EXPECT_EQ(sdi, c.sdi);
        // The first sample of each later description starts with its SPS
        // and PPS, each behind a 4-byte length; every other one is as given.
        for (size_t i = 0; i < v.samples.size(); ++i) {
            Bytes want;
            if (i > 0 && c.sdi[i] != c.sdi[i - 1]) {
                const auto &e = c.entries[c.sdi[i] - 1];
                std::vector<Bytes> sets = e.sps;
                sets.insert(sets.end(), e.pps.begin(), e.pps.end());
                want = box_reader::length_prefixed(sets);
            }
            want.insert(want.end(), 100, 0x5a);
            EXPECT_EQ(f.slice(v.samples[i].offset, v.samples[i].size), want) << "sample " << i + 1;
        }
    }
}

// The in-band sets' length fields have the track's size; a set too long
// for a 1-byte field is left out of the sample (its avcC still has it).
TEST(Mp4Api, InBandSetsUseTheTracksLengthFieldSize) {
    const Bytes long_pps = [] {  // pic_parameter_set_id 1, 300 bytes
        Bytes b = kPps1;
        b.resize(300, 0x80);
        return b;
    }();
    for (const uint8_t length_size : {4, 2, 1}) {
        SCOPED_TRACE(int(length_size));
        const std::string path = temp_path("length");
        MP4FileHandle h = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
        const MP4TrackId v =
            MP4AddH264VideoTrack(h, 90000, 6000, 640, 360, 0x42, 0xc0, 0x16, length_size - 1);
        MP4AddH264PictureParameterSet(h, v, kPps0.data(), uint16_t(kPps0.size()));
        ASSERT_TRUE(sample(h, v));
        MP4AddH264PictureParameterSet(h, v, long_pps.data(), uint16_t(long_pps.size()));
        ASSERT_TRUE(sample(h, v));
        MP4Close(h, 0);
        const auto f = box_reader::read(path);
        unlink(path.c_str());
        ASSERT_TRUE(f.ok);
        const auto &t = f.tracks.at(0);
        ASSERT_EQ(t.entries.size(), 2u);
        ASSERT_EQ(t.samples.size(), 2u);
        Bytes want = box_reader::length_prefixed({kPps0, long_pps}, length_size);
        want.insert(want.end(), 100, 0x5a);
        EXPECT_EQ(f.slice(t.samples[1].offset, t.samples[1].size), want);
        // A set too long for the length field stays in the description.
        const Bytes &held = t.entries[1].avcc;
        EXPECT_NE(std::search(held.begin(), held.end(), long_pps.begin(), long_pps.end()), held.end());
    }
}

TEST(Mp4Api, TracksWithoutSamples) {
    for (int audio_samples : {0, 3}) {
        SCOPED_TRACE(testing::Message() << audio_samples << " audio samples");
        const std::string path = temp_path("empty");
        OpenClip c = open_clip(path);
        add_sps(c, kSpsA);
        add_pps(c, kPps0);
        for (int i = 0; i < audio_samples; ++i) ASSERT_TRUE(sample(c.h, c.audio));
        MP4Close(c.h, 0);
        const auto f = box_reader::read(path);
        ASSERT_TRUE(f.ok);
        const auto &v = f.tracks.at(0);
        EXPECT_TRUE(v.stts.empty());
        EXPECT_EQ(v.stsz_count, 0u);
        EXPECT_TRUE(v.stsc.empty());
        EXPECT_TRUE(v.chunk_offsets.empty());
        EXPECT_FALSE(v.has_stss);
        EXPECT_EQ(v.mdhd_duration, 0u);
        EXPECT_EQ(v.tkhd_duration, 0u);
        EXPECT_EQ(f.tracks.at(1).mdhd_duration, 1024u * audio_samples);
        EXPECT_EQ(f.movie_duration, 128u * audio_samples);
        const auto streams = media_probe::streams(path);
        EXPECT_EQ(streams.size(), 2u);
        unlink(path.c_str());
    }
}

TEST(Mp4Api, Mp4aChannelCountFollowsTheAudioConfig) {
    const struct {
        Bytes config;
        uint16_t channels;
    } cases[] = {
        {{0x15, 0x88}, 1},                    // LC 8000 Hz mono
        {{0x12, 0x10}, 2},                    // LC 44100 Hz stereo
        {{0x11, 0xb0}, 6},                    // LC 48000 Hz 5.1
        {{0x11, 0xb8}, 8},                    // configuration 7: 7.1
        {{0x17, 0x80, 0x0f, 0xa0, 0x08}, 1},  // explicit 24-bit frequency
        {{0xf9, 0x46, 0x20}, 1},              // escaped object type (42)
        {{0x11, 0x80}, 2},                    // configuration 0: from a PCE
        {{0x15}, 2},                          // too short to say
        {{}, 2},                              // none
    };
    for (const auto &c : cases) {
        const std::string path = temp_path("asc");
        MP4FileHandle h = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
        const MP4TrackId a = MP4AddAudioTrack(h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
        if (!c.config.empty()) {
            ASSERT_TRUE(MP4SetTrackESConfiguration(h, a, c.config.data(), c.config.size()));
        }
        MP4Close(h, 0);
        const auto f = box_reader::read(path);
        unlink(path.c_str());
        ASSERT_EQ(f.tracks.size(), 1u);
        EXPECT_EQ(f.tracks[0].entries.at(0).channels, c.channels) << int(c.config.size());
        EXPECT_EQ(f.tracks[0].entries.at(0).decoder_config, c.config);
    }
}

TEST(Mp4Api, DurationsAndRenderingOffsetsAsGiven) {
    const std::string path = temp_path("timing");
    OpenClip c = open_clip(path);
    const Bytes b(50, 1);
    const MP4Duration durations[] = {3000, 3000, 6000, MP4_INVALID_DURATION};
    const MP4Duration offsets[] = {0, 0, 3000, 0};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(MP4WriteSample(c.h, c.video, b.data(), 50, durations[i], offsets[i], i == 0));
    // Beyond 32-bit durations and offsets.
    EXPECT_FALSE(MP4WriteSample(c.h, c.video, b.data(), 50, 1ull << 32, 0, false));
    EXPECT_FALSE(MP4WriteSample(c.h, c.video, b.data(), 50, 3000, 1ull << 32, false));
    MP4Close(c.h, 0);
    const auto f = box_reader::read(path);
    unlink(path.c_str());
    const auto &v = f.tracks.at(0);
    EXPECT_EQ(v.stts, (Pairs{{2, 3000}, {2, 6000}}));
    EXPECT_TRUE(v.has_ctts);
    EXPECT_EQ(v.ctts, (Pairs{{2, 0}, {1, 3000}, {1, 0}}));
    EXPECT_EQ(v.sync_samples, std::vector<uint32_t>{1});
    EXPECT_EQ(v.mdhd_duration, 18000u);
    EXPECT_FALSE(f.tracks.at(1).has_ctts);
}

TEST(Mp4Api, FileHeadAsAsked) {
    char isom[] = "isom", iso2[] = "iso2", avc1[] = "avc1", m4a[] = "M4A";
    char *brands[] = {isom, iso2, avc1};
    const struct {
        int ftyp, iods;
        char *major;
        uint32_t minor;
        char **compatible;
        uint32_t count;
        std::string top;
        std::string ftyp_body;  // major, minor, compatible brands
        bool has_iods;
    } cases[] = {
        {1, 1, nullptr, 0, nullptr, 0, "ftyp mdat moov", std::string("mp42\0\0\0\0mp42isom", 16),
         true},
        {0, 0, nullptr, 0, nullptr, 0, "mdat moov", "", false},
        {1, 0, isom, 512, brands, 3, "ftyp mdat moov", std::string("isom\0\0\2\0isomiso2avc1", 20),
         false},
        {1, 1, m4a, 0, nullptr, 0, "ftyp mdat moov", std::string("M4A \0\0\0\0M4A isom", 16), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.top + " " + c.ftyp_body);
        const std::string path = temp_path("head");
        MP4FileHandle h =
            MP4CreateEx(path.c_str(), 0, c.ftyp, c.iods, c.major, c.minor, c.compatible, c.count);
        ASSERT_NE(h, MP4_INVALID_FILE_HANDLE);
        MP4Close(h, 0);
        const auto f = box_reader::read(path);
        unlink(path.c_str());
        ASSERT_TRUE(f.ok);
        EXPECT_EQ(f.top_order(), c.top);
        if (const auto *ftyp = f.find("ftyp")) {
            const Bytes body = f.slice(ftyp->body(), ftyp->size - 8);
            EXPECT_EQ(std::string(body.begin(), body.end()), c.ftyp_body);
        }
        EXPECT_EQ(f.find("moov")->find("iods") != nullptr, c.has_iods);
    }
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

TEST(BoxWalk, OnlyAWholeFileWithMdatAndMoovIsWhole) {
    const std::string path = temp_path("walk");
    const std::string whole = box("ftyp", 16) + box("mdat", 100) + box("moov", 40);
    struct Case {
        std::string bytes;
        bool whole;
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
        EXPECT_EQ(mp4_file_is_whole(path.c_str()), c.whole) << c.bytes.size();
    }
    unlink(path.c_str());
    EXPECT_FALSE(mp4_file_is_whole(path.c_str()));  // missing
}

}  // namespace

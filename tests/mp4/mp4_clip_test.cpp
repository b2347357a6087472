// Clips written from the sample media with the recorder's call sequence,
// checked with ffprobe, ffmpeg and GStreamer and with our own box reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "box_reader.h"
#include "clip_sequence.h"
#include "media_probe.h"

namespace {

const std::string kData = MP4_TEST_DATA_DIR;

struct ClipCase {
    const char *name;
    const char *h264;
    int seconds;
    int fps;
    size_t pictures;    // video samples the sequence writes
    size_t small_from;  // first 320x180 picture (reschange), else pictures
};

// video_15fps.h264: 8 s, 640x360; reschange.h264: 4 s at 640x360, then 4 s
// at 320x180, both with SPS and PPS before every I frame (one a second).
const ClipCase kClips[] = {
    {"N6_fps15", "video_15fps.h264", 6, 15, 105, 105},
    {"N0_fps15", "video_15fps.h264", 0, 15, 15, 15},
    {"N6_fps16", "video_15fps.h264", 6, 16, 112, 112},  // declared rate above the stream's
    {"N6_reschange", "reschange.h264", 6, 15, 105, 60},
};

void PrintTo(const ClipCase &c, std::ostream *os) {
    *os << c.name;
}

// The distinct SPS of a stream in stream order, and its PPS (the same bytes
// throughout both sample streams).
struct ParameterSets {
    std::vector<clip_sequence::Bytes> sps;
    clip_sequence::Bytes pps;
};

ParameterSets parameter_sets(const clip_sequence::Streams &in) {
    ParameterSets p;
    for (const auto &n : in.nals) {
        const clip_sequence::Bytes nal(n.begin() + 4, n.end());
        if ((nal[0] & 0x1f) == 7 && std::find(p.sps.begin(), p.sps.end(), nal) == p.sps.end())
            p.sps.push_back(nal);
        if ((nal[0] & 0x1f) == 8) p.pps = nal;
    }
    return p;
}

struct Recorded {
    std::string path;
    clip_sequence::Streams in;
    clip_sequence::Written written;
    box_reader::File file;
};

class Clip : public testing::TestWithParam<ClipCase> {
  protected:
    void SetUp() override {
        const ClipCase &c = GetParam();
        r_.path = testing::TempDir() + "clip_" + c.name + "_" + std::to_string(getpid()) + ".mp4";
        r_.in = clip_sequence::load(kData + "/" + c.h264, kData + "/audio_8k_mono.aac");
        ASSERT_FALSE(r_.in.nals.empty());
        ASSERT_FALSE(r_.in.adts.empty());
        clip_sequence::Clip clip;
        clip.seconds = c.seconds;
        clip.fps = c.fps;
        r_.written = clip_sequence::write(r_.path, r_.in, clip);
        ASSERT_TRUE(r_.written.ok);
        ASSERT_EQ(r_.written.video_samples.size(), c.pictures);
        ASSERT_EQ(r_.written.audio_samples.size(), 8u * c.seconds + 1);
        r_.file = box_reader::read(r_.path);
        ASSERT_TRUE(r_.file.ok);
        ASSERT_EQ(r_.file.tracks.size(), 2u);
    }
    void TearDown() override { unlink(r_.path.c_str()); }

    // Each picture's sample as the file must hold it: as handed in, and the
    // first 320x180 one with its description's SPS and PPS in front, each
    // behind a 4-byte length, for players that keep the first description.
    std::vector<clip_sequence::Bytes> stored_video_samples() const {
        const ClipCase &c = GetParam();
        auto samples = r_.written.video_samples;
        if (c.small_from == c.pictures) return samples;
        const ParameterSets p = parameter_sets(r_.in);
        const clip_sequence::Bytes in_band = box_reader::length_prefixed({p.sps[1], p.pps});
        auto &first = samples[c.small_from];
        first.insert(first.begin(), in_band.begin(), in_band.end());
        return samples;
    }

    Recorded r_;
};

TEST_P(Clip, FfprobeSeesBothTracks) {
    const ClipCase &c = GetParam();
    const auto streams = media_probe::streams(r_.path);
    ASSERT_EQ(streams.size(), 2u);
    auto v = streams[0], a = streams[1];
    EXPECT_EQ(v["codec_name"], "h264");
    EXPECT_EQ(v["codec_tag_string"], "avc1");
    EXPECT_EQ(v["time_base"], "1/90000");
    EXPECT_EQ(v["r_frame_rate"], std::to_string(c.fps) + "/1");
    EXPECT_EQ(v["nb_frames"], std::to_string(c.pictures));
    EXPECT_EQ(v["duration_ts"], std::to_string(c.pictures * (90000 / c.fps)));
    EXPECT_EQ(v["width"], "640");
    EXPECT_EQ(v["height"], "360");
    EXPECT_EQ(a["codec_name"], "aac");
    EXPECT_EQ(a["profile"], "LC");
    EXPECT_EQ(a["time_base"], "1/8000");
    EXPECT_EQ(a["sample_rate"], "8000");
    EXPECT_EQ(a["channels"], "1");
    EXPECT_EQ(a["nb_frames"], std::to_string(8 * c.seconds + 1));
    EXPECT_EQ(a["duration_ts"], std::to_string((8 * c.seconds + 1) * 1024));
}

TEST_P(Clip, PacketsAreTheSamplesWithKeyFramesAtTheIFrames) {
    std::vector<int> video_sizes, audio_sizes;
    std::vector<bool> video_keys;
    for (const auto &p : media_probe::packets(r_.path)) {
        if (p.stream == 0) {
            video_sizes.push_back(p.size);
            video_keys.push_back(p.key);
        } else {
            audio_sizes.push_back(p.size);
        }
    }
    std::vector<int> sizes;
    for (const auto &s : stored_video_samples()) sizes.push_back(int(s.size()));
    EXPECT_EQ(video_sizes, sizes);
    EXPECT_EQ(video_keys, r_.written.video_sync);
    sizes.clear();
    for (const auto &s : r_.written.audio_samples) sizes.push_back(int(s.size()));
    EXPECT_EQ(audio_sizes, sizes);
}

TEST_P(Clip, DecodesWithoutAnyError) {
    EXPECT_EQ(media_probe::decode_errors(r_.path), "");
}

TEST_P(Clip, DecodedPicturesHaveTheirStreamsSize) {
    const ClipCase &c = GetParam();
    const auto r = media_probe::run(
        "ffprobe -v error -select_streams v -show_entries frame=width,height -of csv=p=0 " +
        media_probe::quoted(r_.path));
    ASSERT_EQ(r.status, 0) << r.output;
    std::map<std::string, size_t> sizes;
    size_t start = 0;
    for (size_t end; (end = r.output.find('\n', start)) != std::string::npos; start = end + 1)
        ++sizes[r.output.substr(start, end - start)];
    std::map<std::string, size_t> expected = {{"640,360", c.small_from}};
    if (c.small_from < c.pictures) expected["320,180"] = c.pictures - c.small_from;
    EXPECT_EQ(sizes, expected);
}

// GStreamer's view (its demuxer, parser and decoder): every picture
// decoded at its stream's size, and no error or warning.  With -v the sink
// logs its caps when they change and one line per picture after them.
TEST_P(Clip, GStreamerDecodesEveryPictureAtItsSize) {
    const ClipCase &c = GetParam();
    const auto r = media_probe::run(
        "gst-launch-1.0 -v filesrc location=" + media_probe::quoted(r_.path) +
        " ! qtdemux ! h264parse ! avdec_h264 ! videoconvert ! fakesink silent=false");
    ASSERT_EQ(r.status, 0) << r.output;
    std::map<std::string, size_t> sizes;
    std::string size = "none";
    size_t start = 0;
    for (size_t end; (end = r.output.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = r.output.substr(start, end - start);
        EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
        EXPECT_EQ(line.find("WARNING"), std::string::npos) << line;
        if (line.find("fakesink0.GstPad:sink: caps = ") != std::string::npos) {
            const auto w = line.find("width=(int)"), h = line.find("height=(int)");
            ASSERT_TRUE(w != std::string::npos && h != std::string::npos) << line;
            size = std::to_string(std::stoi(line.substr(w + 11))) + "," +
                   std::to_string(std::stoi(line.substr(h + 12)));
        } else if (line.find("fakesink0: last-message = chain") != std::string::npos) {
            ++sizes[size];
        }
    }
    std::map<std::string, size_t> expected = {{"640,360", c.small_from}};
    if (c.small_from < c.pictures) expected["320,180"] = c.pictures - c.small_from;
    EXPECT_EQ(sizes, expected);
}

// Layout: the movie box first (after ftyp and the free box that points at
// its slot), the media last; the chunks tile the media data exactly, in
// file order, and each sample's bytes are those handed in (the first of the
// second description behind its parameter sets).
TEST_P(Clip, SamplesLieInTheMediaDataUnchanged) {
    const auto &f = r_.file;
    EXPECT_EQ(f.top_order(), "ftyp free moov free mdat");
    EXPECT_EQ(f.top.back().offset + f.top.back().size, f.bytes.size());

    std::vector<std::pair<uint64_t, uint64_t>> chunks;  // offset, end
    const auto video = stored_video_samples();
    const std::vector<clip_sequence::Bytes> *expected[2] = {&video, &r_.written.audio_samples};
    for (int t = 0; t < 2; ++t) {
        const auto &samples = f.tracks[t].samples;
        ASSERT_EQ(samples.size(), expected[t]->size());
        for (size_t i = 0; i < samples.size(); ++i) {
            ASSERT_TRUE(f.slice(samples[i].offset, samples[i].size) == (*expected[t])[i])
                << "track " << t + 1 << " sample " << i + 1;
            if (i == 0 || samples[i].offset != samples[i - 1].offset + samples[i - 1].size)
                chunks.push_back({samples[i].offset, samples[i].offset});
            chunks.back().second = samples[i].offset + samples[i].size;
        }
    }
    std::sort(chunks.begin(), chunks.end());
    const auto *mdat = f.find("mdat");
    uint64_t at = mdat->body();
    for (const auto &[begin, end] : chunks) {
        EXPECT_EQ(begin, at);
        at = end;
    }
    EXPECT_EQ(at, mdat->offset + mdat->size);
}

TEST_P(Clip, TablesAndDurationsAgree) {
    const ClipCase &c = GetParam();
    const auto &f = r_.file;
    const auto &v = f.tracks[0];
    const auto &a = f.tracks[1];
    EXPECT_EQ(f.movie_timescale, 1000u);
    EXPECT_EQ(f.next_track_id, 3u);
    EXPECT_EQ(v.handler, "vide");
    EXPECT_EQ(a.handler, "soun");
    EXPECT_EQ(v.timescale, 90000u);
    EXPECT_EQ(a.timescale, 8000u);
    using Stts = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(v.stts, (Stts{{uint32_t(c.pictures), uint32_t(90000 / c.fps)}}));
    EXPECT_EQ(a.stts, (Stts{{uint32_t(8 * c.seconds + 1), 1024}}));
    uint32_t longest = 0;
    for (const auto &t : f.tracks) {
        uint64_t sum = 0;
        for (const auto &[count, delta] : t.stts) sum += uint64_t{count} * delta;
        EXPECT_EQ(t.mdhd_duration, sum);
        EXPECT_EQ(t.tkhd_duration, sum * 1000 / t.timescale);
        longest = std::max(longest, t.tkhd_duration);
    }
    EXPECT_EQ(f.movie_duration, longest);

    std::vector<uint32_t> sync;
    for (size_t i = 0; i < r_.written.video_sync.size(); ++i)
        if (r_.written.video_sync[i]) sync.push_back(uint32_t(i + 1));
    EXPECT_TRUE(v.has_stss);
    EXPECT_EQ(v.sync_samples, sync);
    EXPECT_FALSE(a.has_stss);  // all audio samples are sync samples
    EXPECT_TRUE(v.has_name);
    EXPECT_EQ(v.name, "6");
    EXPECT_FALSE(a.has_name);
    EXPECT_EQ(v.tkhd_width, 640u << 16);
    EXPECT_EQ(v.tkhd_height, 360u << 16);
}

TEST_P(Clip, SampleDescriptionsCarryTheStreamsParameterSets) {
    const ClipCase &c = GetParam();
    // The distinct SPS of the stream, each with the PPS.
    const ParameterSets sets = parameter_sets(r_.in);
    const auto &sps = sets.sps;
    const auto &pps = sets.pps;
    const auto &v = r_.file.tracks[0];
    const size_t entries = c.small_from < c.pictures ? 2 : 1;
    ASSERT_EQ(v.entries.size(), entries);
    for (size_t e = 0; e < entries; ++e) {
        clip_sequence::Bytes avcc = {1,    sps[e][1], sps[e][2], sps[e][3],
                                     0xff, 0xe1,      0,         uint8_t(sps[e].size())};
        avcc.insert(avcc.end(), sps[e].begin(), sps[e].end());
        avcc.insert(avcc.end(), {1, 0, uint8_t(pps.size())});
        avcc.insert(avcc.end(), pps.begin(), pps.end());
        EXPECT_EQ(v.entries[e].type, "avc1");
        EXPECT_EQ(v.entries[e].avcc, avcc);
        EXPECT_EQ(v.entries[e].width, e == 0 ? 640 : 320);
        EXPECT_EQ(v.entries[e].height, e == 0 ? 360 : 180);
    }
    for (size_t i = 0; i < v.samples.size(); ++i)
        EXPECT_EQ(v.samples[i].sdi, i < c.small_from ? 1u : 2u) << "sample " << i + 1;

    const auto &a = r_.file.tracks[1];
    ASSERT_EQ(a.entries.size(), 1u);
    EXPECT_EQ(a.entries[0].type, "mp4a");
    EXPECT_EQ(a.entries[0].object_type, 0x40);
    EXPECT_EQ(a.entries[0].stream_type, 5);
    EXPECT_EQ(a.entries[0].decoder_config, (clip_sequence::Bytes{0x15, 0x88}));
    EXPECT_EQ(a.entries[0].channels, 1);
    EXPECT_EQ(a.entries[0].sample_rate, 8000u);
}

INSTANTIATE_TEST_SUITE_P(SampleMedia, Clip, testing::ValuesIn(kClips),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

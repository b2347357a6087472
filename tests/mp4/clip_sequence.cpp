#include "clip_sequence.h"

#include <mp4v2/mp4v2.h>

#include "media_split.h"
#include "recorder/aac_config.h"

namespace clip_sequence {

Streams load(const std::string &h264_path, const std::string &aac_path) {
    Streams s;
    s.nals = media_split::split_annexb(media_split::read_file(h264_path));
    s.adts = media_split::split_adts(media_split::read_file(aac_path));
    return s;
}

Written write(const std::string &path, const Streams &in, const Clip &clip) {
    Written out;
    size_t sps = 0;
    while (sps < in.nals.size() && media_split::nal_type(in.nals[sps]) != 7) ++sps;
    if (sps + 1 >= in.nals.size() || in.adts.empty()) return out;
    const Bytes &first_sps = in.nals[sps];
    const Bytes &first_pps = in.nals[sps + 1];

    MP4FileHandle h = MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
    out.created = h != MP4_INVALID_FILE_HANDLE;
    const MP4TrackId video =
        MP4AddH264VideoTrack(h, 90000, 90000 / clip.fps, clip.width, clip.height, first_sps[5],
                             first_sps[6], first_sps[7], 3);
    MP4AddH264SequenceParameterSet(h, video, first_sps.data() + 4,
                                   static_cast<uint16_t>(first_sps.size() - 4));
    MP4AddH264PictureParameterSet(h, video, first_pps.data() + 4,
                                  static_cast<uint16_t>(first_pps.size() - 4));
    const MP4TrackId audio = MP4AddAudioTrack(h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
    uint8_t config[2];
    calc_aac_config(in.adts[0].data(), config);
    MP4SetTrackESConfiguration(h, audio, config, 2);
    MP4SetTrackName(h, video, "6");

    const size_t audio_budget = 8 * static_cast<size_t>(clip.seconds) + 1;
    const size_t picture_budget = static_cast<size_t>(clip.seconds + 1) * clip.fps;
    size_t next_adts = 1, next_nal = sps + 2;
    bool audio_done = false, video_done = false;
    while (!audio_done || !video_done) {
        if (!audio_done) {
            if (next_adts < in.adts.size()) {
                const Bytes &f = in.adts[next_adts++];
                out.audio_samples.emplace_back(f.begin() + 7, f.end());
                const Bytes &s = out.audio_samples.back();
                out.write_results.push_back(
                    MP4WriteSample(h, audio, s.data(), s.size(), MP4_INVALID_DURATION, 0, true));
            }
            audio_done = next_adts >= in.adts.size() || out.audio_samples.size() >= audio_budget;
        }
        // One video sample per pass: the NALs up to and including the next
        // slice, parameter sets on the way going to the track.
        while (!video_done && next_nal < in.nals.size()) {
            Bytes f = in.nals[next_nal++];
            const uint8_t type = media_split::nal_type(f);
            const uint32_t n = static_cast<uint32_t>(f.size() - 4);
            if (type == 7 || type == 8) {
                if (type == 7)
                    MP4AddH264SequenceParameterSet(h, video, f.data() + 4, uint16_t(n));
                else
                    MP4AddH264PictureParameterSet(h, video, f.data() + 4, uint16_t(n));
                ++out.parameter_sets_in_loop;
            } else if (type == 1 || type == 5) {
                f[0] = uint8_t(n >> 24), f[1] = uint8_t(n >> 16), f[2] = uint8_t(n >> 8);
                f[3] = uint8_t(n);
                out.write_results.push_back(MP4WriteSample(h, video, f.data(), f.size(),
                                                           MP4_INVALID_DURATION, 0, type == 5));
                out.video_samples.push_back(f);
                out.video_sync.push_back(type == 5);
                break;
            }
        }
        video_done = next_nal >= in.nals.size() || out.video_samples.size() >= picture_budget;
    }
    MP4Close(h, 0);
    return out;
}

}  // namespace clip_sequence

#include "clip_sequence.h"

#include <cstdlib>

#include "clip_builder.h"
#include "media_split.h"
#include "recorder/clip_assembly.h"
#include "recorder/file_source.h"
#include "recorder/recorder.h"

namespace clip_sequence {

Streams load(const std::string &h264_path, const std::string &aac_path) {
    Streams s;
    s.h264_path = h264_path;
    s.aac_path = aac_path;
    s.nals = media_split::split_annexb(media_split::read_file(h264_path));
    s.adts = media_split::split_adts(media_split::read_file(aac_path));
    return s;
}

Written write(const std::string &path, const Streams &in, const Clip &clip) {
    Written out;
    recorder::FileSource files(in.h264_path, in.aac_path, clip.fps);
    if (!files.ok()) return out;
    const recorder::ClipResult r = files.write_clip(path.c_str(), clip.seconds);
    out.ok = r.end == recorder::ClipEnd::kComplete;
    const recorder::ClipCounts &counts = r.counts;

    // What the assembly must have written: the pictures after the PPS in
    // order, and the AAC frames after the configuring one.
    const auto &video = files.video();
    for (size_t v = 2; v < video.size(); ++v) {
        const uint8_t type = files.frame_type(v);
        if (type == 1 || type == 5) {
            if (static_cast<int>(out.video_samples.size()) == counts.video_samples) break;
            out.video_samples.push_back(clip_builder::length_prefixed_sample(video[v].bytes));
            out.video_sync.push_back(type == 5);
        }
    }
    const auto &audio = files.audio();
    for (int a = 1; a <= counts.audio_samples && a < static_cast<int>(audio.size()); ++a)
        out.audio_samples.emplace_back(audio[a].bytes.begin() + 7, audio[a].bytes.end());
    return out;
}

}  // namespace clip_sequence

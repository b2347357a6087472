#include "recorder/file_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <elementary_streams/annexb.h>
#include <elementary_streams/h264_params.h>

#include "media_split.h"
#include "recorder/recorder.h"

namespace recorder {
namespace {

constexpr uint64_t kWaitStepUs = 10000;  // the simulated clock's step at each wait

bool is_picture(uint8_t type) {
    return type == MEDIA_FRAME_P || type == MEDIA_FRAME_I;
}

}  // namespace

FileSource::FileSource(const std::string &h264_path, const std::string &aac_path, int fps,
                       double loop_seconds) {
    const auto nals = media_split::split_annexb(media_split::read_file(h264_path));
    const auto adts = media_split::split_adts(media_split::read_file(aac_path));
    size_t first_sps = 0;
    while (first_sps < nals.size() && media_split::nal_type(nals[first_sps]) != MEDIA_FRAME_SPS) ++first_sps;
    if (first_sps == nals.size() || fps <= 0) return;

    const bool loop = loop_seconds > 0;
    const uint64_t want_pictures = loop ? static_cast<uint64_t>(loop_seconds * fps + 0.5) : 0;
    const uint64_t want_audio = loop ? static_cast<uint64_t>(loop_seconds * 8000 / 1024 + 0.999) : 0;
    uint64_t pass_pictures = 0;
    const std::vector<uint64_t> picture_of = media_split::picture_numbers(nals, &pass_pictures);

    // Pictures are numbered from the clip-start SPS's on, across passes.
    uint64_t pass_start = 0;
    uint16_t width = 0, height = 0;  // of the SPS in force, as a producer reports them
    for (size_t i = first_sps;; ++i) {
        if (i == nals.size()) {
            if (!loop || pass_pictures == 0) break;
            i = 0;
            pass_start += pass_pictures;
        }
        const uint64_t picture = pass_start + picture_of[i] - picture_of[first_sps];
        if (loop && picture >= want_pictures) break;
        Frame f{nals[i], FrameInfo{}};
        const uint8_t type = media_split::nal_type(nals[i]);
        elementary_streams::SpsInfo sps;
        if (type == MEDIA_FRAME_SPS && elementary_streams::parse_sps(nals[i].data() + 4, uint32_t(nals[i].size() - 4), &sps))
            width = sps.width, height = sps.height;
        f.info.width = width;
        f.info.height = height;
        f.info.framesize = static_cast<uint32_t>(f.bytes.size());
        f.info.ts = kBaseTs + static_cast<uint32_t>(uint64_t{picture} * 1000 / fps);
        f.info.sec = f.info.ts / 1000;
        f.info.frameType = type;
        f.info.framerate = static_cast<uint8_t>(fps);
        video_.push_back(std::move(f));
    }
    for (uint64_t k = 0; !adts.empty() && (loop ? k < want_audio : k < adts.size()); ++k) {
        Frame f{adts[k % adts.size()], FrameInfo{}};
        f.info.framesize = static_cast<uint32_t>(f.bytes.size());
        f.info.ts = kBaseTs - 1000 + static_cast<uint32_t>(k * 128);
        f.info.sec = f.info.ts / 1000;
        audio_.push_back(std::move(f));
    }
}

FrameInfo FileSource::start(uint8_t *buffer) const {
    FrameInfo info;
    copy(video_[0], buffer, &info);
    return info;
}

ClipResult FileSource::write_clip(const char *path, int seconds, const MP4Output *output,
                                  bool timestamps) {
    std::vector<uint8_t> buffer(RECORD_FRAME_BUFFER_SIZE);
    const FrameInfo first = start(buffer.data());
    ClipOptions options;
    options.seconds = seconds;
    options.output = output;
    options.timestamps = timestamps;
    options.wait_for_storage = true;
    options.fd = output != nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    options.name = path;
    const ClipResult r = assemble_clip(source(), buffer.data(), first, options);
    if (options.fd >= 0) close(options.fd);
    return r;
}

void FileSource::copy(const Frame &f, uint8_t *buffer, FrameInfo *info) {
    std::memcpy(buffer, f.bytes.data(), f.bytes.size());
    *info = f.info;
}

Read FileSource::next_frame(void *self, int channel, uint8_t *buffer, FrameInfo *info) {
    FileSource &s = *static_cast<FileSource *>(self);
    if (!MediaDataIsAudioChannel(channel)) {
        if (s.next_video_ >= s.video_.size()) return Read::kEnd;
        if (s.real_time_ && !s.due(s.video_[s.next_video_])) return Read::kNone;
        const Frame &f = s.video_[s.next_video_++];
        copy(f, buffer, info);
        if (is_picture(f.info.frameType) &&
            elementary_streams::slice_begins_picture(f.bytes.data() + 4, f.bytes.size() - 4))
            ++s.pictures_delivered_;
        return Read::kFrame;
    }
    if (s.next_audio_ >= s.audio_.size()) return Read::kEnd;
    const bool video_ended = s.next_video_ >= s.video_.size();
    if (s.real_time_ ? !s.due(s.audio_[s.next_audio_])
                     : s.next_audio_ >= 1 && s.pictures_delivered_ + 1 < s.next_audio_ &&
                           !video_ended)
        return Read::kNone;
    copy(s.audio_[s.next_audio_++], buffer, info);
    return Read::kFrame;
}

Read FileSource::audio_at(void *self, uint32_t ts, uint8_t *buffer, FrameInfo *info) {
    FileSource &s = *static_cast<FileSource *>(self);
    for (size_t k = 0; k < s.audio_.size(); ++k) {
        if (s.audio_[k].info.ts - ts >= 0x80000000u) continue;  // before ts, on the wrapping clock
        if (s.real_time_ && !s.due(s.audio_[k])) return Read::kNone;
        copy(s.audio_[k], buffer, info);
        s.next_audio_ = k + 1;
        return Read::kFrame;
    }
    return Read::kEnd;
}

uint32_t FileSource::put_count(void *, int) {
    return 0;
}

void FileSource::wait(void *self, int, uint32_t, uint64_t) {
    static_cast<FileSource *>(self)->clock_us_ += kWaitStepUs;
}

uint64_t FileSource::now_ms(void *self) {
    return static_cast<FileSource *>(self)->clock_us_ / 1000;
}

}  // namespace recorder

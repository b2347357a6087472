#include "clip_mux.h"

#include <fcntl.h>
#include <mp4v2/mp4v2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "elementary_streams/adts.h"
#include "elementary_streams/annexb.h"
#include "elementary_streams/h264_params.h"
#include "recorder/aac_config.h"

namespace clip_mux {
namespace {

namespace es = elementary_streams;

constexpr uint32_t kAdtsHeader = es::kAdtsHeaderSize;
constexpr uint32_t kAacFrameSamples = 1024;
constexpr uint32_t kVideoTimeScale = 90000;

}  // namespace

Clip::~Clip() {
    std::free(video_);
    unmap(&video_file_);
    unmap(&audio_file_);
}

bool Clip::map(const char *path, Mapping *m) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && st.st_size > 0;
    if (ok) {
        void *p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        ok = p != MAP_FAILED;
        if (ok) {
            m->data = static_cast<const uint8_t *>(p);
            m->size = static_cast<size_t>(st.st_size);
        }
    }
    ::close(fd);
    return ok;
}

void Clip::unmap(Mapping *m) {
    if (m->data != nullptr) munmap(const_cast<uint8_t *>(m->data), m->size);
    m->data = nullptr;
    m->size = 0;
}

// Copies every NAL unit of the Annex-B stream into video_ behind a 4-byte
// big-endian length (3- and 4-byte start codes alike; zero bytes before a
// start code belong to it, not to the unit before).
bool Clip::index_video() {
    const uint8_t *s = video_file_.data;
    const size_t n = video_file_.size;
    if (n > UINT32_MAX / 2) return false;
    // Each start code of 3 or more bytes becomes 4: at most n / 3 more bytes.
    video_ = static_cast<uint8_t *>(std::malloc(n + n / 3 + 4));
    if (video_ == nullptr) return false;
    uint32_t out = 0;
    size_t pos = 0;
    std::span<const uint8_t> nal;
    while (es::next_nal_unit({s, n}, &pos, &nal)) {
        const auto size = static_cast<uint32_t>(nal.size());
        uint8_t *p = video_ + out;
        p[0] = uint8_t(size >> 24), p[1] = uint8_t(size >> 16), p[2] = uint8_t(size >> 8);
        p[3] = uint8_t(size);
        std::memcpy(p + 4, nal.data(), size);
        if (!nals_.push_back(Nal{out, size, static_cast<uint8_t>(nal[0] & 0x1f)})) return false;
        out += 4 + size;
    }
    return true;
}

// The whole ADTS frames of the audio file (bytes that do not start one are
// skipped up to the next syncword), as audio steps.
bool Clip::index_audio(mp4::GrowableArray<Step> *frames) {
    size_t pos = 0;
    std::span<const uint8_t> frame;
    while (es::next_adts_frame({audio_file_.data, audio_file_.size}, &pos, &frame)) {
        if (!frames->push_back(Step{Step::kAudio, true,
                                    static_cast<uint32_t>(frame.size() - kAdtsHeader),
                                    frame.data() + kAdtsHeader}))
            return false;
    }
    return true;
}

bool Clip::add(Step::Kind kind, bool sync, const uint8_t *data, uint32_t size) {
    return steps_.push_back(Step{kind, sync, size, data});
}

bool Clip::load(const char *video_path, const char *audio_path, int fps, double seconds,
                const char **error) {
    if (fps <= 0 || fps > 255) return *error = "frame rate outside 1..255", false;
    fps_ = static_cast<uint32_t>(fps);
    if (!map(video_path, &video_file_)) return *error = "cannot read the video file", false;
    if (!map(audio_path, &audio_file_)) return *error = "cannot read the audio file", false;
    mp4::GrowableArray<Step> audio;
    if (!index_video() || !index_audio(&audio)) return *error = "out of memory", false;

    uint32_t sps = 0;
    while (sps < nals_.size() && nals_[sps].type != es::kNalTypeSps) ++sps;
    if (sps + 1 >= nals_.size()) return *error = "no SPS followed by a PPS in the video", false;
    if (audio.empty()) return *error = "no ADTS frame in the audio", false;
    const uint8_t *first_adts = audio[0].data - kAdtsHeader;
    es::AdtsHeader first_header;
    es::parse_adts_header({first_adts, kAdtsHeader}, &first_header);
    audio_rate_ = es::adts_sampling_frequency(first_header.sampling_index);
    if (audio_rate_ == 0) return *error = "reserved ADTS sampling frequency", false;
    calc_aac_config(first_adts, aac_config_);

    sps_ = video_ + nals_[sps].at + 4;
    sps_size_ = nals_[sps].size;
    pps_ = video_ + nals_[sps + 1].at + 4;
    pps_size_ = nals_[sps + 1].size;
    es::SpsInfo info;
    if (sps_size_ < 4 || !es::parse_sps(sps_, sps_size_, &info))
        return *error = "the first SPS cannot be parsed", false;
    width_ = info.width;
    height_ = info.height;

    bool has_picture = false;
    for (const Nal &nal : nals_) has_picture |= nal.type == 1 || nal.type == 5;
    if (!has_picture) return *error = "no picture in the video", false;

    // Media time to counts, in integers: seconds to the millisecond.
    const bool loop = seconds > 0;
    const uint64_t ms = loop ? static_cast<uint64_t>(seconds * 1000 + 0.5) : 0;
    const uint64_t pictures = loop ? (ms * fps_ + 500) / 1000 : UINT64_MAX;
    const uint64_t audio_frames =
        loop ? (ms * audio_rate_ + kAacFrameSamples * 1000 - 1) / (kAacFrameSamples * 1000)
             : audio.size();

    uint32_t next_nal = sps + 2;
    uint64_t n = 0, k = 0;  // the next picture, the next AAC frame
    bool video_left = pictures > 0;
    while (video_left || k < audio_frames) {
        // Picture n at n / fps s against AAC frame k at k * 1024 / rate s.
        if (video_left && (k >= audio_frames || n * audio_rate_ <= k * kAacFrameSamples * fps_)) {
            // One picture: the parameter sets on the way, then its slice;
            // other NAL units are passed over, as the recorder does.
            bool picture = false;
            while (!picture) {
                if (next_nal == nals_.size()) {
                    if (!loop) break;
                    next_nal = 0;
                }
                const Nal &nal = nals_[next_nal++];
                const uint8_t *p = video_ + nal.at;
                bool ok = true;
                if (nal.type == es::kNalTypeSps) {
                    ok = add(Step::kSps, false, p + 4, nal.size);
                } else if (nal.type == es::kNalTypePps) {
                    ok = add(Step::kPps, false, p + 4, nal.size);
                } else if (nal.type == 1 || nal.type == 5) {
                    ok = add(Step::kVideo, nal.type == 5, p, 4 + nal.size);
                    picture = true;
                }
                if (!ok) return *error = "out of memory", false;
            }
            if (picture) ++video_samples_, ++n;
            video_left = picture && n < pictures;
        } else {
            if (!steps_.push_back(audio[static_cast<uint32_t>(k % audio.size())]))
                return *error = "out of memory", false;
            ++audio_samples_;
            ++k;
        }
    }
    return true;
}

bool Clip::write(const char *path) const {
    MP4FileHandle file = MP4CreateEx(path, 0, 1, 1, nullptr, 0, nullptr, 0);
    if (file == MP4_INVALID_FILE_HANDLE) return false;
    // Profile, compatibility and level: the SPS bytes after its header.
    const MP4TrackId video = MP4AddH264VideoTrack(file, kVideoTimeScale, kVideoTimeScale / fps_,
                                                  width_, height_, sps_[1], sps_[2], sps_[3], 3);
    MP4AddH264SequenceParameterSet(file, video, sps_, static_cast<uint16_t>(sps_size_));
    MP4AddH264PictureParameterSet(file, video, pps_, static_cast<uint16_t>(pps_size_));
    const MP4TrackId audio =
        MP4AddAudioTrack(file, audio_rate_, kAacFrameSamples, MP4_MPEG4_AUDIO_TYPE);
    bool ok = video != MP4_INVALID_TRACK_ID && audio != MP4_INVALID_TRACK_ID &&
              MP4SetTrackESConfiguration(file, audio, aac_config_, sizeof aac_config_) &&
              MP4SetTrackName(file, video, "6");
    for (const Step &s : steps_) {
        if (!ok) break;
        switch (s.kind) {
            case Step::kSps:
                MP4AddH264SequenceParameterSet(file, video, s.data, static_cast<uint16_t>(s.size));
                break;
            case Step::kPps:
                MP4AddH264PictureParameterSet(file, video, s.data, static_cast<uint16_t>(s.size));
                break;
            case Step::kVideo:
                ok = MP4WriteSample(file, video, s.data, s.size, MP4_INVALID_DURATION, 0, s.sync);
                break;
            case Step::kAudio:
                ok = MP4WriteSample(file, audio, s.data, s.size, MP4_INVALID_DURATION, 0, true);
                break;
        }
    }
    MP4Close(file, 0);
    return ok;
}

}  // namespace clip_mux

#include "clip_builder.h"

#include <elementary_streams/h264_params.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "media_split.h"
#include "recorder/aac_config.h"

namespace clip_builder {
namespace {

uint32_t be32(const Bytes &b, uint64_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

struct Media {
    std::vector<media_split::Frame> nals, adts;
};

const Media &media() {
    static const Media m{
        media_split::split_annexb(media_split::read_file(MP4_TEST_DATA_DIR "/video_15fps.h264")),
        media_split::split_adts(media_split::read_file(MP4_TEST_DATA_DIR "/audio_8k_mono.aac"))};
    return m;
}

}  // namespace

Bytes length_prefixed_sample(Bytes nal) {
    const uint32_t n = uint32_t(nal.size() - 4);
    nal[0] = uint8_t(n >> 24), nal[1] = uint8_t(n >> 16), nal[2] = uint8_t(n >> 8), nal[3] = uint8_t(n);
    return nal;
}

bool write_file(const std::string &path, const Bytes &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string temp_path(const std::string &prefix, const std::string &name) {
    std::string p = prefix + "_" + name + "_" + std::to_string(getpid()) + ".mp4";
    std::replace(p.begin(), p.end(), ' ', '_');
    return testing::TempDir() + p;
}

Built build(const std::string &path, const Plan &plan, const MP4Output *output,
            const std::function<void(const Built &)> &at_checkpoint) {
    Built out;
    const Media &m = media();
    const bool recorder = plan.kind == Kind::kRecorderClip;
    const int fd = output ? -1 : open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if ((!output && fd < 0) || m.nals.size() < 2 || m.adts.empty()) return out;
    size_t nal = 0;
    while (nal + 1 < m.nals.size() && media_split::nal_type(m.nals[nal]) != 7) ++nal;
    const media_split::Frame &sps_nal = m.nals[nal], &pps_nal = m.nals[nal + 1];
    elementary_streams::SpsInfo sps{};
    bool ok = elementary_streams::parse_sps(sps_nal.data() + 4, uint32_t(sps_nal.size() - 4), &sps) &&
              media_split::nal_type(pps_nal) == 8;

    const int steps = plan.checkpointed + plan.appended;
    const uint32_t n = uint32_t(std::max(steps - 1, 0));  // a recorder clip's seconds
    const MP4ClipReserve reserve = recorder ? MP4ClipReserve{(n + 2) * 30, 8 * n + 2, 2 * (n + 2) + 8, 4, 4}
                                   : plan.kind == Kind::kOutgrownClip ? MP4ClipReserve{}
                                                                      : MP4ClipReserve{200, 100, 40, 2, 2};
    MP4FileHandle h = plan.kind == Kind::kMoovAtEnd ? MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0)
                      : output                 ? MP4CreateClip(output, &reserve)
                                                    : MP4CreateClipOnFd(fd, &reserve);
    ok = ok && h != MP4_INVALID_FILE_HANDLE;
    const auto size = [&] {
        struct stat st {};
        fstat(fd, &st);
        return uint64_t(st.st_size);
    };
    const MP4TrackId v = MP4AddH264VideoTrack(h, 90000, 90000 / kVideoPerStep, sps.width, sps.height,
                                              sps_nal[5], sps_nal[6], sps_nal[7], 3);
    // Parameter sets go into the track; pictures are written as samples
    // (true); anything else is skipped, as the recorder skips SEI (false).
    const auto put_nal = [&](const media_split::Frame &f) {
        const uint8_t type = media_split::nal_type(f);
        if (type == 7) MP4AddH264SequenceParameterSet(h, v, f.data() + 4, uint16_t(f.size() - 4));
        if (type == 8) MP4AddH264PictureParameterSet(h, v, f.data() + 4, uint16_t(f.size() - 4));
        if (type != 1 && type != 5) return false;
        const Bytes &s = out.samples[0].emplace_back(length_prefixed_sample(f));
        ok = ok && MP4WriteSample(h, v, s.data(), uint32_t(s.size()), MP4_INVALID_DURATION, 0, type == 5);
        return true;
    };
    if (recorder) {
        put_nal(m.nals[nal++]);
        put_nal(m.nals[nal++]);
    }
    const MP4TrackId a = MP4AddAudioTrack(h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
    uint8_t asc[2];
    calc_aac_config(m.adts[0].data(), asc);  // that frame only configures the track
    ok = ok && v != 0 && a != 0 && MP4SetTrackESConfiguration(h, a, asc, sizeof asc);
    if (recorder) MP4SetTrackName(h, v, "6");
    size_t frame = 1;
    const auto put_frame = [&] {
        const media_split::Frame &f = m.adts[frame++];
        const Bytes &s = out.samples[1].emplace_back(f.begin() + 7, f.end());
        ok = ok && MP4WriteSample(h, a, s.data(), uint32_t(s.size()), MP4_INVALID_DURATION, 0, true);
    };
    const auto checkpoint = [&] {
        ok = ok && MP4Checkpoint(h);
        if (fd >= 0) out.size_at.push_back(size());
        if (at_checkpoint) at_checkpoint(out);
    };
    if (fd >= 0) out.size_at.push_back(size());

    const size_t pictures = size_t(steps) * kVideoPerStep;
    if (recorder) {
        // One AAC frame ahead of each NAL unit, a checkpoint after each
        // second of pictures.
        for (; ok && nal < m.nals.size() && out.samples[0].size() < pictures; ++nal) {
            if (out.samples[1].size() < kAudioPerStep * n + 1 && frame < m.adts.size()) put_frame();
            if (!put_nal(m.nals[nal])) continue;
            const size_t done = out.samples[0].size();
            if (done % kVideoPerStep == 0 && done / kVideoPerStep <= size_t(plan.checkpointed)) checkpoint();
        }
    } else {
        // Each step a second of pictures, then a second of AAC frames.
        for (int step = 0; ok && step < steps; ++step) {
            for (uint32_t p = 0; ok && p < kVideoPerStep && nal < m.nals.size(); ++nal) p += put_nal(m.nals[nal]);
            for (uint32_t i = 0; ok && i < kAudioPerStep && frame < m.adts.size(); ++i) put_frame();
            if (ok && step < plan.checkpointed) checkpoint();
        }
    }
    if (plan.finish) {
        ok = MP4CloseChecked(h) && ok;
        if (fd >= 0) out.bytes = media_split::read_file(path);
    } else if (fd >= 0) {
        // A crash: what the file holds now is all there is.  The close
        // only frees the handle; its writes are undone.
        out.bytes = media_split::read_file(path);
        MP4Close(h, 0);
        write_file(path, out.bytes);
    } else {
        MP4Close(h, 0);  // its writes reach the caller's output: the crash is the caller's to stage
    }
    if (fd >= 0) close(fd);
    out.ok = ok;
    return out;
}

Geometry geometry(const Bytes &file) {
    Geometry g;
    if (file.size() < 16) return g;
    g.h = be32(file, 0);
    static const char kMdat[] = "mdat";
    const auto it = std::search(file.begin() + long(g.h), file.end(), kMdat, kMdat + 4);
    if (it == file.end()) return g;
    g.mdat = uint64_t(it - file.begin()) - 4;
    g.slot = (g.mdat - g.h - 8) / 3;
    g.active = g.slot == 0 ? -1 : int((be32(file, g.h) - 8) / g.slot);
    return g;
}

void zero_active_slot(Bytes &file) {
    const Geometry g = geometry(file);
    std::fill_n(file.begin() + long(g.slot_at(g.active)), g.slot, 0);
}

Recovered recover(const std::string &path) {
    Recovered r;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return r;
    r.opened = true;
    r.result = MP4RecoverClip(fd, &r.report);
    close(fd);
    r.after = media_split::read_file(path);
    return r;
}

}  // namespace clip_builder

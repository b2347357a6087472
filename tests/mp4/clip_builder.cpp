#include "clip_builder.h"

#include <fcntl.h>
#include <mp4/mp4_writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "media_split.h"

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

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

Built build(const std::string &path, const Plan &plan) {
    Built out;
    const Media &m = media();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || m.nals.size() < 2 || m.adts.empty()) return out;
    const MP4ClipReserve reserve = plan.kind == Kind::kOutgrownClip
                                       ? MP4ClipReserve{}
                                       : MP4ClipReserve{200, 100, 40, 2, 2};
    MP4FileHandle h = plan.kind == Kind::kMoovAtEnd
                          ? MP4CreateEx(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0)
                          : MP4CreateClipOnFd(fd, &reserve);
    const auto size = [&] {
        struct stat st {};
        fstat(fd, &st);
        return uint64_t(st.st_size);
    };
    const media_split::Frame &sps = m.nals[0];
    const MP4TrackId v = MP4AddH264VideoTrack(h, 90000, 6000, 640, 360, sps[5], sps[6], sps[7], 3);
    const MP4TrackId a = MP4AddAudioTrack(h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
    const uint8_t asc[2] = {0x15, 0x88};  // AAC-LC, 8000 Hz, mono
    MP4SetTrackESConfiguration(h, a, asc, 2);
    size_t nal = 0, frame = 1;
    bool ok = v != 0 && a != 0;
    out.size_at.push_back(size());
    for (int step = 0; ok && step < plan.checkpointed + plan.appended; ++step) {
        for (uint32_t pictures = 0; ok && pictures < kVideoPerStep && nal < m.nals.size(); ++nal) {
            media_split::Frame f = m.nals[nal];
            const uint8_t type = media_split::nal_type(f);
            if (type == 7) MP4AddH264SequenceParameterSet(h, v, f.data() + 4, uint16_t(f.size() - 4));
            if (type == 8) MP4AddH264PictureParameterSet(h, v, f.data() + 4, uint16_t(f.size() - 4));
            if (type != 1 && type != 5) continue;
            const uint32_t n = uint32_t(f.size() - 4);
            f[0] = uint8_t(n >> 24), f[1] = uint8_t(n >> 16), f[2] = uint8_t(n >> 8), f[3] = uint8_t(n);
            ok = MP4WriteSample(h, v, f.data(), uint32_t(f.size()), MP4_INVALID_DURATION, 0, type == 5);
            ++pictures;
        }
        for (uint32_t i = 0; ok && i < kAudioPerStep && frame < m.adts.size(); ++i, ++frame)
            ok = MP4WriteSample(h, a, m.adts[frame].data() + 7, uint32_t(m.adts[frame].size() - 7),
                                MP4_INVALID_DURATION, 0, true);
        if (ok && step < plan.checkpointed) {
            ok = MP4Checkpoint(h);
            out.size_at.push_back(size());
        }
    }
    if (plan.finish) {
        ok = MP4CloseChecked(h) && ok;
        out.bytes = read_file(path);
    } else {
        // A crash: what the file holds now is all there is.  The close
        // only frees the handle; its writes are undone.
        out.bytes = read_file(path);
        MP4Close(h, 0);
        write_file(path, out.bytes);
    }
    close(fd);
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

}  // namespace clip_builder

// mp4v2_api.cpp - the C interface: handle and track checks around Mp4File.
//
// A handle is only ever compared with the files this library has open, never
// dereferenced before it is found among them, so stale, foreign or null
// handles are harmless.  One mutex serialises the calls, which keeps that
// list and each file consistent when threads share the library.
#include <mp4/mp4_writer.h>
#include <mp4v2/mp4v2.h>
#include <pthread.h>

#include <cstring>

#include "mp4_file.h"

namespace {

using mp4::Mp4File;
using mp4::Track;
using mp4::TrackKind;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Mp4File *g_open_files = nullptr;  // guarded by g_lock

class Lock {
  public:
    Lock() { pthread_mutex_lock(&g_lock); }
    ~Lock() { pthread_mutex_unlock(&g_lock); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

Mp4File *open_file(MP4FileHandle h) {
    for (Mp4File *f = g_open_files; f != nullptr; f = f->next_open)
        if (static_cast<void *>(f) == h) return f;
    return nullptr;
}

Track *find_track(MP4FileHandle h, MP4TrackId id, TrackKind kind) {
    Mp4File *f = open_file(h);
    Track *t = f != nullptr ? f->track(id) : nullptr;
    return t != nullptr && t->kind == kind ? t : nullptr;
}

void add_parameter_set(MP4FileHandle h, MP4TrackId id, mp4::AvcSampleEntries::Kind kind,
                       const uint8_t *nal, uint16_t size) {
    if (nal == nullptr || size == 0) return;
    Lock lock;
    if (Track *t = find_track(h, id, TrackKind::kVideo)) t->avc.add(kind, nal, size);
}

// A file just created joins the list of open ones; nullptr stays invalid.
MP4FileHandle register_open(Mp4File *f) {
    if (f == nullptr) return MP4_INVALID_FILE_HANDLE;
    Lock lock;
    f->next_open = g_open_files;
    g_open_files = f;
    return f;
}

}  // namespace

extern "C" {

MP4FileHandle MP4CreateEx(const char *fileName, uint32_t /*flags*/, int add_ftyp, int add_iods,
                          char *majorBrand, uint32_t minorVersion, char **compatibleBrands,
                          uint32_t compatibleBrandsCount) {
    const Mp4File::Head head{add_ftyp != 0, add_iods != 0,    majorBrand,
                             minorVersion,  compatibleBrands, compatibleBrandsCount};
    return register_open(Mp4File::create(fileName, head));
}

// MP4_WRITER_MP4V2_ONLY builds the mp4v2 calls alone: a stand-in for an
// installed mp4v2, with which the USE_SYSTEM_MP4V2 build is checked.
#ifndef MP4_WRITER_MP4V2_ONLY
namespace {

MP4FileHandle open_clip(const MP4Output &out, const MP4ClipReserve *reserve) {
    if (reserve == nullptr) return MP4_INVALID_FILE_HANDLE;
    const Mp4File::Head head{true, true, nullptr, 0, nullptr, 0};
    return register_open(Mp4File::create_clip(out, head, *reserve));
}

}  // namespace

MP4FileHandle MP4CreateClip(const MP4Output *output, const MP4ClipReserve *reserve) {
    return output != nullptr ? open_clip(*output, reserve) : MP4_INVALID_FILE_HANDLE;
}

MP4FileHandle MP4CreateClipOnFd(int fd, const MP4ClipReserve *reserve) {
    return fd >= 0 ? open_clip(mp4::fd_output(fd), reserve) : MP4_INVALID_FILE_HANDLE;
}

bool MP4Checkpoint(MP4FileHandle hFile) {
    Lock lock;
    Mp4File *f = open_file(hFile);
    return f != nullptr && f->checkpoint();
}

bool MP4SetTrackStartDelay(MP4FileHandle hFile, MP4TrackId trackId, uint32_t delay_ms) {
    Lock lock;
    Mp4File *f = open_file(hFile);
    Track *t = f != nullptr ? f->track(trackId) : nullptr;
    if (t == nullptr) return false;
    t->start_delay = delay_ms;
    return true;
}
#endif

MP4TrackId MP4AddH264VideoTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                                uint16_t width, uint16_t height, uint8_t AVCProfileIndication,
                                uint8_t profile_compat, uint8_t AVCLevelIndication,
                                uint8_t sampleLenFieldSizeMinusOne) {
    Lock lock;
    Mp4File *f = open_file(hFile);
    if (f == nullptr) return MP4_INVALID_TRACK_ID;
    return f->add_video_track(timeScale, sampleDuration, width, height, AVCProfileIndication,
                              profile_compat, AVCLevelIndication, sampleLenFieldSizeMinusOne);
}

void MP4AddH264SequenceParameterSet(MP4FileHandle hFile, MP4TrackId trackId,
                                    const uint8_t *pSequence, uint16_t sequenceLen) {
    add_parameter_set(hFile, trackId, mp4::AvcSampleEntries::Kind::kSps, pSequence, sequenceLen);
}

void MP4AddH264PictureParameterSet(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t *pPict,
                                   uint16_t pictLen) {
    add_parameter_set(hFile, trackId, mp4::AvcSampleEntries::Kind::kPps, pPict, pictLen);
}

MP4TrackId MP4AddAudioTrack(MP4FileHandle hFile, uint32_t timeScale, MP4Duration sampleDuration,
                            uint8_t audioType) {
    Lock lock;
    Mp4File *f = open_file(hFile);
    if (f == nullptr) return MP4_INVALID_TRACK_ID;
    return f->add_audio_track(timeScale, sampleDuration, audioType);
}

bool MP4SetTrackESConfiguration(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t *pConfig,
                                uint32_t configSize) {
    // A descriptor's length has 28 bits; a decoder configuration is a few bytes.
    constexpr uint32_t kMaxConfigSize = 1u << 16;
    if ((pConfig == nullptr && configSize > 0) || configSize > kMaxConfigSize) return false;
    Lock lock;
    Track *t = find_track(hFile, trackId, TrackKind::kAudio);
    if (t == nullptr) return false;
    if (!t->es_config.reserve(configSize)) return false;
    t->es_config.clear();
    return t->es_config.append(pConfig, configSize);
}

bool MP4SetTrackName(MP4FileHandle hFile, MP4TrackId trackId, const char *name) {
    if (name == nullptr) return false;
    const size_t n = std::strlen(name);
    if (n > UINT16_MAX) return false;
    Lock lock;
    Mp4File *f = open_file(hFile);
    Track *t = f != nullptr ? f->track(trackId) : nullptr;
    if (t == nullptr) return false;
    if (!t->name.reserve(n)) return false;
    t->name.clear();
    return t->name.append(reinterpret_cast<const uint8_t *>(name), static_cast<uint32_t>(n));
}

bool MP4WriteSample(MP4FileHandle hFile, MP4TrackId trackId, const uint8_t *pBytes,
                    uint32_t numBytes, MP4Duration duration, MP4Duration renderingOffset,
                    bool isSyncSample) {
    Lock lock;
    Mp4File *f = open_file(hFile);
    Track *t = f != nullptr ? f->track(trackId) : nullptr;
    if (t == nullptr) return false;
    return f->write_sample(*t, pBytes, numBytes, duration, renderingOffset, isSyncSample);
}

}  // extern "C"

namespace {

bool close_file(MP4FileHandle hFile) {
    Lock lock;
    for (Mp4File **link = &g_open_files; *link != nullptr; link = &(*link)->next_open) {
        if (static_cast<void *>(*link) != hFile) continue;
        Mp4File *f = *link;
        *link = f->next_open;
        const bool whole = f->finish();
        mp4::destroy(f);
        return whole;
    }
    return false;
}

}  // namespace

extern "C" {

#ifndef MP4_WRITER_MP4V2_ONLY
bool MP4CloseChecked(MP4FileHandle hFile) {
    return close_file(hFile);
}
#endif

void MP4Close(MP4FileHandle hFile, uint32_t /*flags*/) {
    (void)close_file(hFile);
}

}  // extern "C"

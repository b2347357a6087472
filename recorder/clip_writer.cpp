// clip_writer.cpp - the clip's file side and the queue that feeds it; who
// owns what when is in clip_writer.h.
#include "recorder/clip_writer.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace recorder {

namespace {

// A batch of samples worth waking the file side for before the next
// checkpoint asks for it.
constexpr uint32_t kWriteBatchBytes = 128u << 10;

enum class Call : uint8_t {
    kVideoTrack,
    kSequenceParameterSet,
    kPictureParameterSet,
    kAudioTrack,
    kEsConfiguration,
    kStartDelay,
    kTrackName,
    kSample,
    kCheckpoint,
};

// A pthread call on this file's own mutex, conditions, thread or signal
// mask fails only when misused: that is a broken program, not a condition
// to carry on from.
void must(int result) {
    if (result != 0) std::abort();
}

}  // namespace

struct ClipCommand {
    ClipCommand *next;
    uint32_t bytes;        // the allocation, as counted against the bound
    uint32_t size;         // the payload, which follows the command
    MP4Duration duration;  // tracks: the sample duration; kSample: the sample's
    MP4TrackId track;
    uint32_t value;  // tracks: the time scale; kStartDelay: milliseconds
    uint16_t width, height;
    Call call;
    uint8_t type;  // kVideoTrack: NAL length size - 1; kAudioTrack: the audio type
    bool sync;

    uint8_t *payload() { return reinterpret_cast<uint8_t *>(this + 1); }
    const uint8_t *payload() const { return reinterpret_cast<const uint8_t *>(this + 1); }
};

namespace {

// A command for `call` with a copy of `size` bytes; nullptr without memory.
ClipCommand *new_command(Call call, const void *bytes, uint32_t size) {
    auto *c = static_cast<ClipCommand *>(std::malloc(sizeof(ClipCommand) + size));
    if (c == nullptr) return nullptr;
    std::memset(c, 0, sizeof *c);
    c->bytes = static_cast<uint32_t>(sizeof(ClipCommand)) + size;
    c->size = size;
    c->call = call;
    if (size > 0) std::memcpy(c->payload(), bytes, size);
    return c;
}

}  // namespace

void ClipWriter::lock() {
    must(pthread_mutex_lock(&mutex_));
}

void ClipWriter::unlock() {
    must(pthread_mutex_unlock(&mutex_));
}

bool ClipWriter::start(int fd, const MP4Output *output, const MP4ClipReserve &reserve,
                       uint32_t bound, bool wait_for_storage) {
    fd_ = fd;
    output_ = output;
    reserve_ = reserve;
    bound_ = bound;
    batch_ = bound / 2 < kWriteBatchBytes ? bound / 2 : kWriteBatchBytes;
    wait_for_storage_ = wait_for_storage;
    // The file side runs with the stop signals blocked, so a stop request
    // always reaches the reading side, which ends the clip.
    sigset_t stops, before;
    must(sigemptyset(&stops));
    must(sigaddset(&stops, SIGTERM));
    must(sigaddset(&stops, SIGINT));
    must(sigaddset(&stops, SIGHUP));
    must(pthread_sigmask(SIG_BLOCK, &stops, &before));
    const int err = pthread_create(&thread_, nullptr, run, this);
    must(pthread_sigmask(SIG_SETMASK, &before, nullptr));
    if (err != 0) {
        errno = err;
        return false;
    }
    started_ = true;
    return true;
}

void *ClipWriter::run(void *self) {
    static_cast<ClipWriter *>(self)->serve();
    return nullptr;
}

// Work for the file side: a call storage should see now, or a batch.
bool ClipWriter::work_due() const {
    return head_ != nullptr && (checkpoints_ > 0 || ending_ || room_wanted_ || queued_ >= batch_);
}

void ClipWriter::serve() {
    errno = 0;
    file_ =
        output_ != nullptr ? MP4CreateClip(output_, &reserve_) : MP4CreateClipOnFd(fd_, &reserve_);
    const int create_error = errno;
    lock();
    if (file_ == MP4_INVALID_FILE_HANDLE) {
        failure_ = FileFailure::kCreate;
        error_ = create_error;
    }
    for (;;) {
        while (!(ending_ && head_ == nullptr) && !work_due())
            must(pthread_cond_wait(&work_, &mutex_));
        ClipCommand *c = head_;
        if (c == nullptr) break;  // the end, every call made
        head_ = c->next;
        if (head_ == nullptr) tail_ = nullptr;
        const bool make = failure_ == FileFailure::kNone;
        unlock();

        FileFailure failed = FileFailure::kNone;
        const int err = make && !make_call(*c, &failed) ? errno : 0;
        const uint32_t bytes = c->bytes;
        const bool was_checkpoint = c->call == Call::kCheckpoint;
        std::free(c);
        if (failed != FileFailure::kNone) {
            // Nothing more is written: the file keeps its last checkpoint.
            MP4Close(file_, 0);
            file_ = MP4_INVALID_FILE_HANDLE;
        }

        lock();
        queued_ -= bytes;
        if (was_checkpoint) --checkpoints_;
        if (failed != FileFailure::kNone) {
            failure_ = failed;
            error_ = err;
        }
        must(pthread_cond_broadcast(&room_));
    }
    const bool keep = keep_;
    unlock();

    if (file_ == MP4_INVALID_FILE_HANDLE) return;
    if (!keep) {
        MP4Close(file_, 0);
    } else {
        errno = 0;
        closed_whole_ = MP4CloseChecked(file_);
        const int err = errno;
        if (!closed_whole_) {
            lock();
            failure_ = FileFailure::kWrite;
            error_ = err;
            unlock();
        }
    }
    file_ = MP4_INVALID_FILE_HANDLE;
}

// Makes one call; false (errno set, *failure saying which) when a call whose
// result matters failed.  The parameter sets, the audio configuration, the
// start delay and the name are taken as given, their results unexamined.
bool ClipWriter::make_call(const ClipCommand &c, FileFailure *failure) {
    errno = 0;
    const uint8_t *p = c.payload();
    bool ok = true;
    switch (c.call) {
        case Call::kVideoTrack:
            ok = MP4AddH264VideoTrack(file_, c.value, c.duration, c.width, c.height, p[0], p[1],
                                      p[2], c.type) == kVideoTrackId;
            if (!ok) *failure = FileFailure::kVideoTrack;
            break;
        case Call::kSequenceParameterSet:
            MP4AddH264SequenceParameterSet(file_, c.track, p, static_cast<uint16_t>(c.size));
            break;
        case Call::kPictureParameterSet:
            MP4AddH264PictureParameterSet(file_, c.track, p, static_cast<uint16_t>(c.size));
            break;
        case Call::kAudioTrack:
            ok = MP4AddAudioTrack(file_, c.value, c.duration, c.type) == kAudioTrackId;
            if (!ok) *failure = FileFailure::kAudioTrack;
            break;
        case Call::kEsConfiguration:
            MP4SetTrackESConfiguration(file_, c.track, p, c.size);
            break;
        case Call::kStartDelay:
            MP4SetTrackStartDelay(file_, c.track, c.value);
            break;
        case Call::kTrackName:
            MP4SetTrackName(file_, c.track, reinterpret_cast<const char *>(p));
            break;
        case Call::kSample:
            ok = MP4WriteSample(file_, c.track, p, c.size, c.duration, 0, c.sync);
            if (!ok) *failure = FileFailure::kWrite;
            break;
        case Call::kCheckpoint:
            ok = MP4Checkpoint(file_);
            if (!ok) *failure = FileFailure::kWrite;
            break;
    }
    return ok;
}

bool ClipWriter::queue(ClipCommand *c) {
    if (c == nullptr) {
        refusal_ = Refusal::kNoMemory;
        return false;
    }
    lock();
    if (wait_for_storage_) {
        // A command larger than the bound still goes into an empty queue.
        room_wanted_ = true;
        while (failure_ == FileFailure::kNone && queued_ != 0 && queued_ + c->bytes > bound_) {
            must(pthread_cond_signal(&work_));
            must(pthread_cond_wait(&room_, &mutex_));
        }
        room_wanted_ = false;
    }
    Refusal refused = Refusal::kNone;
    if (failure_ != FileFailure::kNone)
        refused = Refusal::kFailed;
    else if (queued_ + c->bytes > bound_ && !(wait_for_storage_ && queued_ == 0))
        refused = Refusal::kFull;
    if (refused == Refusal::kNone) {
        c->next = nullptr;
        (tail_ != nullptr ? tail_->next : head_) = c;
        tail_ = c;
        queued_ += c->bytes;
        if (c->call == Call::kCheckpoint) ++checkpoints_;
        if (work_due()) must(pthread_cond_signal(&work_));
    }
    unlock();
    if (refused == Refusal::kNone) return true;
    std::free(c);
    refusal_ = refused;
    return false;
}

bool ClipWriter::add_h264_video_track(uint32_t time_scale, MP4Duration sample_duration,
                                      uint16_t width, uint16_t height, uint8_t profile,
                                      uint8_t compat, uint8_t level,
                                      uint8_t length_size_minus_one) {
    const uint8_t avc[3] = {profile, compat, level};
    ClipCommand *c = new_command(Call::kVideoTrack, avc, sizeof avc);
    if (c != nullptr) {
        c->value = time_scale;
        c->duration = sample_duration;
        c->width = width;
        c->height = height;
        c->type = length_size_minus_one;
    }
    return queue(c);
}

bool ClipWriter::add_h264_parameter_set(MP4TrackId track, bool sps, const uint8_t *bytes,
                                        uint16_t length) {
    ClipCommand *c =
        new_command(sps ? Call::kSequenceParameterSet : Call::kPictureParameterSet, bytes, length);
    if (c != nullptr) c->track = track;
    return queue(c);
}

bool ClipWriter::add_audio_track(uint32_t time_scale, MP4Duration sample_duration,
                                 uint8_t audio_type) {
    ClipCommand *c = new_command(Call::kAudioTrack, nullptr, 0);
    if (c != nullptr) {
        c->value = time_scale;
        c->duration = sample_duration;
        c->type = audio_type;
    }
    return queue(c);
}

bool ClipWriter::set_track_es_configuration(MP4TrackId track, const uint8_t *config,
                                            uint32_t size) {
    ClipCommand *c = new_command(Call::kEsConfiguration, config, size);
    if (c != nullptr) c->track = track;
    return queue(c);
}

bool ClipWriter::set_track_start_delay(MP4TrackId track, uint32_t delay_ms) {
    ClipCommand *c = new_command(Call::kStartDelay, nullptr, 0);
    if (c != nullptr) c->track = track, c->value = delay_ms;
    return queue(c);
}

bool ClipWriter::set_track_name(MP4TrackId track, const char *name) {
    ClipCommand *c =
        new_command(Call::kTrackName, name, static_cast<uint32_t>(std::strlen(name) + 1));
    if (c != nullptr) c->track = track;
    return queue(c);
}

bool ClipWriter::write_sample(MP4TrackId track, const uint8_t *bytes, uint32_t size,
                              MP4Duration duration, bool sync) {
    ClipCommand *c = new_command(Call::kSample, bytes, size);
    if (c != nullptr) c->track = track, c->duration = duration, c->sync = sync;
    return queue(c);
}

bool ClipWriter::checkpoint() {
    return queue(new_command(Call::kCheckpoint, nullptr, 0));
}

bool ClipWriter::checkpoint_pending() {
    lock();
    while (wait_for_storage_ && checkpoints_ > 0 && failure_ == FileFailure::kNone)
        must(pthread_cond_wait(&room_, &mutex_));
    const bool pending = checkpoints_ > 0;
    unlock();
    return pending;
}

bool ClipWriter::failed() {
    lock();
    const bool failed = failure_ != FileFailure::kNone;
    unlock();
    return failed;
}

FileFailure ClipWriter::failure(int *error) {
    lock();
    const FileFailure f = failure_;
    *error = error_;
    unlock();
    return f;
}

bool ClipWriter::finish(bool keep) {
    if (!started_ || joined_) return closed_whole_;
    lock();
    ending_ = true;
    keep_ = keep;
    must(pthread_cond_signal(&work_));
    unlock();
    must(pthread_join(thread_, nullptr));
    joined_ = true;
    return closed_whole_;
}

}  // namespace recorder

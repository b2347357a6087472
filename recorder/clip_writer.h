// clip_writer.h - the clip's file side: one thread that makes the clip's MP4
// calls, in the order and with the arguments the clip assembly hands them
// over, from a bounded queue of copied frames in memory.  The assembly
// (the reading side) queues a call and goes on reading the ring: it never
// waits on storage, however long a flush or a file creation takes.
//
// The hand-off, by field (one mutex guards every field marked "shared"):
//   - A call travels as a ClipCommand that the reading side allocates and fills
//     whole (its payload copied out of the frame buffer) while it alone holds
//     it.  Linking it at the tail and adding its size to queued_ happen under
//     the mutex; the unlock publishes it, and from then on it is the file
//     side's, which frees it once the call is made.
//   - The file side unlinks the head under the mutex, makes the call without
//     the mutex (storage may take seconds), frees the command and only then,
//     under the mutex, takes its size off queued_: queued_ counts every byte
//     the queue holds, the call in progress included, and never exceeds the
//     bound.  A command the bound has no room for is refused (or, for a
//     source that loses nothing by waiting, waited for).
//   - Calls are made strictly in queue order, so a checkpoint (MP4Checkpoint:
//     one flush, then the movie box made current) comes after every sample
//     queued before it, and a movie box is published only after the flush of
//     the samples it describes.  checkpoints_ counts the checkpoints queued
//     or in progress.
//   - The file side's first failed call is recorded (failure_, error_) under
//     the mutex; it then closes the file as it stands and makes no further
//     call, freeing what it takes.  The reading side learns of it at its next
//     look (failed()) or push.
//   - finish() sets ending_ under the mutex; the file side, once it has made
//     every call queued before, closes the file, and the join hands its
//     results to the reading side.
// The file side wakes for work that storage should see now (a checkpoint,
// the end, a reader waiting for room) or once queued_ reaches a batch;
// samples in between wait in memory, where they are no less safe: only a
// checkpoint makes them part of the clip on storage.  It runs with SIGTERM,
// SIGINT and SIGHUP blocked, so a stop request reaches the reading side.
#ifndef RECORDER_CLIP_WRITER_H
#define RECORDER_CLIP_WRITER_H

#include <mp4/mp4_writer.h>
#include <pthread.h>
#include <stdint.h>

namespace recorder {

// The queue's bound: frames and calls not yet made, in bytes.  About two
// minutes of a 280 kbit/s stream: storage may stall that long before the
// clip has to end.
constexpr uint32_t kClipQueueBytes = 4u << 20;

// The writer numbers tracks from 1 in the order they are added: the video
// track first, then the audio track.  The file side checks that it did.
constexpr MP4TrackId kVideoTrackId = 1;
constexpr MP4TrackId kAudioTrackId = 2;

// The file side's first failure, by the call that failed.
enum class FileFailure : uint8_t {
    kNone,
    kCreate,      // MP4CreateClip / MP4CreateClipOnFd
    kVideoTrack,  // MP4AddH264VideoTrack
    kAudioTrack,  // MP4AddAudioTrack
    kWrite,       // MP4WriteSample, MP4Checkpoint or MP4CloseChecked
};

// One queued call with its bytes (clip_writer.cpp).
struct ClipCommand;

// Why a call was not queued.
enum class Refusal : uint8_t {
    kNone,
    kFull,      // the queue is at its bound: storage did not keep up
    kNoMemory,  // no memory for the copy
    kFailed,    // the file side has failed (failure() says how)
};

class ClipWriter {
  public:
    ClipWriter() = default;
    ~ClipWriter() { (void)finish(false); }
    ClipWriter(const ClipWriter &) = delete;
    ClipWriter &operator=(const ClipWriter &) = delete;

    // Starts the file side, which first creates the clip on `output` (when
    // not null) or on `fd`.  `bound`: the queue's bound in bytes.
    // `wait_for_storage`: a full queue or a checkpoint still in progress
    // holds the reading side instead of refusing or being reported (for
    // sources that lose nothing by waiting).  False (errno set) when the
    // thread could not be started.
    bool start(int fd, const MP4Output *output, const MP4ClipReserve &reserve, uint32_t bound,
               bool wait_for_storage);

    // The MP4 calls, queued with copies of their bytes, each as its mp4v2
    // call without the file handle: true when queued, false when refused
    // (refusal() says why).
    bool add_h264_video_track(uint32_t time_scale, MP4Duration sample_duration, uint16_t width,
                              uint16_t height, uint8_t profile, uint8_t compat, uint8_t level,
                              uint8_t length_size_minus_one);
    // MP4AddH264SequenceParameterSet (`sps`) or MP4AddH264PictureParameterSet.
    bool add_h264_parameter_set(MP4TrackId track, bool sps, const uint8_t *bytes, uint16_t length);
    bool add_audio_track(uint32_t time_scale, MP4Duration sample_duration, uint8_t audio_type);
    bool set_track_es_configuration(MP4TrackId track, const uint8_t *config, uint32_t size);
    bool set_track_start_delay(MP4TrackId track, uint32_t delay_ms);
    bool set_track_name(MP4TrackId track, const char *name);
    // MP4WriteSample with a rendering offset of 0.
    bool write_sample(MP4TrackId track, const uint8_t *bytes, uint32_t size, MP4Duration duration,
                      bool sync);
    bool checkpoint();

    // Whether a checkpoint is queued or in progress (with wait_for_storage:
    // waits until none is, and answers false).
    bool checkpoint_pending();
    bool failed();
    // The file side's first failure and its errno (0 when none was set).
    FileFailure failure(int *error);
    Refusal refusal() const { return refusal_; }

    // Ends the file side once every queued call is made, and joins it:
    // the clip is closed with MP4CloseChecked (`keep`) or MP4Close.  True
    // when the clip was closed whole; a second call does nothing more.
    bool finish(bool keep);

  private:
    static void *run(void *self);
    void serve();
    bool make_call(const ClipCommand &c, FileFailure *failure);
    bool queue(ClipCommand *c);
    bool work_due() const;
    void lock();
    void unlock();

    // Set by start() before the thread exists, read-only after.
    int fd_ = -1;
    const MP4Output *output_ = nullptr;
    MP4ClipReserve reserve_{};
    uint32_t bound_ = kClipQueueBytes;
    uint32_t batch_ = 0;
    bool wait_for_storage_ = false;
    // The reading side's own.
    bool started_ = false, joined_ = false;
    Refusal refusal_ = Refusal::kNone;
    pthread_t thread_{};
    // The file side's own while it runs; the reading side's after the join.
    MP4FileHandle file_ = MP4_INVALID_FILE_HANDLE;
    bool closed_whole_ = false;

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work_ = PTHREAD_COND_INITIALIZER;  // the file side waits for work
    // The reading side waits for room, or for a checkpoint to be done.
    pthread_cond_t room_ = PTHREAD_COND_INITIALIZER;
    // Shared.
    ClipCommand *head_ = nullptr, *tail_ = nullptr;
    uint32_t queued_ = 0;
    uint32_t checkpoints_ = 0;
    bool room_wanted_ = false;
    bool ending_ = false;
    bool keep_ = false;
    FileFailure failure_ = FileFailure::kNone;
    int error_ = 0;
};

}  // namespace recorder

#endif  // RECORDER_CLIP_WRITER_H

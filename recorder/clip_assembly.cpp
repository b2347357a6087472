// clip_assembly.cpp - the recorder's MP4 call sequence, written once.
//
// The loop alternates one audio and one video read, and sleeps only after a
// pass that found nothing: until a put into the channel it still needs
// (video while the video runs, then audio) or until a rule's time comes (a
// silent channel, the next checkpoint).  Audio ends after 8N + 1 samples
// (128 ms each at 8000 Hz), video with the first frame whose `sec` lies more
// than N seconds past the clip-start SPS's (an unsigned difference, so a
// producer whose second count restarts ends the video at once).  Samples
// carry the tracks' fixed durations; frame timestamps are not written
// (unless timestamp timing is asked for: see ClipOptions::timestamps).
//
// A video sample is one picture (picture.h), whether its slices came as
// frames of their own or in one frame with its parameter sets.  A picture
// is known to be complete only when a frame that does not continue it has
// been read, so the video step reads one frame ahead: with that frame
// already in the ring (the pre-roll, a file) the picture is written in the
// step of its last slice, and the call sequence is that of a frame per
// sample; live, it is written in the step that reads the next frame.
//
// The MP4 calls go, in this order and with these arguments, to the clip's
// file side (clip_writer.h), which makes them on a thread of its own.  This
// side only copies frames out of the ring and never waits on storage, so the
// time its rules measure is time it waited for frames.
//
// Durability: the first pass without a video frame means the pre-roll is
// read; from then on a checkpoint (one flush, then the movie box made
// current: see mp4/src/mp4_file.cpp) is asked for at least every second of
// the source's clock, once the one before it is done, so storage slower
// than that gets them as often as it can take them.  A clip ends early, and
// whole, on a stop request, when a channel it still needs has been silent
// for kSilenceMs, or when the queue to the file side is full (storage slower
// than the stream for long): it then ends at the last frame queued.  A
// write error ends it with the last checkpoint on storage for the caller to
// keep.
#include "recorder/clip_assembly.h"

#include <elementary_streams/adts.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "recorder/aac_config.h"
#include "recorder/picture.h"
#include "recorder/recorder.h"

namespace recorder {
namespace {

constexpr int kVideoChannel = MEDIA_CH_RECORD_VIDEO;
constexpr int kAudioChannel = MEDIA_CH_RECORD_AUDIO;
constexpr uint32_t kVideoTimeScale = 90000;
constexpr uint32_t kAudioTimeScale = 8000;
constexpr uint32_t kAudioSampleDuration = 1024;
constexpr uint32_t kPreAudioMs = 1000;
constexpr uint8_t kTypeP = MEDIA_FRAME_P, kTypeI = MEDIA_FRAME_I;
constexpr uint8_t kTypeSps = MEDIA_FRAME_SPS, kTypePps = MEDIA_FRAME_PPS;
static_assert(kTypeP == elementary_streams::kNalTypeSlice &&
              kTypeI == elementary_streams::kNalTypeIdrSlice);
constexpr uint64_t kCheckpointMs = 1000;
constexpr uint64_t kSilenceMs = 10000;  // a channel silent this long ends the clip
constexpr uint64_t kAudioGraceMs = 2000;  // no audio by then: a video-only clip
constexpr uint32_t kMaxGapMs = 2000;      // a larger ts step is a restarted producer
constexpr uint32_t kMaxAacFramesPerSecond = 48;  // 48 kHz

// Room for the movie box's tables: every picture of N + 1 seconds at up to
// twice the declared rate (at least 30 fps), 8N + 1 AAC frames, a chunk per
// second and track and some for parameter-set changes.  A clip that
// outgrows it still ends whole, with its movie box at the end.
// With timestamps, every picture may have a duration of its own and the
// audio runs at its own rate.
MP4ClipReserve reserve_for(int seconds, uint32_t fps, bool timestamps) {
    const uint32_t n = static_cast<uint32_t>(seconds) + 2;
    const uint32_t rate = 2 * fps > 30 ? 2 * fps : 30;
    const uint32_t audio = timestamps ? n * kMaxAacFramesPerSecond : 8 * n + 2;
    return MP4ClipReserve{n * rate, audio, 2 * n + 16, timestamps ? n * rate : 4, 4};
}

// How long a picture at `ts` lasts when the next video frame is at `next`:
// their distance (32-bit, so a wrapped millisecond clock is no jump), or the
// nominal duration when time went backwards or leapt (a restarted producer).
uint32_t picture_duration(uint32_t ts, uint32_t next, uint32_t nominal) {
    const uint32_t ms = next - ts;
    return ms == 0 || ms > kMaxGapMs ? nominal : ms * (kVideoTimeScale / 1000);
}

class Assembly {
  public:
    Assembly(const ClipSource &src, uint8_t *buffer, const ClipOptions &o)
        : src_(src), buf_(buffer), o_(o) {}
    ~Assembly() { std::free(spare_); }
    Assembly(const Assembly &) = delete;
    Assembly &operator=(const Assembly &) = delete;

    ClipResult run(const FrameInfo &start);

  private:
    uint64_t now() const { return src_.now_ms(src_.self); }
    bool stop_requested() const { return o_.stop != nullptr && *o_.stop != 0; }
    Read read_next(int channel) { return src_.next_frame(src_.self, channel, buf_, &rec_); }
    // Repeats `attempt` until it delivers, the source ends, `limit_ms`
    // passes, a stop is requested or the file side fails, sleeping until
    // a put into `channel` between attempts.
    template <class Attempt>
    Read wait_for(int channel, Attempt attempt, uint64_t limit_ms);
    ClipResult fail(const char *what, int err);
    // After the file side failed: one line saying what failed, and kFailed;
    // a failed write or flush leaves the file at its last checkpoint, for the
    // caller to bring back.
    ClipResult file_side_failed();
    // After a call was refused: the file side failed, or the clip ends at
    // the last frame queued.
    ClipResult refused();
    // Closes the clip whole, as `end`; kFailed when the close could not write.
    ClipResult finish(ClipEnd end);
    ClipResult cut_short(const char *why);
    // A parameter set into the sample description; false when refused.
    bool add_parameter_set(const FrameUnit &unit);
    // The video frame `frame`/`info` (a frame of one unit taken as of
    // `type`): parameter sets to the sample description, slices into the
    // open picture, or a new one where they do not continue it, and the
    // rest left out.  Every unit but a continuing slice ends the open
    // picture.  False when a call was refused.
    bool take_frame(const uint8_t *frame, const FrameInfo &info, uint8_t type);
    bool take_frame(const uint8_t *frame, const FrameInfo &info) {
        return take_frame(frame, info, info.frameType);
    }
    // Whether the frame's first unit is a slice that continues the open picture.
    bool continues_picture(const uint8_t *frame, const FrameInfo &info) const;
    // After a frame that left a picture open: reads on while the frames
    // continue it.  The first that does not (or the channel's end) waits in
    // ahead_ for the next video step, and the picture, complete, is written
    // now, in the step of its last slice; with no frame there yet the
    // picture stays open until one comes.
    bool read_ahead();
    // The next video frame into buf_ and rec_: the one read ahead, if any.
    Read next_video();
    // The open picture is complete: written as a sample, or with timestamp
    // timing held until the next picture's ts gives its duration.
    bool emit_picture();
    // The video ends: the open picture and the held one are written.
    bool end_pictures() { return emit_picture() && write_last_picture(); }
    bool checkpoint();
    // Timestamp timing: the picture held back until the next video frame's
    // ts gives its duration; the last one repeats the duration before it.
    bool write_held_picture(uint32_t next_ts);
    bool write_last_picture();
    bool write_held(uint32_t duration);
    // kFrame: started; kNone: no audio; kEnd: a call was refused.
    Read start_audio_at(uint32_t ts);

    const ClipSource &src_;
    uint8_t *buf_;
    const ClipOptions &o_;
    FrameInfo rec_{};
    ClipWriter out_;  // the file side: the clip's MP4 calls
    ClipResult result_;
    uint64_t last_checkpoint_ = 0;

    uint32_t nominal_ = 0;       // 90000 / declared rate
    uint32_t start_sec_ = 0;     // the clip-start SPS's sec
    Picture picture_;            // the open picture: its slices so far
    Picture held_;               // timestamp timing: complete, waiting for its duration
    bool has_pps_ = false;       // a PPS is in the sample description
    bool said_too_large_ = false;
    // The video frame read past the open picture's end, for the next video
    // step: ahead_ and buf_ (each RECORD_FRAME_BUFFER_SIZE bytes, one of
    // them the caller's and the other spare_) trade places instead of copying.
    uint8_t *ahead_ = nullptr;
    uint8_t *spare_ = nullptr;
    FrameInfo ahead_rec_{};
    Read ahead_read_ = Read::kNone;  // kFrame or kEnd: waiting in ahead_
    uint32_t last_duration_ = 0;
    uint32_t video_end_ts_ = 0;  // timestamp timing: where the last picture ends
    uint8_t audio_format_[4] = {};  // the ADTS header bytes that configured the audio track

    // The AAC frame in buf_: its ADTS header's length (7, or 9 with a CRC)
    // when a payload follows it, else 0 (no valid sample).
    uint32_t audio_payload() const {
        if (rec_.framesize < elementary_streams::kAdtsHeaderSize) return 0;
        const auto header = static_cast<uint32_t>(elementary_streams::adts_header_length(buf_));
        return rec_.framesize > header ? header : 0;
    }
    // Timestamp timing: the ts of the newest video frame read, and where the
    // next AAC frame should begin (the last one's ts plus its length).
    uint32_t newest_video_ts_ = 0;
    uint32_t next_audio_ts_ = 0;
    uint32_t audio_frame_ms_ = 0;
};

bool Assembly::write_held_picture(uint32_t next_ts) {
    return write_held(picture_duration(held_.ts(), next_ts, nominal_));
}

// Without timestamp timing nothing is ever held, and this writes nothing.
bool Assembly::write_last_picture() {
    return write_held(last_duration_ != 0 ? last_duration_ : nominal_);
}

bool Assembly::write_held(uint32_t d) {
    if (held_.empty()) return true;
    last_duration_ = d;
    video_end_ts_ = held_.ts() + d / (kVideoTimeScale / 1000);
    const bool written = out_.write_sample(kVideoTrackId, held_.data(), held_.size(), d, held_.idr());
    held_.clear();
    return written;
}

bool Assembly::emit_picture() {
    if (picture_.empty()) return true;
    const bool sync = picture_.idr();
    const uint32_t sec = picture_.sec();
    if (o_.timestamps) {
        if (!write_held_picture(picture_.ts())) return false;
        held_.swap(picture_);
    } else if (!out_.write_sample(kVideoTrackId, picture_.data(), picture_.size(),
                                  MP4_INVALID_DURATION, sync)) {
        return false;
    }
    picture_.clear();
    if (sync)
        std::printf("6s record over sec(%d) video_cnt(%d) second gap(%d)\n", o_.seconds,
                    result_.counts.video_samples, static_cast<int>(sec - start_sec_));
    ++result_.counts.video_samples;
    return true;
}

bool Assembly::take_frame(const uint8_t *frame, const FrameInfo &info, uint8_t type) {
    bool ok = true;
    for_each_unit({frame, info.framesize}, type, [&](const FrameUnit &u) {
        if (!ok) return;
        if (u.type == kTypeP || u.type == kTypeI) {
            if (!picture_.continued_by(u, info.ts)) {
                ok = emit_picture();
                picture_.begin(u, info.ts, info.sec);
            }
            if (!picture_.append(u) && !said_too_large_) {
                said_too_large_ = true;
                std::printf("alarm_record: a picture of more than %u bytes; its further slices "
                            "are left out\n",
                            Picture::kCapacity);
            }
        } else if (u.type == kTypeSps || u.type == kTypePps) {
            // A held picture belongs to the parameter sets after it.
            ok = emit_picture() && write_held_picture(info.ts) && add_parameter_set(u);
        } else {
            ok = emit_picture();
        }
    });
    return ok;
}

bool Assembly::continues_picture(const uint8_t *frame, const FrameInfo &info) const {
    int unit = 0;
    bool continues = false;
    for_each_unit({frame, info.framesize}, info.frameType, [&](const FrameUnit &u) {
        if (unit++ == 0)
            continues = (u.type == kTypeP || u.type == kTypeI) && picture_.continued_by(u, info.ts);
    });
    return continues;
}

bool Assembly::read_ahead() {
    while (!picture_.empty()) {
        const Read r = src_.next_frame(src_.self, kVideoChannel, ahead_, &ahead_rec_);
        if (r == Read::kNone) return true;
        if (r == Read::kFrame && continues_picture(ahead_, ahead_rec_)) {
            if (!take_frame(ahead_, ahead_rec_)) return false;
            continue;
        }
        ahead_read_ = r;
        return emit_picture();
    }
    return true;
}

Read Assembly::next_video() {
    if (ahead_read_ == Read::kNone) return read_next(kVideoChannel);
    const Read r = ahead_read_;
    ahead_read_ = Read::kNone;
    uint8_t *const frame = ahead_;
    ahead_ = buf_;
    buf_ = frame;
    rec_ = ahead_rec_;
    return r;
}

// Timestamp timing: the first AAC frame at or after `ts` configures the
// track at its own sampling frequency and is its first sample; the track
// starts as many milliseconds after the video as the frame came after `ts`.
Read Assembly::start_audio_at(uint32_t ts) {
    const Read r = wait_for(
        kAudioChannel, [&] { return src_.audio_at(src_.self, ts, buf_, &rec_); }, kAudioGraceMs);
    if (r != Read::kFrame || !audio_payload()) return Read::kNone;
    std::memcpy(audio_format_, buf_, sizeof audio_format_);
    uint32_t rate = elementary_streams::adts_sampling_frequency(
        elementary_streams::adts_sampling_index(buf_));
    if (rate == 0) rate = kAudioTimeScale;  // a reserved index: the contract's rate
    if (!out_.add_audio_track(rate, kAudioSampleDuration, MP4_MPEG4_AUDIO_TYPE)) return Read::kEnd;
    uint8_t config[2];
    calc_aac_config(buf_, config);
    if (!out_.set_track_es_configuration(kAudioTrackId, config, sizeof config)) return Read::kEnd;
    if (rec_.ts != ts && !out_.set_track_start_delay(kAudioTrackId, rec_.ts - ts))
        return Read::kEnd;
    audio_frame_ms_ = kAudioSampleDuration * 1000 / rate;
    next_audio_ts_ = rec_.ts + audio_frame_ms_;
    const uint32_t header = audio_payload();
    if (!out_.write_sample(kAudioTrackId, buf_ + header, rec_.framesize - header,
                           MP4_INVALID_DURATION, true))
        return Read::kEnd;
    ++result_.counts.audio_samples;
    return Read::kFrame;
}

template <class Attempt>
Read Assembly::wait_for(int channel, Attempt attempt, uint64_t limit_ms) {
    const uint64_t from = now();
    for (;;) {
        // Taken before the attempt: a put during it ends the wait at once.
        const uint32_t puts = src_.put_count(src_.self, channel);
        const Read r = attempt();
        if (r != Read::kNone) return r;
        const uint64_t waited = now() - from;
        if (stop_requested() || out_.failed() || waited >= limit_ms) return Read::kNone;
        src_.wait(src_.self, channel, puts, limit_ms - waited);
    }
}

// Before the first checkpoint nothing of the clip is on storage to keep.
ClipResult Assembly::fail(const char *what, int err) {
    if (err != 0)
        std::printf("alarm_record: %s %s: %s\n", what, o_.name, std::strerror(err));
    else
        std::printf("alarm_record: %s %s\n", what, o_.name);
    out_.finish(false);
    result_.end = ClipEnd::kFailed;
    return result_;
}

ClipResult Assembly::file_side_failed() {
    int err = 0;
    switch (out_.failure(&err)) {
        case FileFailure::kCreate:
            return fail("cannot create", err);
        case FileFailure::kVideoTrack:
            return fail("cannot add the video track to", 0);
        case FileFailure::kAudioTrack:
            return fail("cannot add the audio track to", 0);
        case FileFailure::kNone:
        case FileFailure::kWrite:
            break;
    }
    result_.write_error = err != 0 ? err : EIO;
    return fail("cannot write", result_.write_error);
}

ClipResult Assembly::refused() {
    switch (out_.refusal()) {
        case Refusal::kFull:
            return cut_short("storage could not keep up with the stream");
        case Refusal::kNoMemory:
            return cut_short("out of memory");
        case Refusal::kNone:
        case Refusal::kFailed:
            break;
    }
    return file_side_failed();
}

ClipResult Assembly::finish(ClipEnd end) {
    if (!out_.finish(true)) return file_side_failed();
    result_.end = end;
    return result_;
}

// The clip ends at the last frame queued: the open picture and one held
// back for its duration go too if the queue takes them.
ClipResult Assembly::cut_short(const char *why) {
    std::printf("alarm_record: the clip is cut short: %s\n", why);
    if (!end_pictures() && out_.refusal() == Refusal::kFailed) return file_side_failed();
    return finish(ClipEnd::kCutShort);
}

// Its length counts as 16 bits.
bool Assembly::add_parameter_set(const FrameUnit &u) {
    if (u.type == kTypePps) has_pps_ = true;
    return out_.add_h264_parameter_set(kVideoTrackId, u.type == kTypeSps, u.nal,
                                       static_cast<uint16_t>(u.size));
}

bool Assembly::checkpoint() {
    if (!out_.checkpoint()) return false;
    last_checkpoint_ = now();
    return true;
}

ClipResult Assembly::run(const FrameInfo &start) {
    const int seconds = o_.seconds;
    const bool by_ts = o_.timestamps;
    ClipCounts &n = result_.counts;
    rec_ = start;

    const uint32_t fps = rec_.framerate != 0 ? rec_.framerate : 1;
    nominal_ = kVideoTimeScale / fps;
    ahead_ = spare_ = static_cast<uint8_t *>(std::malloc(RECORD_FRAME_BUFFER_SIZE));
    if (ahead_ == nullptr || !picture_.allocate() || (by_ts && !held_.allocate()))
        return fail("out of memory for", ENOMEM);
    const MP4ClipReserve reserve = reserve_for(seconds, fps, by_ts);
    if (!out_.start(o_.fd, o_.output, reserve, o_.queue_bytes, o_.wait_for_storage))
        return fail("cannot start writing", errno);

    // The clip-start SPS, or the whole access unit it begins.
    if (!out_.add_h264_video_track(kVideoTimeScale, nominal_, rec_.width, rec_.height, buf_[5],
                                   buf_[6], buf_[7], 3) ||
        !take_frame(buf_, rec_, kTypeSps))
        return refused();
    start_sec_ = rec_.sec;

    // Unless the clip-start frame held its PPS, the frame after it is taken
    // as the PPS whatever its type (a whole access unit is taken apart).
    if (!has_pps_) {
        const Read pps = wait_for(
            kVideoChannel, [&] { return read_next(kVideoChannel); }, kSilenceMs);
        if (out_.failed()) return file_side_failed();
        if (pps != Read::kFrame)
            return fail(stop_requested() ? "stopped before anything was recorded in"
                                         : "no frame after the clip's SPS for",
                        0);
        if (!take_frame(buf_, rec_, kTypePps)) return refused();
    }

    // Fixed durations: audio from one second before the PPS.  Timestamps:
    // audio from the first picture, below.
    bool audio_done = false, audio_pending = by_ts;
    if (!by_ts) {
        // On the wrapping millisecond clock: a PPS in the first second of
        // the clock, or just after a wrap, looks back across it.
        const uint32_t audio_from = rec_.ts - kPreAudioMs;
        const Read first_audio = wait_for(
            kAudioChannel, [&] { return src_.audio_at(src_.self, audio_from, buf_, &rec_); },
            kAudioGraceMs);
        if (out_.failed()) return file_side_failed();
        if (stop_requested()) return fail("stopped before anything was recorded in", 0);
        if (first_audio == Read::kFrame) {
            // That first frame only configures the track; samples begin after it.
            std::memcpy(audio_format_, buf_, sizeof audio_format_);
            uint8_t config[2];
            calc_aac_config(buf_, config);
            if (!out_.add_audio_track(kAudioTimeScale, kAudioSampleDuration,
                                      MP4_MPEG4_AUDIO_TYPE) ||
                !out_.set_track_es_configuration(kAudioTrackId, config, sizeof config))
                return refused();
        } else {
            audio_done = true;
        }
    }
    if (!out_.set_track_name(kVideoTrackId, "6")) return refused();
    auto no_audio = [&] {
        std::printf("alarm_record: no audio on channel %d within %d s, the clip is video only\n",
                    kAudioChannel, static_cast<int>(kAudioGraceMs / 1000));
        audio_done = true;
        audio_pending = false;
    };
    if (audio_done) no_audio();

    const int audio_budget = seconds << 3;
    bool video_done = false;
    bool caught_up = false;
    uint64_t heard[2] = {now(), now()};  // last frame on video, audio
    // How long a pass that found nothing may sleep: until a channel still
    // needed has been silent for kSilenceMs, or the next checkpoint is due
    // (unless the one before is still in progress).
    auto until_next_rule = [&]() -> uint64_t {
        uint64_t due = UINT64_MAX;
        if (!video_done) due = heard[0] + kSilenceMs;
        if (!audio_done && !audio_pending && heard[1] + kSilenceMs < due)
            due = heard[1] + kSilenceMs;
        if (caught_up && last_checkpoint_ + kCheckpointMs < due && !out_.checkpoint_pending())
            due = last_checkpoint_ + kCheckpointMs;
        const uint64_t t = now();
        return due > t ? due - t : 0;
    };
    for (;;) {
        char why[64];
        if (stop_requested()) {
            const int sig = *o_.stop;
            std::snprintf(why, sizeof why, "stopped by signal %d (%s)", sig, strsignal(sig));
            return cut_short(why);
        }
        if (out_.failed()) return file_side_failed();
        const uint64_t t = now();
        for (int c = 0; c < 2; ++c) {
            const bool needed = c == 0 ? !video_done : !audio_done && !audio_pending;
            if (!needed || t - heard[c] < kSilenceMs) continue;
            std::snprintf(why, sizeof why, "nothing on channel %d for %d s",
                          c == 0 ? kVideoChannel : kAudioChannel,
                          static_cast<int>(kSilenceMs / 1000));
            return cut_short(why);
        }
        if (caught_up && t - last_checkpoint_ >= kCheckpointMs && !out_.checkpoint_pending() &&
            !checkpoint())
            return refused();
        // The channel this pass sleeps on if it finds nothing, and its put
        // count taken before the reads: a put during them ends the sleep.
        const int sleep_on = !video_done ? kVideoChannel : kAudioChannel;
        const uint32_t puts = src_.put_count(src_.self, sleep_on);

        // Audio step.
        bool audio_read = false;
        // Timestamps: an AAC frame that would begin after the newest video
        // frame waits until the video has gone past it, so one read past
        // the video's end (known only once its last frame is read) cannot
        // put audio after the pictures.  A step over kMaxGapMs is a
        // restarted producer, and no reason to wait.
        const bool audio_ahead = by_ts && !video_done && !audio_done && !audio_pending &&
                                 next_audio_ts_ - newest_video_ts_ - 1 < kMaxGapMs;
        if (audio_ahead) heard[1] = now();  // not silent: not asked
        if (!audio_done && !audio_pending && !audio_ahead) {
            const Read r = read_next(kAudioChannel);
            audio_done = r == Read::kEnd;
            audio_read = r == Read::kFrame;
        }
        if (audio_read) heard[1] = now();
        // Timestamps: the audio ends with the video's stretch of real time.
        if (audio_read && by_ts && video_done && rec_.ts - video_end_ts_ < 0x80000000u) {
            audio_done = true;
            audio_read = false;
        }
        if (audio_read && by_ts) next_audio_ts_ = rec_.ts + audio_frame_ms_;
        if (audio_read && audio_payload() != 0 &&
            !elementary_streams::adts_same_audio(buf_, audio_format_)) {
            // Never a frame under a configuration that is not its own: the
            // audio ends where the stream's format changes.
            std::printf("alarm_record: the audio changes format (%u Hz, %u channels) after %d "
                        "samples; the audio track ends there\n",
                        elementary_streams::adts_sampling_frequency(
                            elementary_streams::adts_sampling_index(buf_)),
                        ((buf_[2] & 1u) << 2) | (buf_[3] >> 6), n.audio_samples);
            audio_done = true;
            audio_read = false;
        }
        if (audio_read && audio_payload() != 0) {
            const uint32_t header = audio_payload();
            if (!out_.write_sample(kAudioTrackId, buf_ + header, rec_.framesize - header,
                                   MP4_INVALID_DURATION, true))
                return refused();
            ++n.audio_samples;
            if (!by_ts && n.audio_samples > audio_budget) audio_done = true;
        }

        // Video step; a frame handled goes straight back to the audio step.
        if (!video_done) {
            const Read r = next_video();
            video_done = r == Read::kEnd;
            // A source that ends keeps its last picture, as the frame past the clip does.
            if (video_done && !end_pictures()) return refused();
            if (r == Read::kFrame) {
                heard[0] = now();
                newest_video_ts_ = rec_.ts;
                const uint32_t gap = rec_.sec - start_sec_;
                if (gap > static_cast<uint32_t>(seconds)) {
                    if (!emit_picture()) return refused();
                    std::printf("6s record over sec(%d) video_cnt(%d)\n", seconds,
                                n.video_samples);
                    video_done = true;  // this frame is past the clip and not written
                    if (!write_last_picture()) return refused();
                } else {
                    if (!take_frame(buf_, rec_) || !read_ahead()) return refused();
                    if (audio_pending && !held_.empty()) {
                        audio_pending = false;
                        const Read started = start_audio_at(held_.ts());
                        if (started == Read::kEnd) return refused();
                        if (started == Read::kNone) no_audio();
                        heard[1] = now();
                    }
                }
                continue;
            }
        }

        // A pass without a video frame: whatever was waiting has been read.
        if (!caught_up) {
            caught_up = true;
            if (!checkpoint()) return refused();
        }
        if (video_done && audio_pending) no_audio();  // no picture ever came
        if (audio_done && video_done) break;
        // Nothing found at all: sleep until a put or a rule's time.
        if (!audio_read) src_.wait(src_.self, sleep_on, puts, until_next_rule());
    }

    return finish(ClipEnd::kComplete);
}

}  // namespace

ClipResult assemble_clip(const ClipSource &source, uint8_t *buffer, const FrameInfo &start,
                         const ClipOptions &options) {
    Assembly a(source, buffer, options);
    return a.run(start);
}

}  // namespace recorder

// A movie box is published only over flushed samples.  The recorder's clip
// assembly writes a clip through its file side from the sample media in
// simulated real time (a checkpoint a second), every write and flush
// recorded.  Then, at every write, storage is taken to hold what was
// flushed and, of what came after, the writes ahead of the media (the
// movie box slots, the pointer to them, the mdat's size) but not one
// sample: the worst a power cut can leave.  Whatever movie box that shows
// must find each sample it describes there, as written.
#include <gtest/gtest.h>

#include <cstring>

#include "box_reader.h"
#include "clip_builder.h"
#include "recorder/file_source.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Op {
    bool sync;
    uint64_t offset;
    Bytes data;
};

bool record_write(void *self, uint64_t offset, const uint8_t *p, uint32_t n) {
    static_cast<std::vector<Op> *>(self)->push_back({false, offset, Bytes(p, p + n)});
    return true;
}

bool record_sync(void *self) {
    static_cast<std::vector<Op> *>(self)->push_back({true, 0, {}});
    return true;
}

void apply(Bytes &image, const Op &op) {
    if (image.size() < op.offset + op.data.size()) image.resize(op.offset + op.data.size());
    std::memcpy(image.data() + op.offset, op.data.data(), op.data.size());
}

TEST(ClipPublish, EveryMovieBoxDescribesOnlyFlushedSamples) {
    std::vector<Op> ops;
    const MP4Output out{&ops, record_write, record_sync};
    recorder::FileSource files(MP4_TEST_DATA_DIR "/video_15fps.h264",
                               MP4_TEST_DATA_DIR "/audio_8k_mono.aac", 15, 20);
    files.set_real_time(5000);  // the pre-roll at once, then a frame as its time comes
    ::testing::internal::CaptureStdout();
    const recorder::ClipResult r = files.write_clip("", 10, &out);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.end, recorder::ClipEnd::kComplete);

    Bytes final_image;
    for (const Op &op : ops)
        if (!op.sync) apply(final_image, op);
    const uint64_t media = clip_builder::geometry(final_image).mdat + 8;
    ASSERT_GT(media, 8u);

    Bytes flushed;            // what storage holds for sure
    std::vector<Op> pending;  // writes since the last flush
    int published = 0;        // images that showed a movie box
    for (const Op &op : ops) {
        if (op.sync) {
            for (const Op &w : pending) apply(flushed, w);
            pending.clear();
            continue;
        }
        pending.push_back(op);
        if (op.offset >= media) continue;
        // Every write since the flush ahead of the media kept, every sample lost.
        Bytes image = flushed;
        for (const Op &w : pending)
            if (w.offset < media) apply(image, w);
        const box_reader::File f = box_reader::parse(image, true);
        if (f.find("moov") == nullptr) continue;
        ++published;
        for (const auto &t : f.tracks)
            for (size_t i = 0; i < t.samples.size(); ++i) {
                const auto &s = t.samples[i];
                ASSERT_LE(s.offset + s.size, flushed.size())
                    << t.handler << " sample " << i + 1 << " published before it was flushed";
                ASSERT_EQ(0, std::memcmp(flushed.data() + s.offset, final_image.data() + s.offset,
                                         s.size))
                    << t.handler << " sample " << i + 1 << " is not what was written";
            }
    }
    // The pre-roll's checkpoint, one a second after it, and the close.
    EXPECT_GE(published, 6);
}

}  // namespace

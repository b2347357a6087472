// reader_ops.h - every frame reader, callable by number, so tests that call
// readers at random (corruption, fuzzing, stress) share one dispatch.
#ifndef TESTS_RING_READER_OPS_H
#define TESTS_RING_READER_OPS_H

#include <cstdint>

#include "media_ring/media_ring.h"

namespace ring_test {

// Frame readers 0..13, in the header's order; MediaDataVideoGetNewestIFrameTs
// (no buffer, no cursor) is left to the caller.
enum ReaderOp {
    kOpGetOldFrame,
    kOpGetNewFrame,
    kOpOldIFrame,
    kOpOldSPSFrame,
    kOpOldPPSFrame,
    kOpAudioOldFrame,
    kOpNewIFrame,
    kOpNewSPSFrame,
    kOpNewPPSFrame,
    kOpAudioNewFrame,
    kOpAudioGetByTs,
    kOpVideoGetByTs,
    kOpNextFrame,
    kOpNextVideoFrameType,
    kFrameReaderOps,
};

inline int call_frame_reader(int op, int ch, uint8_t *b, uint32_t n, int frameType, uint32_t ts,
                             int *bd, FrameInfo *info) {
    switch (op) {
        case kOpGetOldFrame:
            return _MediaDataGetOldFrame(ch, b, n, frameType, bd, info);
        case kOpGetNewFrame:
            return _MediaDataGetNewFrame(ch, b, n, frameType, bd, info);
        case kOpOldIFrame:
            return MediaDataVideoGetOldIFrame(ch, b, n, bd, info);
        case kOpOldSPSFrame:
            return MediaDataVideoGetOldSPSFrame(ch, b, n, bd, info);
        case kOpOldPPSFrame:
            return MediaDataVideoGetOldPPSFrame(ch, b, n, bd, info);
        case kOpAudioOldFrame:
            return MediaDataAudioGetOldFrame(ch, b, n, bd, info);
        case kOpNewIFrame:
            return MediaDataVideoGetNewIFrame(ch, b, n, bd, info);
        case kOpNewSPSFrame:
            return MediaDataVideoGetNewSPSFrame(ch, b, n, bd, info);
        case kOpNewPPSFrame:
            return MediaDataVideoGetNewPPSFrame(ch, b, n, bd, info);
        case kOpAudioNewFrame:
            return MediaDataAudioGetNewFrame(ch, b, n, bd, info);
        case kOpAudioGetByTs:
            return MediaDataAudioGetByTs(ch, b, n, ts, bd, info);
        case kOpVideoGetByTs:
            return MediaDataVideoGetByTs(ch, b, n, ts, frameType, bd, info);
        case kOpNextFrame:
            return MediaDataGetNextFrame(ch, b, n, bd, info);
        default:
            return MediaDataGetNextVideoFrameType(ch, b, n, bd, info);
    }
}

}  // namespace ring_test

#endif  // TESTS_RING_READER_OPS_H

// ring_inspect.h - the tools' read-only view of a mapped ring's layout,
// shared by ring_dump (which prints it) and ring_feed (which continues the
// ts of a channel it finds in use).  Only the loads below touch the control
// blocks and descriptors, each paired with the writer's store as
// ring_atomic.h names it; ring_feed makes no loads of its own, and
// ring_dump's descriptor table adds writeOffset and shm_offset with the
// same pairings.
//
// A snapshot, not a reader: the record is copied after the acquire load of
// valid without the readers' re-check, so a frame the writer evicts at that
// moment may come out torn.  Good enough to print or to pick a starting ts;
// anything that needs a frame for sure uses the ring's reader functions.
#ifndef TOOLS_RING_INSPECT_H
#define TOOLS_RING_INSPECT_H

#include <cstdint>
#include <cstring>

#include "ring_atomic.h"
#include "ring_layout.h"

namespace ring_inspect {

// A channel's live range [last, cur).  damaged: an index is 500 or more,
// and the range must not be walked.
struct LiveRange {
    uint32_t last, cur;
    bool damaged;
    bool empty() const { return last == cur; }
};

inline LiveRange live_range(media_ring::ChannelCtrl &c) {
    LiveRange l;
    l.last = media_ring::observe(c.lastBDIndex);  // pairs with publish(ctrl.lastBDIndex)
    l.cur = media_ring::observe(c.curBDIndex);    // pairs with publish(ctrl.curBDIndex)
    l.damaged = l.last >= media_ring::kBDCount || l.cur >= media_ring::kBDCount;
    return l;
}

// Copies descriptor d's record when d holds a live frame (valid exactly 1).
inline bool live_info(media_ring::FrameBD &d, FrameInfo *out) {
    if (media_ring::observe(d.valid) != 1) return false;  // pairs with publish(bd.valid, 1)
    std::memcpy(out, &d.info, sizeof *out);
    return true;
}

}  // namespace ring_inspect

#endif  // TOOLS_RING_INSPECT_H

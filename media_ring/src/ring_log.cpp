// ring_log.cpp - the ring's levelled log.
//
// Levels 0..4 are written to standard output and flushed at once; 5 and
// above (search jumps, wrap-around, per-frame trace) cost only the level test.
// The threshold is fixed.  Messages carry their own blanks and newlines.
#include <cstdarg>
#include <cstdio>

#include "ring_internal.h"

namespace {
constexpr unsigned int kPrintThreshold = 4;
}

MEDIA_RING_EXPORT int media_printf(unsigned int level, const char *format, ...) {
    if (level > kPrintThreshold) return 0;
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
    return n;
}

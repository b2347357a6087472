// log_capture.h - a media_printf that records instead of printing.
//
// Linked into a test executable in place of the ring's own log routine (the
// static library's ring_log.o is then never pulled in), so a test sees every
// message with its level, including levels 5 to 7 that the real routine
// drops.  Each record is the fully formatted text.
#ifndef TESTS_RING_LOG_CAPTURE_H
#define TESTS_RING_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace ring_test {

struct LogLine {
    unsigned level;
    std::string text;
    bool operator==(const LogLine &o) const { return level == o.level && text == o.text; }
};

// Starts a fresh record; messages above `max_level` are counted, not kept.
void log_start(unsigned max_level = ~0u);
// The messages recorded since log_start.
std::vector<LogLine> log_lines();
// Only the texts recorded at `level`.
std::vector<std::string> log_texts(unsigned level);
// Messages seen (kept or not) since log_start.
unsigned long log_count();

void PrintTo(const LogLine &l, std::ostream *os);

}  // namespace ring_test

#endif  // TESTS_RING_LOG_CAPTURE_H

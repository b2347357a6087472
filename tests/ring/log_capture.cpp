#include "log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <ostream>

#include "media_ring/media_ring.h"

namespace ring_test {
namespace {
std::vector<LogLine> g_lines;
unsigned g_max_level = ~0u;
unsigned long g_count = 0;
}  // namespace

void log_start(unsigned max_level) {
    g_lines.clear();
    g_max_level = max_level;
    g_count = 0;
}

std::vector<LogLine> log_lines() {
    return g_lines;
}

std::vector<std::string> log_texts(unsigned level) {
    std::vector<std::string> out;
    for (const auto &l : g_lines)
        if (l.level == level) out.push_back(l.text);
    return out;
}

unsigned long log_count() {
    return g_count;
}

void PrintTo(const LogLine &l, std::ostream *os) {
    *os << "{" << l.level << ", \"" << l.text << "\"}";
}

}  // namespace ring_test

extern "C" int media_printf(unsigned int level, const char *format, ...) {
    using namespace ring_test;
    ++g_count;
    // Always formatted, so a form and its arguments that disagree show up
    // under the sanitizers even when the line is not kept.
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (level <= g_max_level) g_lines.push_back({level, text});
    return n;
}

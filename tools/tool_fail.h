// tool_fail.h - how the shipped tools end on an error: one line on standard
// error, "TOOL: " and the message, after what standard output still holds.
#ifndef TOOLS_TOOL_FAIL_H
#define TOOLS_TOOL_FAIL_H

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void tool_fail(const char *tool, int status, const char *format, va_list ap) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", tool);
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
    std::exit(status);
}

#endif  // TOOLS_TOOL_FAIL_H

// fd_io.h - whole writes and flushes on a file descriptor, retried after
// a signal: what the writer's fd output and clip recovery both write with.
#ifndef MP4_SRC_FD_IO_H
#define MP4_SRC_FD_IO_H

#include <cstdint>

namespace mp4 {

// Writes all n bytes at `offset`; false (errno set, EIO for a write that
// took nothing) when they were not all written.
bool pwrite_all(int fd, uint64_t offset, const uint8_t *p, uint32_t n);

// fdatasync, retried while a signal interrupts it.
bool fdatasync_all(int fd);

}  // namespace mp4

#endif  // MP4_SRC_FD_IO_H

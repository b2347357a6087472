#include "fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace mp4 {

bool pwrite_all(int fd, uint64_t offset, const uint8_t *p, uint32_t n) {
    // Below SSIZE_MAX on 32-bit targets too, where a larger count is undefined.
    constexpr uint32_t kMaxWrite = 1u << 30;
    while (n > 0) {
        const ssize_t done = ::pwrite(fd, p, n < kMaxWrite ? n : kMaxWrite, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = EIO;
            return false;
        }
        p += done;
        n -= static_cast<uint32_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return true;
}

bool fdatasync_all(int fd) {
    int r;
    do r = ::fdatasync(fd);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

}  // namespace mp4

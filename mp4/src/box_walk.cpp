// box_walk.cpp - the top-level box chain of a file on storage.
#include <mp4/box_walk.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

bool read_exact(int fd, void *buf, size_t n, off_t at) {
    return pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

}  // namespace

extern "C" bool mp4_file_is_whole(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    bool mdat = false, moov = false;
    const uint64_t end = ok ? static_cast<uint64_t>(st.st_size) : 0;
    uint64_t at = 0;
    while (ok && at < end) {
        uint8_t h[16];
        if (end - at < 8 || !read_exact(fd, h, 8, static_cast<off_t>(at))) {
            ok = false;
            break;
        }
        uint64_t size = be32(h);
        if (size == 1) {  // 64-bit size follows the type
            ok = end - at >= 16 && read_exact(fd, h + 8, 8, static_cast<off_t>(at + 8));
            size = static_cast<uint64_t>(be32(h + 8)) << 32 | be32(h + 12);
        } else if (size == 0) {  // runs to the end of the file
            size = end - at;
        }
        if (!ok || size < 8 || size > end - at) {
            ok = false;
            break;
        }
        mdat |= std::memcmp(h + 4, "mdat", 4) == 0;
        moov |= std::memcmp(h + 4, "moov", 4) == 0;
        at += size;
    }
    close(fd);
    return ok && at == end && mdat && moov;
}

#include "recorder/clip_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace recorder {
namespace {

bool read_exact(int fd, void *buf, size_t n, off_t at) {
    return pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

bool fsync_path(const char *path, int flags) {
    const int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Flushes the folder that holds `path`, so a rename into it is durable.
void fsync_folder_of(const char *path) {
    char folder[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else if (slash == path) {
        std::strcpy(folder, "/");
    } else {
        const size_t n = static_cast<size_t>(slash - path);
        if (n >= sizeof folder) return;
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    // A folder that cannot be opened for this still holds a complete clip.
    (void)fsync_path(folder, O_RDONLY | O_DIRECTORY);
}

}  // namespace

bool clip_is_complete(const char *path) {
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

bool put_clip_in_place(const char *tmp_name, const char *final_name) {
    const char *failed = nullptr;
    int err = 0;
    if (!clip_is_complete(tmp_name)) {
        failed = "is not a complete MP4 file after closing";
    } else if (!fsync_path(tmp_name, O_RDONLY)) {
        failed = "could not be flushed to storage";
        err = errno;
    } else if (std::rename(tmp_name, final_name) != 0) {
        failed = "could not be renamed";
        err = errno;
    }
    if (failed != nullptr) {
        std::printf("alarm_record: clip %s %s%s%s\n", tmp_name, failed, err ? ": " : "",
                    err ? std::strerror(err) : "");
        unlink(tmp_name);
        return false;
    }
    fsync_folder_of(final_name);
    return true;
}

}  // namespace recorder

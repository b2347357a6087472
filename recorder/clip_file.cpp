#include "recorder/clip_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace recorder {
namespace {

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

int open_clip_file(const char *tmp_name) {
    // Read and write: after a write error the clip is brought back to its
    // last checkpoint through this descriptor, and recovery reads the file.
    const int fd =
        open(tmp_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st;
    if (fd < 0) {
        const int err = errno;
        // A symbolic link gives ELOOP: say what it is.  (A FIFO opens, read
        // and write without blocking, and is refused by the fstat below.)
        if (lstat(tmp_name, &st) == 0 && !S_ISREG(st.st_mode))
            std::printf("alarm_record: %s is not a regular file\n", tmp_name);
        else
            std::printf("alarm_record: cannot create %s: %s\n", tmp_name, std::strerror(err));
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("alarm_record: %s is not a regular file\n", tmp_name);
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK)
            std::printf("alarm_record: %s is being recorded by another process\n", tmp_name);
        else
            std::printf("alarm_record: cannot lock %s: %s\n", tmp_name, std::strerror(err));
        close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) != 0) {
        std::printf("alarm_record: cannot empty %s: %s\n", tmp_name, std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

bool put_clip_in_place(const char *tmp_name, const char *final_name) {
    if (std::rename(tmp_name, final_name) != 0) {
        std::printf("alarm_record: clip %s could not be renamed: %s\n", tmp_name,
                    std::strerror(errno));
        return false;
    }
    fsync_folder_of(final_name);
    return true;
}

}  // namespace recorder

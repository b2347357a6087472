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

bool fsync_folder_of(const char *path) {
    char folder[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else if (slash == path) {
        std::strcpy(folder, "/");
    } else {
        const size_t n = static_cast<size_t>(slash - path);
        if (n >= sizeof folder) return errno = ENAMETOOLONG, false;
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

Held hold_clip_file(const char *path, int extra_flags, int *fd) {
    // Read and write: a clip is brought back to a checkpoint through it.  A
    // FIFO opens read and write without blocking and is refused below.
    *fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extra_flags, 0666);
    if (*fd < 0) return Held::kCannotOpen;
    struct stat st;
    Held held = Held::kHeld;
    if (fstat(*fd, &st) != 0)
        held = Held::kCannotOpen;
    else if (!S_ISREG(st.st_mode))
        held = Held::kNotRegular;
    else if (flock(*fd, LOCK_EX | LOCK_NB) != 0)
        held = errno == EWOULDBLOCK ? Held::kBusy : Held::kCannotLock;
    if (held != Held::kHeld) {
        const int err = errno;
        close(*fd);
        *fd = -1;
        errno = err;
    }
    return held;
}

int open_clip_file(const char *tmp_name) {
    int fd = -1;
    struct stat st;
    switch (hold_clip_file(tmp_name, O_CREAT, &fd)) {
        case Held::kHeld:
            break;
        case Held::kCannotOpen:
            // A symbolic link gives ELOOP: say what it is.
            if (const int err = errno; lstat(tmp_name, &st) == 0 && !S_ISREG(st.st_mode))
                std::printf("alarm_record: %s is not a regular file\n", tmp_name);
            else
                std::printf("alarm_record: cannot create %s: %s\n", tmp_name, std::strerror(err));
            return -1;
        case Held::kNotRegular:
            std::printf("alarm_record: %s is not a regular file\n", tmp_name);
            return -1;
        case Held::kBusy:
            std::printf("alarm_record: %s is being recorded by another process\n", tmp_name);
            return -1;
        case Held::kCannotLock:
            std::printf("alarm_record: cannot lock %s: %s\n", tmp_name, std::strerror(errno));
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
    (void)fsync_folder_of(final_name);  // a folder not flushed still holds the clip
    return true;
}

}  // namespace recorder

#include "clip_file/clip_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace clip_file {

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

}  // namespace clip_file

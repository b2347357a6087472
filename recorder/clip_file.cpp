#include "recorder/clip_file.h"

#include <fcntl.h>
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

bool put_clip_in_place(const char *tmp_name, const char *final_name) {
    const char *failed = nullptr;
    int err = 0;
    if (!fsync_path(tmp_name, O_RDONLY)) {
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

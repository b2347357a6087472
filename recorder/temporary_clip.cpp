#include "recorder/temporary_clip.h"

#include <clip_file/clip_file.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace recorder {

using clip_file::Held;

int open_clip_file(const char *tmp_name) {
    int fd = -1;
    struct stat st;
    switch (clip_file::hold_clip_file(tmp_name, O_CREAT, &fd)) {
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
    (void)clip_file::fsync_folder_of(final_name);  // a folder not flushed still holds the clip
    return true;
}

}  // namespace recorder

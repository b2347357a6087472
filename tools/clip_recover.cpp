// clip_recover - turns the NAME.tmp clips a crash or power cut left behind
// into finished clips under NAME (see the README).  Run at boot before the
// recorder; a .tmp a running recorder holds (its exclusive flock) is left
// alone.  A file that cannot be recovered stays as it is: it may hold
// media that a later, better tool could still save.
//
// Exit status: 0 every file kept all its .tmp described, 3 some had to be
// cut back to an older movie box, 1 some could not be recovered (or not
// renamed), 2 bad usage.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clip_file/clip_file.h>
#include <mp4/clip_recovery.h>

namespace {

const char kUsage[] =
    "usage: clip_recover FILE.tmp...\n"
    "Makes each unfinished clip NAME.tmp a finished MP4 and renames it NAME.\n"
    "Exit status: 0 all kept whole, 3 some cut back to an older checkpoint,\n"
    "1 some not recovered (left untouched), 2 bad usage.\n";

// 0, 3 or 1 as the exit status would say for this file alone.
int recover(const char *path) {
    const size_t len = strlen(path);
    char name[4096];
    if (len <= 4 || strcmp(path + len - 4, ".tmp") != 0 || path[len - 5] == '/') {
        printf("%s: not named NAME.tmp, left alone\n", path);
        return 1;
    }
    if (len - 4 >= sizeof name) {
        printf("%s: name too long, left alone\n", path);
        return 1;
    }
    memcpy(name, path, len - 4);
    name[len - 4] = '\0';

    // No symlink is followed, a FIFO does not block the open, and a clip a
    // recorder holds is left to it.
    int fd = -1;
    int status = 1;
    struct stat st, named;
    const clip_file::Held held = clip_file::hold_clip_file(path, 0, &fd);
    if (held == clip_file::Held::kCannotOpen) {
        printf("%s: cannot open: %s\n", path, errno == ELOOP ? "a symbolic link" : strerror(errno));
        return 1;
    }
    if (held == clip_file::Held::kNotRegular) {
        printf("%s: not a regular file, left alone\n", path);
        return 1;
    }
    if (held == clip_file::Held::kBusy) {
        printf("%s: locked by a running recorder, left alone\n", path);
        return 1;
    }
    if (held == clip_file::Held::kCannotLock) {
        printf("%s: cannot lock: %s\n", path, strerror(errno));
        return 1;
    }
    if (fstat(fd, &st) != 0) {
        printf("%s: cannot stat: %s\n", path, strerror(errno));
    } else if (lstat(path, &named) != 0 || named.st_ino != st.st_ino || named.st_dev != st.st_dev) {
        // Renamed or replaced between the open and the lock (a recorder
        // finishing it): not the file we were asked about any more.
        printf("%s: replaced while being opened, left alone\n", path);
    } else if (lstat(name, &named) == 0 || errno != ENOENT) {
        printf("%s: %s already exists, left alone\n", path, name);
    } else {
        MP4RecoveryReport r;
        const MP4Recovered how = MP4RecoverClip(fd, &r);
        if (how == MP4_RECOVERED_NOTHING) {
            if (errno != 0)
                printf("%s: recovery failed: %s\n", path, strerror(errno));
            else
                printf("%s: no movie box with all its samples present, left as it is\n", path);
        } else if (rename(path, name) != 0) {
            printf("%s: recovered but not renamed: %s\n", path, strerror(errno));
        } else if (!clip_file::fsync_folder_of(name)) {
            printf("%s: recovered as %s, but the rename is not flushed: %s\n", path, name,
                   strerror(errno));
        } else {
            printf("%s -> %s: %u video and %u audio samples kept, %s, %llu bytes cut\n", path, name,
                   r.video_samples, r.audio_samples,
                   how == MP4_RECOVERED_WHOLE ? "whole" : "cut back to an older checkpoint",
                   static_cast<unsigned long long>(r.bytes_cut));
            status = how == MP4_RECOVERED_WHOLE ? 0 : 3;
        }
    }
    close(fd);  // releases the lock, after the rename is durable
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    int worst = 0;
    for (int i = 1; i < argc; ++i) {
        const int s = recover(argv[i]);
        if (s == 1 || (s == 3 && worst == 0)) worst = s;
        fflush(stdout);
    }
    return worst;
}

// clip_file.h - a clip file held safely while it is written or mended, and
// the folder flush that makes its rename durable.  Shared by the recorder
// and clip_recover, so neither touches a clip the other holds.
#ifndef CLIP_FILE_CLIP_FILE_H
#define CLIP_FILE_CLIP_FILE_H

namespace clip_file {

// What became of holding a clip file (hold_clip_file).
enum class Held : unsigned char {
    kHeld,        // open read-write, a regular file, locked by us
    kCannotOpen,  // errno says why (ELOOP: a symbolic link)
    kNotRegular,  // a FIFO, a folder, a device: refused
    kBusy,        // another process holds its lock (a recorder at work)
    kCannotLock,  // errno says why
};

// Opens `path` read and write (with `extra_flags`, e.g. O_CREAT), never
// through a symbolic link and never blocking on a FIFO, and takes its
// exclusive lock without waiting; *fd is the descriptor when kHeld.
Held hold_clip_file(const char *path, int extra_flags, int *fd);

// Flushes the folder that holds `path`, so a rename into it is durable;
// false (errno set) when it could not be.
bool fsync_folder_of(const char *path);

}  // namespace clip_file

#endif  // CLIP_FILE_CLIP_FILE_H

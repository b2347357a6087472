// clip_file.h - the clip's temporary file: opened safely and held while
// recording, then put in place under its final name.
#ifndef RECORDER_CLIP_FILE_H
#define RECORDER_CLIP_FILE_H

namespace recorder {

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
// exclusive lock without waiting; *fd is the descriptor when kHeld.  The
// recorder and clip_recover both hold a clip this way, so neither touches
// a clip the other holds.
Held hold_clip_file(const char *path, int extra_flags, int *fd);

// Flushes the folder that holds `path`, so a rename into it is durable;
// false (errno set) when it could not be.
bool fsync_folder_of(const char *path);

// Opens `tmp_name` for a new clip: created if missing, never through a
// symbolic link, never blocking on a FIFO, only a regular file, emptied,
// and held with an exclusive lock until the descriptor is closed (clip
// recovery refuses a file so held).  -1 after one line saying why, the
// file untouched when another recorder holds it.
int open_clip_file(const char *tmp_name);

// Renames the clip (already on storage) to its final name, with no shell,
// so no name can run a command, and flushes the folder so the final name
// survives a power cut.  False after one line naming what failed; the
// temporary file then stays for clip recovery.
bool put_clip_in_place(const char *tmp_name, const char *final_name);

}  // namespace recorder

#endif  // RECORDER_CLIP_FILE_H

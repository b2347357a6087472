// temporary_clip.h - the clip's temporary file NAME.tmp: opened for a new
// clip and held while recording, then put in place under its final name.
#ifndef RECORDER_TEMPORARY_CLIP_H
#define RECORDER_TEMPORARY_CLIP_H

namespace recorder {

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

#endif  // RECORDER_TEMPORARY_CLIP_H

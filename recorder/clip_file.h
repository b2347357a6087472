// clip_file.h - putting a finished clip in place.
#ifndef RECORDER_CLIP_FILE_H
#define RECORDER_CLIP_FILE_H

namespace recorder {

// Flushes the clip to storage, renames it (no shell, so no name can run a
// command) and flushes its folder, so the final name survives a power cut.
// On failure prints one line naming what failed, removes the temporary file
// and returns false.
bool put_clip_in_place(const char *tmp_name, const char *final_name);

}  // namespace recorder

#endif  // RECORDER_CLIP_FILE_H

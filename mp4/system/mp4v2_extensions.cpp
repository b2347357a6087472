// mp4v2_extensions.cpp - this project's writer extensions over an installed
// mp4v2 (USE_SYSTEM_MP4V2), so the recorder builds and records unchanged.
//
// An installed mp4v2 writes its movie box at the end and reports no write
// errors, so here a clip is a plain mp4v2 file: nothing of it is playable
// before the close (no checkpoints, no crash safety: that needs the
// project's own writer), and the checked close walks the closed file's
// boxes to tell whether it is whole.  The file is named through
// /proc/self/fd, since mp4v2 opens files by name.
#include <limits.h>
#include <mp4/box_walk.h>
#include <mp4/mp4_writer.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// The clips open at once and their file names; the recorder has one.
constexpr int kOpenClips = 8;
struct OpenClip {
    MP4FileHandle handle;
    char path[PATH_MAX];
};
OpenClip g_clips[kOpenClips];

}  // namespace

extern "C" {

MP4FileHandle MP4CreateClip(const MP4Output *, const MP4ClipReserve *) {
    return MP4_INVALID_FILE_HANDLE;  // mp4v2 writes only to files it opens itself
}

MP4FileHandle MP4CreateClipOnFd(int fd, const MP4ClipReserve *) {
    for (OpenClip &c : g_clips) {
        if (c.handle != MP4_INVALID_FILE_HANDLE) continue;
        char link[32];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        // A name that fills the buffer may have been cut: never open that.
        const ssize_t n = readlink(link, c.path, sizeof c.path - 1);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof c.path - 1)) return MP4_INVALID_FILE_HANDLE;
        c.path[n] = '\0';
        c.handle = MP4CreateEx(c.path, 0, 1, 1, nullptr, 0, nullptr, 0);
        return c.handle;
    }
    return MP4_INVALID_FILE_HANDLE;
}

bool MP4Checkpoint(MP4FileHandle) {
    return true;  // nothing to publish before the close
}

bool MP4SetTrackStartDelay(MP4FileHandle, MP4TrackId, uint32_t) {
    return false;
}

bool MP4CloseChecked(MP4FileHandle hFile) {
    for (OpenClip &c : g_clips) {
        if (c.handle != hFile || hFile == MP4_INVALID_FILE_HANDLE) continue;
        MP4Close(hFile, 0);
        c.handle = MP4_INVALID_FILE_HANDLE;
        return mp4_file_is_whole(c.path);
    }
    MP4Close(hFile, 0);
    return false;
}

}  // extern "C"

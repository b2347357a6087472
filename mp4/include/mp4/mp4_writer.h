/*
 * mp4_writer.h - what this project's MP4 writer offers beyond the mp4v2
 * calls of <mp4v2/mp4v2.h>.  C linkage; compiles as C99 and as C++.
 */
#ifndef MP4_MP4_WRITER_H
#define MP4_MP4_WRITER_H

#include <mp4v2/mp4v2.h>

#ifdef __cplusplus
extern "C" {
#endif

/* MP4Close that says whether the file was written whole: true when every
 * write since MP4CreateEx succeeded and the movie box is in place; false
 * after any write error (the file is still closed) or for a handle that is
 * not open.  The handle is invalid afterwards. */
bool MP4CloseChecked(MP4FileHandle hFile);

#ifdef __cplusplus
}
#endif

#endif /* MP4_MP4_WRITER_H */

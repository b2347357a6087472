/*
 * box_walk.h - reading an MP4 file's box structure back: what the writer's
 * own checks, clip recovery and a build against another MP4 library need.
 * C linkage; compiles as C99 and as C++.
 */
#ifndef MP4_BOX_WALK_H
#define MP4_BOX_WALK_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* True when the file is a whole MP4 as closed: top-level boxes that chain
 * exactly to the end of the file, among them an mdat and a moov. */
bool mp4_file_is_whole(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* MP4_BOX_WALK_H */

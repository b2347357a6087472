/* The writer's header as a C99 program sees it: compiles with
 * -pedantic-errors and links as C, without the C++ runtime.  Writes a one
 * sample audio file to the path on the command line, checks its size, and
 * that clip recovery finds it whole. */
#define _POSIX_C_SOURCE 200112L
#include <fcntl.h>
#include <mp4/clip_recovery.h>
#include <mp4v2/mp4v2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    static const uint8_t config[2] = {0x15, 0x88};
    static const uint8_t frame[10] = {0};
    MP4FileHandle h;
    MP4TrackId audio;
    struct stat st;
    MP4RecoveryReport report;
    int fd;
    if (argc < 2) return 2;
    h = MP4CreateEx(argv[1], 0, 1, 1, NULL, 0, NULL, 0);
    if (h == MP4_INVALID_FILE_HANDLE) return 3;
    audio = MP4AddAudioTrack(h, 8000, 1024, MP4_MPEG4_AUDIO_TYPE);
    if (audio == MP4_INVALID_TRACK_ID) return 4;
    if (!MP4SetTrackESConfiguration(h, audio, config, 2)) return 5;
    if (!MP4WriteSample(h, audio, frame, sizeof frame, MP4_INVALID_DURATION, 0, true)) return 6;
    if (MP4WriteSample(h, audio + 1, frame, sizeof frame, MP4_INVALID_DURATION, 0, true)) return 7;
    MP4Close(h, 0);
    if (stat(argv[1], &st) != 0 || st.st_size < 400) return 8;
    fd = open(argv[1], O_RDWR);
    if (fd < 0 || MP4RecoverClip(fd, &report) != MP4_RECOVERED_WHOLE || report.audio_samples != 1) return 9;
    close(fd);
    remove(argv[1]);
    return 0;
}

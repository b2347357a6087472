// media_probe.h - what real tools (ffprobe, ffmpeg) say of a media file.
#ifndef TESTS_SUPPORT_MEDIA_PROBE_H
#define TESTS_SUPPORT_MEDIA_PROBE_H

#include <map>
#include <string>
#include <vector>

namespace media_probe {

struct CommandResult {
    int status = -1;     // exit status, or -1 if it did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs a shell command line and collects what it prints.
CommandResult run(const std::string &command);

// Quotes one word for the shell.
std::string quoted(const std::string &word);

struct Packet {
    int stream;
    int size;
    bool key;
};

// Every packet of the file, in file order, as ffprobe reads them.
std::vector<Packet> packets(const std::string &file);

// ffprobe's -show_streams fields, one map per stream, keyed "codec_name",
// "width", "nb_frames", "time_base", "duration_ts" ...; empty on failure.
std::vector<std::map<std::string, std::string>> streams(const std::string &file);

// Everything `ffmpeg -v error -i FILE -f null -` prints: empty when the whole
// file decodes without a single error.
std::string decode_errors(const std::string &file);

}  // namespace media_probe

#endif  // TESTS_SUPPORT_MEDIA_PROBE_H

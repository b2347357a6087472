#include "media_probe.h"

#include <sys/wait.h>

#include <cstdio>
#include <sstream>

namespace media_probe {

CommandResult run(const std::string &command) {
    CommandResult r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string quoted(const std::string &word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<Packet> packets(const std::string &file) {
    std::vector<Packet> out;
    const auto r =
        run("ffprobe -v error -show_entries packet=stream_index,size,flags -of csv=p=0 " +
            quoted(file));
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p{};
        char flags[16] = {};
        if (std::sscanf(line.c_str(), "%d,%d,%15s", &p.stream, &p.size, flags) == 3) {
            p.key = flags[0] == 'K';
            out.push_back(p);
        }
    }
    return out;
}

std::vector<std::map<std::string, std::string>> streams(const std::string &file) {
    std::vector<std::map<std::string, std::string>> out;
    const auto r = run("ffprobe -v error -show_streams " + quoted(file));
    if (r.status != 0) return out;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]") {
            out.emplace_back();
        } else if (!out.empty() && line != "[/STREAM]") {
            const auto eq = line.find('=');
            if (eq != std::string::npos) out.back()[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return out;
}

std::string decode_errors(const std::string &file) {
    const auto r = run("ffmpeg -nostdin -v error -i " + quoted(file) + " -f null -");
    return r.status == 0 ? r.output : "exit status " + std::to_string(r.status) + "\n" + r.output;
}

}  // namespace media_probe

// ring_dump - prints what a media ring file holds, for people debugging a
// device.  It maps the file read-only and never creates, grows or clears it,
// so it is safe beside running producers and readers: it takes a snapshot
// with the same acquire loads the readers use, and never writes.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ring_atomic.h"
#include "ring_inspect.h"
#include "ring_layout.h"

namespace {

using namespace media_ring;

constexpr const char *kUsage =
    "usage: ring_dump [--help] [PATH] [CHANNEL]\n"
    "\n"
    "Prints the state of the media ring file at PATH: for each channel its\n"
    "lastBDIndex, curBDIndex and writeOffset, the number of live frames, the\n"
    "bytes they use (payloads, and slots with their 64-byte headers), the\n"
    "oldest and newest ts and sec, the count of each frame type, and for\n"
    "video channels the newest I frame's ts.  With CHANNEL (0..5), also that\n"
    "channel's live descriptor table, oldest first.\n"
    "\n"
    "PATH defaults to $MEDIA_RING_PATH, or /home/vexlon/view when that is\n"
    "unset.  An argument made only of digits is the channel; name a file\n"
    "called so as ./NAME.\n"
    "\n"
    "The file is mapped read-only: ring_dump never creates, grows or clears\n"
    "it.  A missing file, one that is not 3110752 bytes long, or one not fully\n"
    "allocated on disk (sparse), is an error.\n"
    "\n"
    "Exit status: 0 when the ring was printed, 1 when the file cannot be\n"
    "read as a ring, 2 for a usage error.\n";

const char *type_name(uint8_t t) {
    switch (t) {
        case MEDIA_FRAME_P:
            return "P";
        case MEDIA_FRAME_I:
            return "I";
        case MEDIA_FRAME_SPS:
            return "SPS";
        case MEDIA_FRAME_PPS:
            return "PPS";
        default:
            return "other";
    }
}

uint32_t slot_bytes(uint32_t framesize) {
    return (kSlotHeader + framesize + 3) & ~3u;
}

bool all_digits(const char *s) {
    if (*s == '\0') return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

using ring_inspect::live_range;
using ring_inspect::LiveRange;

void print_channel(unsigned char *shm, int ch) {
    ChannelCtrl &c = *channel_ctrl(shm, ch);
    const bool video = !MediaDataIsAudioChannel(ch);
    const LiveRange l = live_range(c);
    const uint32_t write_offset = observe(c.writeOffset);  // pairs with publish(ctrl.writeOffset)
    std::printf("channel %d (%s, region 0x%06x size 0x%06x)\n", ch, video ? "video" : "audio",
                kRegions[ch].offset, kRegions[ch].size);
    std::printf("  lastBDIndex %u  curBDIndex %u  writeOffset 0x%06x\n", l.last, l.cur,
                write_offset);
    if (l.damaged) {
        std::printf("  damaged: an index is 500 or more; no frames listed\n");
        return;
    }
    unsigned frames = 0, other = 0;
    unsigned types[9] = {};
    uint64_t payload = 0, slots = 0;
    FrameInfo oldest{}, newest{};
    int newest_i = -1;
    uint32_t newest_i_sec = 0;
    for (uint32_t i = l.last; i != l.cur; i = next_index(i)) {
        FrameInfo f;
        if (!ring_inspect::live_info(c.bd[i], &f)) continue;
        if (frames++ == 0) oldest = f;
        newest = f;
        payload += f.framesize;
        slots += slot_bytes(f.framesize);
        if (f.frameType == MEDIA_FRAME_P || f.frameType == MEDIA_FRAME_I ||
            f.frameType == MEDIA_FRAME_SPS || f.frameType == MEDIA_FRAME_PPS)
            ++types[f.frameType];
        else
            ++other;
        if (f.frameType == MEDIA_FRAME_I) {
            newest_i = static_cast<int>(i);
            newest_i_sec = f.sec;
        }
    }
    std::printf("  frames %u  bytes %llu  slots %llu\n", frames,
                static_cast<unsigned long long>(payload), static_cast<unsigned long long>(slots));
    if (frames > 0) {
        std::printf("  oldest ts %u sec %u\n", oldest.ts, oldest.sec);
        std::printf("  newest ts %u sec %u\n", newest.ts, newest.sec);
    }
    std::printf("  types I %u  P %u  SPS %u  PPS %u  other %u\n", types[MEDIA_FRAME_I],
                types[MEDIA_FRAME_P], types[MEDIA_FRAME_SPS], types[MEDIA_FRAME_PPS], other);
    if (video) {
        const uint32_t ts = load_relaxed(c.newestIFrameTs);
        if (newest_i >= 0)
            std::printf("  newest I frame ts %u (bd %d, sec %u)\n", ts, newest_i, newest_i_sec);
        else
            std::printf("  newest I frame ts %u (not live)\n", ts);
    }
}

void print_table(unsigned char *shm, int ch) {
    ChannelCtrl &c = *channel_ctrl(shm, ch);
    const LiveRange l = live_range(c);
    const uint32_t region = kRegions[ch].size;
    const uint32_t write_offset = observe(c.writeOffset);  // pairs with publish(ctrl.writeOffset)
    std::printf("channel %d descriptors\n", ch);
    std::printf(
        "   bd valid video shm_offset  framesize         ts type  rate    seq      size"
        "        sec        aux       wait\n");
    if (l.damaged) return;
    for (uint32_t i = l.last; i != l.cur; i = next_index(i)) {
        FrameBD &d = c.bd[i];
        const uint8_t valid = observe(d.valid);  // pairs with publish(bd.valid, 1)
        FrameInfo f;
        std::memcpy(&f, &d.info, sizeof f);
        const uint32_t off = load_relaxed(d.shm_offset);
        const uint32_t wait = (write_offset + region - off) % region;
        std::printf(
            "  %3u %5u %5u   0x%06x   0x%06x %10u %4s %5u %6u %4ux%-4u %10u 0x%08x   0x%06x\n", i,
            valid, d.isVideo, off, f.framesize, f.ts, type_name(f.frameType), f.framerate, f.seq,
            f.width, f.height, f.sec, f.aux, wait);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *path = nullptr;
    int channel = -1;
    for (int k = 1; k < argc; ++k) {
        const char *a = argv[k];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (all_digits(a) && channel < 0) {
            channel = std::atoi(a);
            if (std::strlen(a) > 1 || channel >= kChannelCount) {
                std::fprintf(stderr, "ring_dump: channel %s: not 0..5\n", a);
                return 2;
            }
        } else if (a[0] == '-' || path != nullptr) {
            std::fprintf(stderr, "ring_dump: unexpected argument %s\n%s", a, kUsage);
            return 2;
        } else {
            path = a;
        }
    }
    if (path == nullptr) {
        const char *env = std::getenv(kRingPathEnv);
        path = env != nullptr && *env != '\0' ? env : kRingPath;
    }

    const int fd = open(path, O_RDONLY | O_CLOEXEC);  // never O_CREAT
    if (fd < 0) {
        std::fprintf(stderr, "ring_dump: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        std::fprintf(stderr, "ring_dump: cannot stat %s: %s\n", path, std::strerror(errno));
        close(fd);
        return 1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kRingFileSize)) {
        std::fprintf(stderr, "ring_dump: %s is %lld bytes, not a media ring file of %u bytes\n",
                     path, static_cast<long long>(st.st_size), kRingFileSize);
        close(fd);
        return 1;
    }
    if (static_cast<uint64_t>(st.st_blocks) * 512u < kRingFileSize) {
        // A ring's mapper reserves every block; holes mean no mapper has
        // finished with this file.  Reading a hole may have to allocate a
        // page, which on a full file system is SIGBUS; and this tool never
        // writes, so it does not reserve them itself.
        std::fprintf(stderr,
                     "ring_dump: %s is not fully allocated (%lld of %u bytes on disk): not a "
                     "ring file a process has mapped\n",
                     path, static_cast<long long>(st.st_blocks) * 512, kRingFileSize);
        close(fd);
        return 1;
    }
    void *m = mmap(nullptr, kRingFileSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "ring_dump: cannot map %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    auto *shm = static_cast<unsigned char *>(m);
    std::printf("ring %s (%u bytes)\n", path, kRingFileSize);
    for (int ch = 0; ch < kChannelCount; ++ch) print_channel(shm, ch);
    if (channel >= 0) print_table(shm, channel);
    munmap(m, kRingFileSize);
    return 0;
}

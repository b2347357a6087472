// ring_map.cpp - creating and mapping the ring file, and the region lookup.
//
// Every process maps the ring once, lazily, from its first ring operation;
// the mapping lives until the process ends.  A file of the wrong size is
// brought to size and cleared; one of the right size is mapped unchanged, so
// a process joining a running system sees the frames already stored.  The
// size check, the resize and the clear run under an exclusive flock() on the
// file, so two processes that find it missing at once do not both clear it:
// the second sees the right size and maps it as it is.
//
// Under the same lock the file's blocks are reserved (posix_fallocate) when
// it is created or resized, and when a file of the right size is found
// sparse (st_blocks * 512 below its size; reserving changes no byte).  A
// shared mapping of a file whose blocks are not allocated faults a page in
// on first touch, and on a full file system that fault is SIGBUS in
// whichever process touches it; with every block reserved up front a full
// file system fails the mapping instead, with its level-3 line.
//
// Only a regular file is mapped.  The path is opened non-blocking, so a FIFO
// or a device cannot stall the open, and refused at once when it is not a
// regular file; a directory fails the open itself (EISDIR).  Such a path can
// never become a ring, so it is not retried; other open failures (a missing
// folder, a permission not yet granted) are retried as always.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ring_internal.h"

extern "C" {
MEDIA_RING_VISIBLE unsigned char *g_media_shm = nullptr;
}

namespace {

constexpr int kOpenAttempts = 10;
constexpr useconds_t kOpenRetryPause = 100000;  // 100 ms
constexpr int kMmapErrorLine = 208;             // figure printed by the mmap failure line
constexpr const char *kCreate = "MediaDataCreatShareMem";

// perror() with the errno of the failed call, not of whatever ran since.
void report_errno(int saved) {
    errno = saved;
    std::perror("\nerror info");
}

int lock_file(int fd) {
    int r;
    do r = flock(fd, LOCK_EX);
    while (r != 0 && errno == EINTR);
    return r;
}

// Reserves every block of the file's first `size` bytes; changes no byte.
// Returns 0 or the error number.
int allocate_file(int fd, uint32_t size) {
    int r;
    do r = posix_fallocate(fd, 0, static_cast<off_t>(size));
    while (r == EINTR);
    return r;
}

// An open failure that no retry can cure: the path names no regular file.
bool never_a_file(int err) {
    return err == EISDIR || err == ENXIO || err == ENODEV;
}

// Brings the open file from `have` bytes to exactly `want` bytes.  A shorter
// file is grown by writing one zero byte at its last position; a longer one
// is cut, so it is cleared once and not again at every later mapping.
bool resize_file(int fd, off_t have, uint32_t want) {
    if (want == 0) return false;
    if (have > static_cast<off_t>(want)) return ftruncate(fd, want) == 0;
    const off_t last = static_cast<off_t>(want) - 1;
    if (lseek(fd, last, SEEK_SET) != last) return false;
    ssize_t n;
    do n = write(fd, "", 1);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

}  // namespace

MEDIA_RING_EXPORT void *MediaDataCreatShareMem(const char *path, uint32_t size, int mode) {
    int fd = -1;
    int attempt = 1;
    for (;; ++attempt) {
        // O_NONBLOCK: opening a FIFO or a device must not wait.  On the
        // regular file that alone goes on to be mapped it changes nothing.
        fd = path ? open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0777)
                  : (errno = EFAULT, -1);
        if (fd >= 0) break;
        const int err = errno;
        media_printf(3, "%s: creatShareMem open mmap file error %d \n", kCreate, attempt);
        report_errno(err);
        if (never_a_file(err)) {
            media_printf(3, " open mmap file error!!! ");
            return nullptr;
        }
        usleep(kOpenRetryPause);
        if (attempt == kOpenAttempts) {
            media_printf(3, " open mmap file error!!! ");
            return nullptr;
        }
    }

    struct stat st;
    if (fstat(fd, &st) != 0) {
        media_printf(3, " ChgFileSize:invoke < fstat 1 > fail ");
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        // Before the lock: flock on a FIFO or device is no business of ours.
        media_printf(3, "%s: creatShareMem %s is not a regular file \n", kCreate, path);
        close(fd);
        return nullptr;
    }

    // Held until the mapping is made: serialises check, resize, allocation
    // and clear between processes.
    // A file system without flock support still maps, only unserialised.
    (void)lock_file(fd);
    // The size as it stands under the lock: another process may have grown
    // the file between our open and our lock.
    if (fstat(fd, &st) != 0) {
        media_printf(3, " ChgFileSize:invoke < fstat 1 > fail ");
        close(fd);
        return nullptr;
    }
    const bool resized = st.st_size != static_cast<off_t>(size);
    // A file to be resized, or a right-sized one with holes, gets all its
    // blocks first, so no later touch of the mapping can find the file
    // system full.  First: should this fail, a short file stays short, and
    // the attempt that succeeds still finds it mis-sized and clears it.
    const bool sparse = static_cast<uint64_t>(st.st_blocks) * 512u < size;
    if (resized || sparse) {
        const int err = allocate_file(fd, size);
        if (err != 0 && err != EOPNOTSUPP && err != ENOSYS) {
            media_printf(3, "%s: creatShareMem resize file to %u error \n", kCreate, size);
            report_errno(err);
            close(fd);
            return nullptr;
        }
        // A file system that cannot reserve blocks (or a C library without
        // the call) maps as before, unreserved.
    }
    if (resized && !resize_file(fd, st.st_size, size)) {
        // Never map past the end of a file that could not be brought to size:
        // a later access there would fault.
        const int err = errno;
        media_printf(3, "%s: creatShareMem resize file to %u error \n", kCreate, size);
        report_errno(err);
        close(fd);
        return nullptr;
    }

    void *addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int map_err = errno;
    if (addr != MAP_FAILED && resized) {
        std::memset(addr, 0, size);
        media_printf(4, " %s: memory clear %d ", path, static_cast<int>(size));
    }
    // Unlock explicitly: the mapping keeps the open file alive after close(),
    // and with it a flock() lock, which would stall every later mapper.
    (void)flock(fd, LOCK_UN);
    close(fd);  // the mapping stays valid
    if (addr == MAP_FAILED) {
        media_printf(3, "%s: %d creatShareMem mmap error \n", kCreate, kMmapErrorLine);
        report_errno(map_err);
        return nullptr;
    }
    media_printf(4, "\nMMAP address=0x%x, size=%ld(0x%x), mode=%d, try %d \n",
                 static_cast<unsigned int>(reinterpret_cast<uintptr_t>(addr)),
                 static_cast<long>(size), static_cast<unsigned int>(size), mode, attempt);
    return addr;
}

MEDIA_RING_EXPORT int MediaDataInit(int mode) {
    const char *path = std::getenv(media_ring::kRingPathEnv);
    if (path == nullptr || *path == '\0') path = media_ring::kRingPath;
    g_media_shm =
        static_cast<unsigned char *>(MediaDataCreatShareMem(path, media_ring::kRingFileSize, mode));
    if (g_media_shm != nullptr) return 0;
    media_printf(3, "%s: create web shared memory fail \n", "MediaDataInit");
    return -1;
}

MEDIA_RING_EXPORT int MediaDataGetAddr(uint8_t channel, uint32_t *regionOffset,
                                       uint32_t *regionSize) {
    if (channel >= media_ring::kChannelCount) {
        media_printf(3, "%s: ch %d fail!!!\n", "MediaDataGetAddr", channel);
        return -1;
    }
    if (regionOffset) *regionOffset = media_ring::kRegions[channel].offset;
    if (regionSize) *regionSize = media_ring::kRegions[channel].size;
    return 0;
}

namespace media_ring {

bool enter_channel(int channel, int mode, Channel *out) {
    if (g_media_shm == nullptr && MediaDataInit(mode) < 0) return false;
    uint32_t offset = 0, size = 0;
    if (MediaDataGetAddr(static_cast<uint8_t>(channel), &offset, &size) < 0) return false;
    // 257 passes the lookup as channel 1; taken whole it names no channel.
    if (channel < 0 || channel >= kChannelCount) return false;
    out->number = channel;
    out->ctrl = channel_ctrl(g_media_shm, channel);
    out->data = g_media_shm + kDataAreaOffset + offset;
    out->region_size = size;
    return true;
}

}  // namespace media_ring

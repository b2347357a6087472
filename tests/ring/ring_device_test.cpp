// The ring file and the status block on the file systems of a real device:
// a full file system, a path that is no regular file, a status block still
// short or only readable.  Every risky call runs in a child process, so a
// fault shows as a signal in its status instead of ending the test.  The
// full and read-only file systems are small tmpfs mounts in a private mount
// namespace (root only; skipped otherwise), gone with the process.
#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "child_run.h"
#include "media_ring/status_block.h"
#include "recorder/recorder.h"
#include "ring_fixture.h"

namespace ring_test {
namespace {

struct ChildRun {
    int status;  // exit status, or 128 + the signal that ended the child
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `fn` in a child with its standard output and error caught in files
// under `dir`.  alarm() only ends a child that hangs.
ChildRun in_child(const std::string &dir, const std::function<int()> &fn) {
    const std::string out = dir + "/child.out", err = dir + "/child.err";
    const int status = child_exit_status([&] {
        alarm(60);
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
            return 90;
        const int rc = fn();
        std::fflush(stdout);
        std::fflush(stderr);
        return rc;
    });
    ChildRun r{status, slurp(out), slurp(err)};
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

// A private mount namespace for this test process, made once.
bool private_mounts() {
    static const bool ok = unshare(CLONE_NEWNS) == 0 &&
                           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ok;
}

void write_file(const std::string &path, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0);
    const std::string bytes(size, '\x5a');
    ASSERT_EQ(write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    close(fd);
}

// A 1 MiB tmpfs at mnt_, inside the ring test's private folder.
class TmpfsTest : public RingTest {
  protected:
    void SetUp() override {
        RingTest::SetUp();
        if (!private_mounts())
            GTEST_SKIP() << "mounting a tmpfs needs root (CAP_SYS_ADMIN): " << std::strerror(errno);
        mnt_ = dir_ + "/mnt";
        ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
        ASSERT_EQ(mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
    }
    void TearDown() override {
        if (!mnt_.empty()) {
            umount2(mnt_.c_str(), MNT_DETACH);
            rmdir(mnt_.c_str());
        }
        RingTest::TearDown();
    }
    // Writes a filler until the file system has no block left.
    void fill() {
        const int fd = open((mnt_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        const std::string chunk(4096, 'f');
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
        close(fd);
    }
    std::string mnt_;
};

// A full file system: the mapping fails each time with its level-3 lines
// and the system's reason; no process dies of SIGBUS.
TEST_F(TmpfsTest, FullFileSystemFailsEveryPutAndKillsNoProcess) {
    const struct {
        const char *label;
        long size;  // -1: no file
        bool sparse;
    } cases[] = {
        {"missing file", -1, false},
        {"empty file", 0, false},
        {"short file", 100, false},
        {"right size, sparse", media_ring::kRingFileSize, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string ring = mnt_ + "/view";
        unlink(ring.c_str());
        unlink((mnt_ + "/filler").c_str());
        if (c.size >= 0) write_file(ring, c.sparse ? 0 : static_cast<size_t>(c.size));
        if (c.sparse) {
            ASSERT_EQ(truncate(ring.c_str(), c.size), 0);
        }
        fill();
        const ChildRun r = in_child(dir_, [&] {
            setenv(media_ring::kRingPathEnv, ring.c_str(), 1);
            const FrameInfo info = frame(1, MEDIA_FRAME_SPS);
            const uint8_t bytes[8] = {0, 0, 0, 1, 0x67, 1, 2, 3};
            const int first = MediaDataPut(MEDIA_CH_RECORD_VIDEO, bytes, 8, &info);
            const int second = MediaDataPut(MEDIA_CH_RECORD_VIDEO, bytes, 8, &info);
            return first == -1 && second == -1 ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0);
        const std::string lines =
            "MediaDataCreatShareMem: creatShareMem resize file to 3110752 error \n"
            "MediaDataInit: create web shared memory fail \n";
        EXPECT_EQ(r.out, lines + lines);
        EXPECT_EQ(r.err,
                  "\nerror info: No space left on device\n"
                  "\nerror info: No space left on device\n");
    }
}

// ring_dump never writes, so it cannot reserve the blocks: it refuses.
TEST_F(TmpfsTest, RingDumpRefusesASparseRingOnAFullFileSystem) {
    const std::string ring = mnt_ + "/view";
    write_file(ring, 0);
    ASSERT_EQ(truncate(ring.c_str(), media_ring::kRingFileSize), 0);
    fill();
    const ChildRun r = in_child(dir_, [&] {
        execl(RING_DUMP_EXE, "ring_dump", ring.c_str(), "1", static_cast<char *>(nullptr));
        return 99;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(ring + " is not fully allocated"), std::string::npos) << r.err;
}

// Refused at the first attempt with the level-3 lines: such a path never
// becomes a ring file, and opening it must not wait for a partner.
TEST_F(RingTest, PathThatIsNoRegularFileIsRefusedAtOnce) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string fail = "MediaDataInit: create web shared memory fail \n";
    const struct {
        std::string path, out, err;
    } cases[] = {
        {dir_,
         "MediaDataCreatShareMem: creatShareMem open mmap file error 1 \n open mmap file "
         "error!!! " +
             fail,
         "\nerror info: Is a directory\n"},
        {fifo, "MediaDataCreatShareMem: creatShareMem " + fifo + " is not a regular file \n" + fail,
         ""},
        {"/dev/null",
         "MediaDataCreatShareMem: creatShareMem /dev/null is not a regular file \n" + fail, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const ChildRun r = in_child(dir_, [&] {
            setenv(media_ring::kRingPathEnv, c.path.c_str(), 1);
            int bd = 0;
            FrameInfo info;
            uint8_t buf[16];
            return MediaDataGetNextFrame(1, buf, sizeof buf, &bd, &info) == -1 ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    unlink(fifo.c_str());
}

// get_sharemem maps only a whole block, and needs no write access to it.
TEST_F(TmpfsTest, StatusBlockIsMappedOnlyWholeAndReadOnly) {
    const std::string block = mnt_ + "/mmap.info";
    const struct {
        long size;
        bool mapped;
    } cases[] = {{-1, false}, {0, false}, {100, false}, {13899, false}, {13900, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        unlink(block.c_str());
        if (c.size >= 0) write_file(block, static_cast<size_t>(c.size));
        const ChildRun r = in_child(dir_, [&] { return get_sharemem(block.c_str()) != nullptr; });
        EXPECT_EQ(r.status, c.mapped ? 1 : 0);
    }
    // Only readable: mode 0444 on a file system mounted read-only (which
    // binds root as well).
    ASSERT_EQ(chmod(block.c_str(), 0444), 0);
    ASSERT_EQ(mount(nullptr, mnt_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    const ChildRun r = in_child(dir_, [&] {
        const void *p = get_sharemem(block.c_str());
        return p != nullptr &&
               static_cast<const unsigned char *>(p)[STATUS_TARGET_FRAMERATE] == 0x5a;
    });
    EXPECT_EQ(r.status, 1);
}

// alarm_record NAME 1 in a child on a terminal, so each line it prints
// arrives as it is printed; killed when done with.
struct PtyRecorder {
    pid_t pid = -1;
    FILE *from = nullptr;
    std::string seen;
    explicit PtyRecorder(const std::string &clip) {
        int master = -1;
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            alarm(60);
            execl(ALARM_RECORD_EXE, "alarm_record", clip.c_str(), "1", static_cast<char *>(nullptr));
            _exit(99);
        }
        if (pid > 0) from = fdopen(master, "r");
    }
    // True once a line beginning with `prefix` has come; false at the end.
    bool until(const char *prefix) {
        char line[512];
        while (from && std::fgets(line, sizeof line, from)) {
            seen += line;
            if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) return true;
        }
        return false;
    }
    // Kills it; true when it was still alive to be killed (no fault ended it).
    bool kill_alive() {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (from) std::fclose(from);
        from = nullptr;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
};

// The recorder started on a status block still short says so once a second
// and waits; once the block is whole it goes on to its clip.
TEST_F(RingTest, RecorderWaitsForAShortStatusBlockAndGoesOnOnceWhole) {
    map_ring();
    const uint8_t sps[8] = {0, 0, 0, 1, 0x67, 1, 2, 3};
    const FrameInfo info = frame(50000, MEDIA_FRAME_SPS);
    ASSERT_EQ(MediaDataPut(MEDIA_CH_RECORD_VIDEO, sps, sizeof sps, &info), 0);
    const std::string block = dir_ + "/mmap.info";
    setenv(STATUS_BLOCK_PATH_ENV, block.c_str(), 1);
    const std::string clip = dir_ + "/clip.mp4";
    for (size_t size : {0, 100, 13899}) {
        SCOPED_TRACE(size);
        write_file(block, size);
        PtyRecorder r(clip);
        ASSERT_GT(r.pid, 0);
        EXPECT_TRUE(r.until("open share mem fail")) << r.seen;
        ASSERT_EQ(truncate(block.c_str(), STATUS_BLOCK_SIZE), 0);
        EXPECT_TRUE(r.until("event_gap(")) << r.seen;
        EXPECT_TRUE(r.kill_alive()) << r.seen;
        unlink(block.c_str());
        unlink((clip + ".tmp").c_str());
    }
}

// A status block cut short under the recorder's mapping (its keeper rewrites
// it with truncate and write) faults every read of it; the recorder keeps
// the values it last read, says so once, and records on.
TEST_F(RingTest, RecorderOutlivesAStatusBlockCutShortUnderIt) {
    map_ring();
    const std::string block = dir_ + "/mmap.info";
    setenv(STATUS_BLOCK_PATH_ENV, block.c_str(), 1);
    write_file(block, STATUS_BLOCK_SIZE);
    PtyRecorder r(dir_ + "/clip.mp4");
    ASSERT_GT(r.pid, 0);
    // Mapped (it then waits for an SPS): cut the block short under it.
    const std::string maps = "/proc/" + std::to_string(r.pid) + "/maps";
    while (slurp(maps).find(block) == std::string::npos) usleep(10000);
    ASSERT_EQ(truncate(block.c_str(), 0), 0);  // its first page gone: a read faults
    const uint8_t sps[8] = {0, 0, 0, 1, 0x67, 1, 2, 3};
    const FrameInfo info = frame(50000, MEDIA_FRAME_SPS);
    ASSERT_EQ(MediaDataPut(MEDIA_CH_RECORD_VIDEO, sps, sizeof sps, &info), 0);
    EXPECT_TRUE(r.until("alarm_record: the status block is cut short")) << r.seen;
    EXPECT_TRUE(r.until("event_gap(")) << r.seen;
    EXPECT_TRUE(r.kill_alive()) << r.seen;
}

}  // namespace
}  // namespace ring_test

// Creating and mapping the ring file, the region lookup and the levelled log.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>

#include "ring_fixture.h"

namespace ring_test {
namespace {

class RingMapTest : public RingTest {
  protected:
    void write_file(size_t size, uint8_t fill) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        const std::vector<char> bytes(size, static_cast<char>(fill));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    off_t file_size() const {
        struct stat st;
        return stat(path_.c_str(), &st) == 0 ? st.st_size : -1;
    }
    bool all_zero() const {
        for (uint8_t b : whole_file())
            if (b != 0) return false;
        return true;
    }
};

const std::regex kMmapLine(
    R"(\nMMAP address=0x[0-9a-f]+, size=3110752\(0x2f7760\), mode=(\d), try (\d+) \n)");

TEST_F(RingMapTest, MissingFileIsCreatedGrownAndClearedOnce) {
    const std::string out = stdout_of([] { EXPECT_EQ(MediaDataInit(1), 0); });
    ASSERT_NE(g_media_shm, nullptr);
    EXPECT_EQ(out.rfind(" " + path_ + ": memory clear 3110752 ", 0), 0u) << out;
    std::smatch m;
    const std::string rest = out.substr((" " + path_ + ": memory clear 3110752 ").size());
    ASSERT_TRUE(std::regex_match(rest, m, kMmapLine)) << out;
    EXPECT_EQ(m[1], "1");
    EXPECT_EQ(m[2], "1");
    EXPECT_EQ(file_size(), 3110752);
    EXPECT_TRUE(all_zero());
}

TEST_F(RingMapTest, RightSizedFileIsMappedUnchanged) {
    map_ring();
    put(1, 100, 0x5A, frame(42, 5));
    forget_mapping();
    // A reader joining later: no clear, the frame still there, mode 0 printed.
    const std::string out = stdout_of([] { EXPECT_EQ(MediaDataInit(0), 0); });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, kMmapLine)) << out;
    EXPECT_EQ(m[1], "0");
    EXPECT_EQ(ctrl(1).curBDIndex, 1);
    EXPECT_EQ(ctrl(1).bd[0].info.ts, 42u);
    EXPECT_EQ(file_bytes(96096 + 0x200000 + 64, 100), payload(100, 0x5A));
}

TEST_F(RingMapTest, MisSizedFilesAreBroughtToSizeAndCleared) {
    for (size_t size :
         {size_t{0}, size_t{4096}, size_t{3110751}, size_t{3110753}, size_t{4000000}}) {
        SCOPED_TRACE(size);
        forget_mapping();
        write_file(size, 0xEE);
        const std::string out = stdout_of([] { EXPECT_EQ(MediaDataInit(1), 0); });
        EXPECT_NE(out.find(": memory clear 3110752 "), std::string::npos) << out;
        EXPECT_EQ(file_size(), 3110752);  // a longer file is cut, not left long
        EXPECT_TRUE(all_zero());
        // Once at size, the next mapping keeps what is there.
        forget_mapping();
        const std::string again = stdout_of([] { EXPECT_EQ(MediaDataInit(1), 0); });
        EXPECT_EQ(again.find("memory clear"), std::string::npos) << again;
    }
}

TEST_F(RingMapTest, MissingFolderFailsAfterTenAttemptsAndTheNextOperationRetries) {
    const std::string folder = dir_ + "/absent";
    const std::string path = folder + "/view";
    setenv(media_ring::kRingPathEnv, path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    const std::string out = stdout_of([] { EXPECT_EQ(MediaDataInit(1), -1); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_media_shm, nullptr);
    std::string expected;
    for (int i = 1; i <= 10; ++i)
        expected += "MediaDataCreatShareMem: creatShareMem open mmap file error " +
                    std::to_string(i) + " \n";
    expected += " open mmap file error!!! MediaDataInit: create web shared memory fail \n";
    EXPECT_EQ(out, expected);
    std::string perror_lines;
    for (int i = 0; i < 10; ++i) perror_lines += "\nerror info: No such file or directory\n";
    EXPECT_EQ(err, perror_lines);

    // A put maps the ring itself once the folder exists.
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const FrameInfo info = frame(1);
    const uint8_t byte = 7;
    const std::string put_out = stdout_of([&] { EXPECT_EQ(MediaDataPut(4, &byte, 1, &info), 0); });
    EXPECT_NE(put_out.find("mode=1, try 1"), std::string::npos);
    EXPECT_NE(g_media_shm, nullptr);
    forget_mapping();
    unlink(path.c_str());
    rmdir(folder.c_str());
}

// Runs `fn` in a child process and returns its exit status.
template <typename Fn>
int in_child(Fn &&fn) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(RingMapTest, FileThatCannotBeGrownIsNotMapped) {
    const std::string out_path = dir_ + "/child.out";
    const int status = in_child([&] {
        if (!std::freopen(out_path.c_str(), "w", stdout)) return 90;
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{65536, 65536};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 91;
        return MediaDataInit(1) == -1 && g_media_shm == nullptr ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    std::ifstream in(out_path);
    const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(out,
              "MediaDataCreatShareMem: creatShareMem resize file to 3110752 error \n"
              "MediaDataInit: create web shared memory fail \n");
    unlink(out_path.c_str());
}

TEST_F(RingMapTest, ProcessesStartingTogetherClearTheFileOnce) {
    // Several producers start at once on a missing file; each puts a frame
    // into its own channel straight after mapping.  Only one may clear.
    constexpr int kProcs = 4;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> pids;
    std::vector<std::string> outs;
    for (int p = 0; p < kProcs; ++p) {
        outs.push_back(dir_ + "/out" + std::to_string(p));
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            if (!std::freopen(outs.back().c_str(), "w", stdout)) _exit(90);
            close(go[1]);
            char c;
            if (read(go[0], &c, 1) != 0) _exit(91);  // released when the pipe closes
            const FrameInfo info = frame(1000 + p);
            const uint8_t data[8] = {};
            _exit(MediaDataPut(p, data, sizeof data, &info) == 0 ? 0 : 1);
        }
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int clears = 0;
    for (const auto &o : outs) {
        std::ifstream in(o);
        const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        clears += s.find("memory clear") != std::string::npos;
        unlink(o.c_str());
    }
    EXPECT_EQ(clears, 1);
    map_ring();
    for (int p = 0; p < kProcs; ++p) {
        EXPECT_EQ(ctrl(p).curBDIndex, 1) << "channel " << p << " lost its frame to a second clear";
        EXPECT_EQ(ctrl(p).bd[0].info.ts, 1000u + p);
    }
}

TEST_F(RingMapTest, AMappingHeldByOneProcessDoesNotStallTheNext) {
    map_ring();  // this process keeps its mapping, as a running producer does
    const int status = in_child([] {
        alarm(10);  // a stalled mapping ends the child instead of the test run
        g_media_shm = nullptr;
        std::freopen("/dev/null", "w", stdout);
        return MediaDataInit(0) == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

TEST(RingRegionTest, LookupByLowEightBits) {
    struct Case {
        unsigned channel;
        int result;
        uint32_t offset, size;
    };
    const Case cases[] = {
        {0, 0, 0x000000, 0x200000},
        {1, 0, 0x200000, 0x080000},
        {2, 0, 0x280000, 0x010000},
        {3, 0, 0x290000, 0x010000},
        {4, 0, 0x2A0000, 0x020000},
        {5, 0, 0x2C0000, 0x020000},
        {257, 0, 0x200000, 0x080000},  // counts by its low eight bits: channel 1
        {6, -1, 7, 7},
        {255, -1, 7, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.channel);
        uint32_t offset = 7, size = 7;
        const std::string out = stdout_of([&] {
            EXPECT_EQ(MediaDataGetAddr(static_cast<uint8_t>(c.channel), &offset, &size), c.result);
        });
        EXPECT_EQ(offset, c.offset);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(out, c.result == 0 ? ""
                                     : "MediaDataGetAddr: ch " + std::to_string(c.channel & 0xff) +
                                           " fail!!!\n");
    }
}

TEST(RingLogTest, PrintsLevelsUpToFourOnly) {
    EXPECT_EQ(stdout_of([] { media_printf(0, "a%d", 0); }), "a0");
    EXPECT_EQ(stdout_of([] { media_printf(4, " x 0x%6x \n", 0xabcu); }), " x 0x   abc \n");
    EXPECT_EQ(stdout_of([] { media_printf(5, "hidden\n"); }), "");
    EXPECT_EQ(stdout_of([] { media_printf(7, "hidden %s\n", "too"); }), "");
    EXPECT_EQ(stdout_of([] { media_printf(static_cast<unsigned>(-1), "hidden\n"); }), "");
}

}  // namespace
}  // namespace ring_test

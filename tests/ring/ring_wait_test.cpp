// Waiting for a put: the results of MediaDataWaitPut and
// MediaDataGetPutCount, and a reader in another process that follows a fast
// producer by sleeping in the wait and sees every frame.
#include <errno.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ring_fixture.h"

namespace ring_test {
namespace {

using Clock = std::chrono::steady_clock;

class WaitTest : public RingTest {
  protected:
    void SetUp() override {
        RingTest::SetUp();
        map_ring();
    }
};

TEST_F(WaitTest, ReturnsOnAPutTimesOutOrRefuses) {
    uint32_t first = 0, count = 0;
    ASSERT_EQ(MediaDataGetPutCount(2, &first), 0);
    const struct {
        const char *label;
        int channel;
        int32_t count_delta;  // the count handed in, against the current one
        int timeout_ms;
        int put_channel;  // a put 30 ms into the wait, from another thread; -1: none
        int rc, err;
    } cases[] = {
        {"count already moved", 2, -2, -1, -1, 0, 0},
        {"no put, no time", 2, 0, 0, -1, -1, ETIMEDOUT},
        {"a put while waiting without a limit", 2, 0, -1, 2, 0, 0},
        {"a put within the limit", 2, 0, 60000, 2, 0, 0},
        {"no put: times out", 2, 0, 40, -1, -1, ETIMEDOUT},
        {"a put into another channel does not count", 2, 0, 40, 3, -1, ETIMEDOUT},
        {"channel 6", 6, 0, -1, -1, -1, EINVAL},
        {"channel -1", -1, 0, -1, -1, -1, EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(MediaDataGetPutCount(2, &count), 0);
        std::thread producer;
        if (c.put_channel >= 0)
            producer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                put(c.put_channel, 16, 1, frame(1));
            });
        const auto t0 = Clock::now();
        errno = 0;
        const int rc = MediaDataWaitPut(c.channel, count + c.count_delta, c.timeout_ms);
        const int err = errno;
        const auto waited = Clock::now() - t0;
        if (producer.joinable()) producer.join();
        EXPECT_EQ(rc, c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(err, c.err);
        }
        if (c.err == ETIMEDOUT) {
            EXPECT_GE(waited, std::chrono::milliseconds(c.timeout_ms));
        }
        // The flag a sleeper raised is cleared by the put that woke it, and
        // one that timed out before sleeping never raised it.
        if (c.rc == 0 || c.timeout_ms == 0) {
            EXPECT_EQ(ctrl(2).wakeWord & 1, 0u);
        }
    }
    uint32_t after = 0;
    ASSERT_EQ(MediaDataGetPutCount(2, &after), 0);
    EXPECT_NE(after, first);
    EXPECT_EQ(MediaDataGetPutCount(6, &after), -1);
}

// The producer runs at most kLead frames ahead of the reader (the reader
// publishes its progress), so a reader that keeps up must see every frame
// in order.  A lost wakeup leaves the reader asleep until the producer,
// held back, can put no more: the whole run takes milliseconds, so a wait
// of 10 s can only be one (it is a hang detector, not a speed test).
TEST_F(WaitTest, AFollowerThatSleepsBetweenPutsSeesEveryFrame) {
    constexpr uint32_t kFrames = 20000, kLead = 300;
    auto *read = static_cast<std::atomic<uint32_t> *>(mmap(
        nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
        -1, 0));
    ASSERT_NE(read, MAP_FAILED);
    read->store(0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    // Whatever ends this test, the producer (which may be held back,
    // spinning) goes with it.
    struct Reap {
        pid_t pid;
        ~Reap() {
            if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
        }
    };
    if (pid == 0) {
        for (uint32_t k = 1; k <= kFrames; ++k) {
            while (k - read->load(std::memory_order_acquire) > kLead) std::this_thread::yield();
            const FrameInfo info = frame(k);
            const uint8_t payload[16] = {};
            if (MediaDataPut(2, payload, sizeof payload, &info) != 0) _exit(2);
        }
        _exit(0);
    }
    const Reap reap{pid};
    uint8_t buf[64];
    FrameInfo info;
    int bd = -1;  // before descriptor 0: the walk starts there
    uint32_t seen = 0, lost = 0, sleeps = 0;
    while (seen < kFrames && lost == 0) {
        uint32_t count;
        ASSERT_EQ(MediaDataGetPutCount(2, &count), 0);
        if (bd < 0 ? _MediaDataGetOldFrame(2, buf, sizeof buf, 0, &bd, &info) == 0
                   : MediaDataGetNextFrame(2, buf, sizeof buf, &bd, &info) == 0) {
            ASSERT_EQ(info.ts, seen + 1) << "frame lost or repeated";
            read->store(++seen, std::memory_order_release);
            continue;
        }
        ++sleeps;
        const auto t0 = Clock::now();
        if (MediaDataWaitPut(2, count, 10000) != 0 || Clock::now() - t0 >= std::chrono::seconds(10))
            ++lost;
    }
    EXPECT_EQ(lost, 0u) << "a wakeup was lost after frame " << seen;
    EXPECT_EQ(seen, kFrames);
    if (!lost) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::printf("%u frames, the reader slept %u times\n", seen, sleeps);
    munmap(read, sizeof *read);
}

}  // namespace
}  // namespace ring_test

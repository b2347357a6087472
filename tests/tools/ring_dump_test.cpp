// ring_dump run on rings written by the writer: it prints what was put, and
// refuses, without touching them, files that are not a ring.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ring_fixture.h"

namespace ring_test {
namespace {

struct DumpRun {
    int status;
    std::string out;  // stdout and stderr
};

DumpRun ring_dump(const std::string &args) {
    const std::string cmd = std::string(RING_DUMP_EXE) + " " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    DumpRun r{-1, {}};
    if (p == nullptr) return r;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) r.out.append(chunk, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class RingDump : public RingTest {
  protected:
    void SetUp() override {
        RingTest::SetUp();
        map_ring();
        // Channel 1: SPS, PPS, I, P, P of 20, 10, 300, 100, 100 bytes.
        const struct {
            uint32_t size, ts;
            uint8_t type;
        } video[] = {{20, 1000, 7}, {10, 1040, 8}, {300, 1080, 5}, {100, 1120, 1}, {100, 1160, 1}};
        for (const auto &v : video) put(1, v.size, 1, frame(v.ts, v.type, v.ts / 1000));
        for (uint32_t k = 0; k < 3; ++k) put(4, 50, 2, frame(2000 + 128 * k, 0, 2));
    }
};

TEST_F(RingDump, PrintsEachChannelAsPut) {
    const DumpRun r = ring_dump(path_);
    EXPECT_EQ(r.status, 0) << r.out;
    const char *want[] = {
        "channel 0 (video, region 0x000000 size 0x200000)\n"
        "  lastBDIndex 0  curBDIndex 0  writeOffset 0x000000\n"
        "  frames 0  bytes 0  slots 0\n"
        "  types I 0  P 0  SPS 0  PPS 0  other 0\n"
        "  newest I frame ts 0 (not live)\n",
        "channel 1 (video, region 0x200000 size 0x080000)\n"
        "  lastBDIndex 0  curBDIndex 5  writeOffset 0x000354\n"
        "  frames 5  bytes 530  slots 852\n"
        "  oldest ts 1000 sec 1\n"
        "  newest ts 1160 sec 1\n"
        "  types I 1  P 2  SPS 1  PPS 1  other 0\n"
        "  newest I frame ts 1080 (bd 2, sec 1)\n",
        "channel 4 (audio, region 0x2a0000 size 0x020000)\n"
        "  lastBDIndex 0  curBDIndex 3  writeOffset 0x00015c\n"
        "  frames 3  bytes 150  slots 348\n"
        "  oldest ts 2000 sec 2\n"
        "  newest ts 2256 sec 2\n"
        "  types I 0  P 0  SPS 0  PPS 0  other 3\n"
        "channel 5",
    };
    EXPECT_EQ(r.out.rfind("ring " + path_ + " (3110752 bytes)\n", 0), 0u) << r.out;
    for (const char *w : want)
        EXPECT_NE(r.out.find(w), std::string::npos) << w << "\nin:\n" << r.out;
}

TEST_F(RingDump, ChannelArgumentAddsTheLiveDescriptorTable) {
    const DumpRun r = ring_dump("1 " + path_);  // either order
    ASSERT_EQ(r.status, 0) << r.out;
    std::istringstream in(r.out.substr(r.out.find("channel 1 descriptors")));
    std::string line;
    std::getline(in, line);
    std::getline(in, line);  // the heading
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        rows.emplace_back(std::istream_iterator<std::string>(words),
                          std::istream_iterator<std::string>());
    }
    ASSERT_EQ(rows.size(), 5u) << r.out;
    // bd valid video shm_offset framesize ts type rate seq size sec aux wait
    const std::vector<std::string> i_frame = {
        "2",  "1", "1",       "0x0000e0", "0x00012c",   "1080",    "I",
        "15", "2", "640x360", "1",        "0xa5a5a5a5", "0x000274"};
    EXPECT_EQ(rows[2], i_frame);
    EXPECT_EQ(rows[4][6], "P");
    EXPECT_EQ(rows[0][6], "SPS");
}

TEST_F(RingDump, DefaultsToTheEnvironmentsRingAndNeverWritesIt) {
    const auto before = whole_file();
    const DumpRun r = ring_dump("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("ring " + path_ + " ", 0), 0u) << r.out;
    EXPECT_EQ(whole_file(), before);
}

TEST_F(RingDump, RefusesWhatIsNotARingAndLeavesItAlone) {
    const std::string missing = dir_ + "/missing", small = dir_ + "/small", large = dir_ + "/large";
    std::ofstream(small) << "not a ring";
    std::ofstream(large) << std::string(media_ring::kRingFileSize + 1, 'x');
    const struct {
        std::string args;
        int status;
        std::string says;
    } cases[] = {
        {missing, 1, "ring_dump: cannot open " + missing + ": No such file or directory\n"},
        {small, 1,
         "ring_dump: " + small + " is 10 bytes, not a media ring file of 3110752 bytes\n"},
        {large, 1,
         "ring_dump: " + large + " is 3110753 bytes, not a media ring file of 3110752 bytes\n"},
        {path_ + " 6", 2, "ring_dump: channel 6: not 0..5\n"},
        {"--bogus", 2, "ring_dump: unexpected argument --bogus\nusage: ring_dump"},
    };
    for (const auto &c : cases) {
        const DumpRun r = ring_dump(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out.rfind(c.says, 0), 0u) << r.out;
    }
    struct stat st;
    EXPECT_NE(stat(missing.c_str(), &st), 0);  // not created
    ASSERT_EQ(stat(small.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 10);  // not grown
    ASSERT_EQ(stat(large.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, media_ring::kRingFileSize + 1);
    unlink(small.c_str());
    unlink(large.c_str());
}

// The usage answers --help (status 0) and follows the one line that says
// what was wrong with a usage error (status 2).
TEST(RingDumpHelp, UsageForHelpAndAfterAUsageError) {
    const DumpRun help = ring_dump("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: ring_dump ", 0), 0u);
    const DumpRun bad = ring_dump("--frobnicate");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "ring_dump: unexpected argument --frobnicate\n" + help.out);
}

}  // namespace
}  // namespace ring_test

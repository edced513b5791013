// The monitor against the real host tool: bossac (bossa-cli) on a
// pseudo-terminal, talking to the monitor over a fake chip that looks like
// this one after the TST procedure (a branch at the reset vector, the chip
// ID, the flash controller ready with the boot program's two regions
// locked). Its handshake, commands, XMODEM reads and identification of the
// chip must be what the tool expects. The wall clock only bounds a run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/samba/monitor.h"
#include "tests/samba/fake_chip.h"

namespace bossac_test {

namespace {

using samba::Monitor;

constexpr uint32_t kFlash = 0x00100000;

struct ThisChip : testing_support::FakeChip {
    ThisChip()
    {
        write_word(0x00000000, 0xEA000008);   // b reset, as the boot program's vector
        write_word(0xFFFFF240, 0x270B0940);   // DBGU_CIDR
        write_word(0xFFFFFF68, 0x00030001);   // MC_FSR: FRDY, regions 0 and 1 locked
        for (uint32_t i = 0; i < 0x1000; ++i)
            memory[kFlash + i] = static_cast<uint8_t>(i * 7 + (i >> 8));
        accesses.clear();
    }
    void write_word(uint32_t address, uint32_t value)
    {
        for (int i = 0; i < 4; ++i) memory[address + i] = static_cast<uint8_t>(value >> (8 * i));
    }
};

struct BossacRun {
    int status = -1;
    std::string output;
};

// Runs bossac with `args` on a new pseudo-terminal served by `monitor`.
BossacRun run_bossac(Monitor &monitor, const std::vector<std::string> &args)
{
    BossacRun run;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return run;
    }
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    std::string port = ptsname(master);
    char out_path[] = "/tmp/bossac_test_XXXXXX";
    int out = mkstemp(out_path);

    pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(out, 2);
        std::vector<std::string> all = {"bossac", "--port=" + port, "--usb-port=0"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("bossac", argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    constexpr int kPollMs = 5;
    for (;;) {
        int wstatus;
        if (waitpid(child, &wstatus, WNOHANG) == child) {
            run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            ADD_FAILURE() << "bossac did not finish";
            break;
        }
        pollfd p{master, POLLIN, 0};
        uint8_t buffer[512];
        ssize_t n = poll(&p, 1, kPollMs) > 0 && (p.revents & POLLIN) ? read(master, buffer, sizeof buffer) : 0;
        for (ssize_t i = 0; i < n; ++i)
            monitor.receive(buffer[i]);
        if (n <= 0)
            monitor.elapse(kPollMs * Monitor::kPicosPerSecond / 1000);
        std::string answer = monitor.take_output();
        for (size_t done = 0; done < answer.size();) {
            ssize_t w = write(master, answer.data() + done, answer.size() - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
    }
    close(master);
    std::ifstream in(out_path, std::ios::binary);
    run.output.assign(std::istreambuf_iterator<char>(in), {});
    close(out);
    unlink(out_path);
    return run;
}

struct BossacTest : ::testing::Test {
    ThisChip chip;
    Monitor monitor{chip};
    std::vector<std::string> reports;

    void SetUp() override
    {
        if (system("command -v bossac >/dev/null") != 0)
            FAIL() << "bossac is not installed (scripts/setup.sh installs bossa-cli)";
        monitor.set_reporter([this](const std::string &r) { reports.push_back(r); });
    }
};

TEST_F(BossacTest, IdentifiesTheChipThroughTheMonitor)
{
    BossacRun run = run_bossac(monitor, {"--info"});
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char *line : {"Device       : AT91SAM7S256", "Pages        : 1024", "Page Size    : 256 bytes",
                             "Lock Regions : 16", "Locked       : 0,1"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    EXPECT_TRUE(reports.empty()) << reports.front();
}

TEST_F(BossacTest, ReadsTheFlashByXmodem)
{
    char path[] = "/tmp/bossac_read_XXXXXX";
    close(mkstemp(path));
    BossacRun run = run_bossac(monitor, {"--read=4096", path});
    EXPECT_EQ(run.status, 0) << run.output;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), {});
    unlink(path);
    ASSERT_EQ(got.size(), 4096u) << run.output;
    for (uint32_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], chip.byte(kFlash + i)) << "byte " << i;
    EXPECT_TRUE(reports.empty()) << reports.front();
}

}  // namespace

}  // namespace bossac_test

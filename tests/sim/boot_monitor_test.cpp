// The boot monitor on the simulated chip: its go command runs the host's
// code on the core and gets the core back, whether the code returns or not;
// its writes reach memory as the core's stores do.
#include <gtest/gtest.h>

#include "sim/frontends/boot_monitor.h"

namespace boot_monitor_test {

namespace {

using samba::kMonitorLoop;
using samba::kMonitorStack;

constexpr uint32_t kCode = 0x00202100;

struct BootMonitorTest : ::testing::Test {
    board::Board board;
    sim::Machine machine{board};
    sim::BootMonitor boot{machine, 10 * board::kPicosPerMs};

    BootMonitorTest()
    {
        auto regions = samba::boot_regions();
        EXPECT_TRUE(machine.poke(samba::kFlashBase, regions.data(), static_cast<uint32_t>(regions.size())));
        // As after the bring-up: the core waits in the monitor loop.
        uint32_t loop = samba::kMonitorLoopCode;
        EXPECT_TRUE(machine.poke(kMonitorLoop, reinterpret_cast<uint8_t *>(&loop), 4));
        machine.cpu().set_reg(15, kMonitorLoop);
        machine.run_for(board::kPicosPerMs);
        boot.monitor().receive("\x80#N#");
        boot.monitor().take_output();
    }
    std::string say(const std::string &command)
    {
        boot.monitor().receive(command);
        return boot.monitor().take_output();
    }
    uint32_t word(uint32_t address)
    {
        uint32_t v = 0;
        EXPECT_TRUE(machine.peek(address, reinterpret_cast<uint8_t *>(&v), 4));
        return v;
    }
    std::vector<std::string> reports() const
    {
        std::vector<std::string> r;
        for (const auto &e : board.log.entries())
            if (e.source == "boot monitor") r.push_back(e.message);
        return r;
    }
};

TEST_F(BootMonitorTest, GoRunsThumbAndArmCodeThatReturnsThroughLr)
{
    ASSERT_TRUE(boot.serving());
    // Thumb: movs r0, #42; str r0, [sp]; bx lr
    say("H202100,202A#H202102,9000#H202104,4770#");
    EXPECT_EQ(say("G202101#"), "");
    EXPECT_EQ(word(kMonitorStack), 42u) << "the code ran on the monitor's stack";
    EXPECT_TRUE(boot.serving());
    EXPECT_FALSE(machine.cpu().thumb());

    // ARM code written over the same bytes must run as written now:
    // mov r0, #7; str r0, [sp]; bx lr
    say("W202100,E3A00007#W202104,E58D0000#W202108,E12FFF1E#");
    say("G202100#");
    EXPECT_EQ(word(kMonitorStack), 7u) << "the core ran stale code";
    EXPECT_TRUE(reports().empty()) << reports().front();
    EXPECT_EQ(say("w202100,4#"), std::string("\x07\x00\xA0\xE3", 4));
}

TEST_F(BootMonitorTest, GoIntoCodeThatNeverReturnsIsCutOffAtTheLimitAndReported)
{
    say("W202100,EAFFFFFE#");   // b .
    board::Picos before = board.clock.now();
    EXPECT_EQ(say("G202100#"), "");
    board::Picos spent = board.clock.now() - before;
    EXPECT_GE(spent, 10 * board::kPicosPerMs);
    EXPECT_LT(spent, 11 * board::kPicosPerMs);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_NE(reports()[0].find("did not return"), std::string::npos) << reports()[0];
    EXPECT_NE(reports()[0].find("10 ms"), std::string::npos) << reports()[0];
    EXPECT_NE(reports()[0].find("0x00202100"), std::string::npos) << reports()[0];
    EXPECT_TRUE(boot.serving()) << "the monitor has the core again";
    EXPECT_EQ(machine.cpu().cpsr() & 0xFF, 0xD3u);
    EXPECT_EQ(say("w202100,4#"), std::string("\xFE\xFF\xFF\xEA", 4)) << "and answers";
}

TEST_F(BootMonitorTest, MisalignedAndEmptyAddressesDoNotReachAnything)
{
    EXPECT_EQ(say("w202102,4#"), std::string(4, '\0'));
    say("W30000000,1#");
    auto r = reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0].find("read of 0x00202102 aborted"), std::string::npos) << r[0];
    EXPECT_NE(r[1].find("write of 0x30000000 aborted"), std::string::npos) << r[1];
    EXPECT_TRUE(machine.faults().empty()) << "the monitor's accesses are not the core's faults";
}

}  // namespace

}  // namespace boot_monitor_test

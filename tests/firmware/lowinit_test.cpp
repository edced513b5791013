// The clock, watchdog and interrupt-controller bring-up compiled for the host
// and run against the chip models: its register accesses, in order, and the
// state it leaves the chip in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/host_port.h"
#include "firmware/startup/startup.h"

namespace lowinit_test {

// On the target these live in the start-up assembly; the bring-up only takes
// their addresses.
extern "C" void AT91F_Default_FIQ_handler(void) {}
extern "C" void AT91F_Default_IRQ_handler(void) {}
extern "C" void AT91F_Spurious_handler(void) {}

namespace {

constexpr uint32_t MC_FMR = 0xFFFFFF60;
constexpr uint32_t PMC_MOR = 0xFFFFFC20;
constexpr uint32_t PMC_PLLR = 0xFFFFFC2C;
constexpr uint32_t PMC_MCKR = 0xFFFFFC30;
constexpr uint32_t PMC_SR = 0xFFFFFC68;
constexpr uint32_t WDTC_WDMR = 0xFFFFFD44;
constexpr uint32_t AIC_SVR = 0xFFFFF080;
constexpr uint32_t AIC_IMR = 0xFFFFF110;
constexpr uint32_t AIC_IECR = 0xFFFFF120;
constexpr uint32_t AIC_IDCR = 0xFFFFF124;
constexpr uint32_t AIC_ICCR = 0xFFFFF128;
constexpr uint32_t AIC_SPU = 0xFFFFF134;

// One expected step: a write of a value, a read, or a poll of PMC_SR for a bit.
struct Step {
    enum Kind { Write, Read, Poll } kind;
    uint32_t address;
    uint32_t value;   // written value, or polled bit
};

std::string describe(const board::Bus &bus, const board::Access &a)
{
    return std::string(a.write ? "write " : "read ") + bus.describe(a.address) + " = " + board::hex32(a.value);
}

struct LowLevelInitTest : ::testing::Test {
    board::Board b;
    board::HostPort port{b.bus};

    uint32_t fiq() { return port.address_of(reinterpret_cast<const void *>(&AT91F_Default_FIQ_handler)); }
    uint32_t irq() { return port.address_of(reinterpret_cast<const void *>(&AT91F_Default_IRQ_handler)); }
    uint32_t spu() { return port.address_of(reinterpret_cast<const void *>(&AT91F_Spurious_handler)); }

    std::vector<board::Access> run()
    {
        b.bus.clear_recorded();
        b.bus.set_recording(true);
        AT91F_LowLevelInit();
        b.bus.set_recording(false);
        return b.bus.recorded();
    }
};

TEST_F(LowLevelInitTest, MakesExactlyTheSixteenStepsInOrder)
{
    constexpr uint32_t kReadBack = 0;   // marks the write of the value read back
    std::vector<Step> expected = {
        {Step::Write, MC_FMR, 0x00300100},
        {Step::Write, PMC_MOR, 0x00004001},
        {Step::Poll, PMC_SR, 0x1},
        {Step::Write, PMC_PLLR, 0x1048280E},
        {Step::Poll, PMC_SR, 0x4},
        {Step::Poll, PMC_SR, 0x8},
        {Step::Write, PMC_MCKR, 0x00000004},
        {Step::Poll, PMC_SR, 0x8},
        {Step::Read, PMC_MCKR, 0},
        {Step::Write, PMC_MCKR, kReadBack},
        {Step::Poll, PMC_SR, 0x8},
        {Step::Write, WDTC_WDMR, 0x00008000},
        {Step::Write, AIC_IDCR, 0xFFFFFFFF},
        {Step::Write, AIC_ICCR, 0xFFFFFFFF},
        {Step::Write, AIC_SVR + 0, fiq()},
    };
    for (uint32_t n = 1; n <= 30; ++n)
        expected.push_back({Step::Write, AIC_SVR + 4 * n, irq()});
    expected.push_back({Step::Write, AIC_SPU, spu()});

    const std::vector<board::Access> got = run();
    ASSERT_FALSE(got.empty());
    size_t at = 0;
    uint32_t mckr_read = 0;
    std::vector<size_t> poll_reads;
    for (size_t s = 0; s < expected.size(); ++s) {
        const Step &e = expected[s];
        SCOPED_TRACE("expected access " + std::to_string(s + 1));
        ASSERT_LT(at, got.size()) << "the accesses end early";
        const board::Access &a = got[at];
        if (e.kind == Step::Poll) {
            // Reads of PMC_SR while the bit is 0; the last one sees it set.
            size_t reads = 0;
            bool set = false;
            while (!set && at < got.size() && !got[at].write && got[at].address == PMC_SR) {
                set = (got[at].value & e.value) != 0;
                ++reads;
                ++at;
            }
            ASSERT_GT(reads, 0u) << "expected a poll of PMC_SR, got " << describe(b.bus, a);
            ASSERT_TRUE(set) << "the poll of bit " << e.value << " ended before its bit was set";
            poll_reads.push_back(reads);
            continue;
        }
        EXPECT_EQ(a.address, e.address) << describe(b.bus, a);
        EXPECT_EQ(a.write, e.kind == Step::Write) << describe(b.bus, a);
        if (e.kind == Step::Read)
            mckr_read = a.value;
        else if (e.address == PMC_MCKR && e.value == kReadBack)
            EXPECT_EQ(a.value, mckr_read | 0x3u) << "PMC_MCKR is written back as read, ORed with 3";
        else
            EXPECT_EQ(a.value, e.value) << describe(b.bus, a);
        ++at;
    }
    EXPECT_EQ(at, got.size()) << "accesses after the last step, the first: "
                              << describe(b.bus, got[std::min(at, got.size() - 1)]);

    ASSERT_EQ(poll_reads.size(), 5u);
    EXPECT_EQ(mckr_read, 0x4u);
    // MCKRDY is set out of reset, so the first bit-3 poll, before any MCKR
    // write, ends on its first read; the oscillator and the PLL take time.
    EXPECT_EQ(poll_reads[2], 1u);
    EXPECT_GT(poll_reads[0], 1u);
    EXPECT_GT(poll_reads[1], 1u);
}

TEST_F(LowLevelInitTest, LeavesTheChipAtFortyEightMegahertzWithEveryVectorButSource31Set)
{
    constexpr uint32_t kBefore = 0x12345678;
    b.bus.write(AIC_SVR + 4 * 31, kBefore);
    b.bus.write(AIC_IECR, 0x24);
    run();

    uint32_t v = 0;
    ASSERT_TRUE(b.bus.peek(AIC_SVR + 4 * 31, v));
    EXPECT_EQ(v, kBefore) << "AIC_SVR[31] must not be written";
    ASSERT_TRUE(b.bus.peek(AIC_SVR, v));
    EXPECT_EQ(v, fiq());
    for (uint32_t n = 1; n <= 30; ++n) {
        ASSERT_TRUE(b.bus.peek(AIC_SVR + 4 * n, v));
        EXPECT_EQ(v, irq()) << "AIC_SVR[" << n << "]";
    }
    ASSERT_TRUE(b.bus.peek(AIC_SPU, v));
    EXPECT_EQ(v, spu());
    ASSERT_TRUE(b.bus.peek(AIC_IMR, v));
    EXPECT_EQ(v, 0u) << "every source disabled";

    ASSERT_TRUE(b.bus.peek(PMC_MCKR, v));
    EXPECT_EQ(v, 0x7u);
    // The board's 18.432 MHz crystal x 73 / 28.
    EXPECT_NEAR(b.clock.master_hz(), 48.054857e6, 1e3);
    ASSERT_TRUE(b.bus.peek(WDTC_WDMR, v));
    EXPECT_EQ(v, 0x8000u);
    for (const auto &e : b.log.entries())
        ADD_FAILURE() << "a model reported: " << e.source << ": " << e.message;
}

}  // namespace

}  // namespace lowinit_test

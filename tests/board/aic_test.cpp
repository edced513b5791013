// The interrupt controller model against the chip's documented behaviour.
#include <gtest/gtest.h>

#include "board/aic.h"
#include "board/clock.h"

#include <functional>

namespace aic_test {

namespace {

enum : uint32_t {
    SMR = 0x000, SVR = 0x080, IVR = 0x100, FVR = 0x104, ISR = 0x108, IPR = 0x10C, IMR = 0x110,
    CISR = 0x114, IECR = 0x120, IDCR = 0x124, ICCR = 0x128, ISCR = 0x12C, EOICR = 0x130, SPU = 0x134,
    DCR = 0x138, FFER = 0x140, FFDR = 0x144, FFSR = 0x148,
};
constexpr uint32_t kHighLevel = 0x00, kRisingEdge = 0x20;
constexpr uint32_t kExtLowLevel = 0x00, kExtFallingEdge = 0x20;

struct AicTest : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::Aic aic{clock, log};
    std::vector<std::pair<bool, bool>> changes;

    void SetUp() override
    {
        aic.add_listener([this](bool irq, bool fiq) { changes.emplace_back(irq, fiq); });
        aic.write(SPU, 0x5B0);
        for (unsigned n = 0; n < 32; ++n)
            aic.write(SVR + 4 * n, 0x1000 + n);
    }
    // Source n with the given mode, enabled.
    void configure(unsigned n, uint32_t type, uint32_t priority)
    {
        aic.write(SMR + 4 * n, type | priority);
        aic.write(IECR, 1u << n);
    }
    void pulse(unsigned n)
    {
        aic.set_source(n, true);
        aic.set_source(n, false);
    }
    // The outputs once the synchronisation (at most 4.5 cycles) has passed.
    void settle() { clock.advance_cycles(5); }
    bool nirq()
    {
        settle();
        return aic.nirq();
    }
    bool nfiq()
    {
        settle();
        return aic.nfiq();
    }
    uint32_t cisr()
    {
        settle();
        return aic.read(CISR);
    }
};

TEST_F(AicTest, NothingPendingGivesTheSpuriousVectorAndPushesNothing)
{
    aic.set_source(4, true);   // pending but not enabled
    EXPECT_EQ(aic.read(IPR), 1u << 4);
    EXPECT_FALSE(nirq());
    EXPECT_EQ(aic.read(IVR), 0x5B0u);
    EXPECT_EQ(aic.stack_depth(), 0u);
    EXPECT_EQ(aic.read(ISR), 0u);
    aic.write(EOICR, 0);
    EXPECT_TRUE(log.contains("no interrupt in service"));
}

TEST_F(AicTest, HighestPriorityFirstAndLowestNumberAmongEquals)
{
    configure(3, kHighLevel, 2);
    configure(9, kRisingEdge, 6);
    configure(5, kRisingEdge, 6);
    aic.set_source(3, true);
    pulse(9);
    pulse(5);
    EXPECT_TRUE(nirq());

    EXPECT_EQ(aic.read(IVR), 0x1005u);
    EXPECT_EQ(aic.read(ISR), 5u);
    EXPECT_FALSE(nirq()) << "source 9 has the same priority: no nesting";
    aic.write(EOICR, 0);
    EXPECT_TRUE(nirq());
    EXPECT_EQ(aic.read(IVR), 0x1009u);
    aic.write(EOICR, 0);
    EXPECT_EQ(aic.read(IVR), 0x1003u);
    aic.write(EOICR, 0);
    EXPECT_EQ(aic.stack_depth(), 0u);
}

TEST_F(AicTest, NestsOnlyForAHigherPriorityAndEoicrLetsTheLowerOneThrough)
{
    configure(2, kHighLevel, 4);
    configure(4, kHighLevel, 4);
    configure(6, kHighLevel, 5);
    aic.set_source(2, true);
    ASSERT_EQ(aic.read(IVR), 0x1002u);
    EXPECT_EQ(aic.current_level(), 4);
    EXPECT_FALSE(nirq()) << "a level source stays pending but is in service";

    aic.set_source(4, true);
    EXPECT_FALSE(nirq()) << "equal priority does not preempt";
    aic.set_source(6, true);
    EXPECT_TRUE(nirq());
    EXPECT_EQ(aic.read(IVR), 0x1006u);
    EXPECT_EQ(aic.stack_depth(), 2u);
    EXPECT_EQ(aic.read(ISR), 6u);

    aic.set_source(6, false);
    aic.write(EOICR, 0);
    EXPECT_EQ(aic.read(ISR), 2u) << "back to the preempted interrupt";
    EXPECT_FALSE(nirq());
    aic.set_source(2, false);
    aic.write(EOICR, 0);
    EXPECT_TRUE(nirq()) << "the stack is empty: source 4 goes through";
    EXPECT_EQ(aic.read(IVR), 0x1004u);
}

TEST_F(AicTest, PriorityZeroIsServedWhenNothingElseIs)
{
    configure(7, kHighLevel, 0);
    aic.set_source(7, true);
    EXPECT_TRUE(nirq());
    EXPECT_EQ(aic.read(IVR), 0x1007u);
}

TEST_F(AicTest, AcknowledgeClearsAnEdgeButNotALevel)
{
    configure(2, kHighLevel, 1);
    configure(8, kRisingEdge, 1);
    aic.set_source(2, true);
    pulse(8);
    EXPECT_EQ(aic.read(IPR), (1u << 2) | (1u << 8));
    aic.read(IVR);   // source 2
    aic.write(EOICR, 0);
    aic.read(IVR);   // source 2 again: a level stays until the line falls
    EXPECT_EQ(aic.read(ISR), 2u);
    aic.write(EOICR, 0);
    aic.set_source(2, false);
    EXPECT_EQ(aic.read(IVR), 0x1008u);
    EXPECT_EQ(aic.read(IPR), 0u) << "reading IVR cleared the edge";
    aic.write(EOICR, 0);

    // ICCR/ISCR act on edge sources only.
    aic.write(ISCR, (1u << 2) | (1u << 8));
    EXPECT_EQ(aic.read(IPR), 1u << 8);
    aic.set_source(2, true);
    aic.write(ICCR, (1u << 2) | (1u << 8));
    EXPECT_EQ(aic.read(IPR), 1u << 2);
    // A falling edge is not a rising one.
    aic.set_source(8, true);
    aic.write(ICCR, 1u << 8);
    aic.set_source(8, false);
    EXPECT_EQ(aic.read(IPR) & (1u << 8), 0u);
}

TEST_F(AicTest, ExternalSourcesFollowTheirPolarity)
{
    configure(30, kExtLowLevel, 3);
    EXPECT_FALSE(nirq()) << "the line idles high";
    aic.set_source(30, false);
    EXPECT_TRUE(nirq());
    aic.set_source(30, true);
    EXPECT_FALSE(nirq());

    configure(31, kExtFallingEdge, 3);
    aic.set_source(31, false);
    aic.set_source(31, true);
    EXPECT_EQ(aic.read(IPR), 1u << 31);
    aic.write(ICCR, 1u << 31);
    configure(31, 0x60 /* rising edge */, 3);
    aic.set_source(31, false);
    EXPECT_EQ(aic.read(IPR), 0u);
    aic.set_source(31, true);
    EXPECT_EQ(aic.read(IPR), 1u << 31);
}

TEST_F(AicTest, SourceZeroGoesToFiqOnly)
{
    configure(0, kExtFallingEdge, 7);
    aic.set_source(0, false);
    EXPECT_TRUE(nfiq());
    EXPECT_FALSE(nirq());
    EXPECT_EQ(aic.read(IVR), 0x5B0u) << "source 0 never comes through IVR";
    EXPECT_EQ(cisr(), 1u);
    EXPECT_EQ(aic.read(FVR), 0x1000u);
    EXPECT_FALSE(nfiq()) << "FVR cleared the edge";

    aic.write(SMR, kExtLowLevel);
    EXPECT_TRUE(nfiq()) << "the line is still low";
    aic.read(FVR);
    EXPECT_TRUE(nfiq()) << "a level FIQ is not cleared by FVR";
}

TEST_F(AicTest, FastForcingSendsASourceToFiqAndOnlyIccrClearsItsEdge)
{
    configure(4, kRisingEdge, 7);
    configure(5, kHighLevel, 1);
    aic.write(FFER, (1u << 4) | 1u);
    EXPECT_EQ(aic.read(FFSR), 1u << 4) << "source 0 is the FIQ already";
    pulse(4);
    EXPECT_TRUE(nfiq());
    EXPECT_FALSE(nirq());
    aic.set_source(5, true);
    EXPECT_TRUE(nirq());
    EXPECT_EQ(aic.read(IVR), 0x1005u) << "IVR passes over the forced source, priority 7 as it has";
    aic.write(EOICR, 0);
    aic.read(FVR);
    EXPECT_TRUE(nfiq()) << "FVR does not clear a forced source";
    aic.write(IDCR, 1u << 4);
    EXPECT_FALSE(nfiq()) << "the enable still counts";
    aic.write(IECR, 1u << 4);
    aic.write(ICCR, 1u << 4);
    EXPECT_FALSE(nfiq());
    pulse(4);
    aic.write(FFDR, 1u << 4);
    EXPECT_FALSE(nfiq());
    EXPECT_EQ(aic.read(IVR), 0x1004u) << "back on nIRQ, with its edge still latched";
}

TEST_F(AicTest, ProtectModeActsOnTheIvrWrite)
{
    configure(5, kRisingEdge, 3);
    pulse(5);
    aic.write(DCR, 1);
    EXPECT_EQ(aic.read(IVR), 0x1005u);
    EXPECT_EQ(aic.stack_depth(), 0u);
    EXPECT_EQ(aic.read(IPR), 1u << 5) << "the read acknowledged nothing";
    EXPECT_TRUE(nirq());
    aic.write(IVR, 0x1005u);
    EXPECT_EQ(aic.stack_depth(), 1u);
    EXPECT_EQ(aic.read(ISR), 5u);
    EXPECT_EQ(aic.read(IPR), 0u);
    EXPECT_FALSE(nirq());
    aic.write(IVR, 0);
    EXPECT_EQ(aic.stack_depth(), 1u) << "a second write has nothing to push";

    aic.write(DCR, 0);
    aic.write(EOICR, 0);
    aic.write(IVR, 0);
    EXPECT_EQ(aic.stack_depth(), 0u) << "an IVR write in normal mode does nothing";
}

TEST_F(AicTest, PeekOfIvrChangesNothing)
{
    configure(5, kRisingEdge, 3);
    pulse(5);
    settle();
    changes.clear();
    EXPECT_EQ(aic.peek(IVR), 0x1005u);
    EXPECT_EQ(aic.peek(IVR), 0x1005u);
    EXPECT_EQ(aic.stack_depth(), 0u);
    EXPECT_EQ(aic.peek(IPR), 1u << 5);
    EXPECT_EQ(aic.peek(FVR), 0x1000u);
    EXPECT_TRUE(aic.nirq());
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(aic.read(IVR), 0x1005u) << "the real read still gets the interrupt";
}

TEST_F(AicTest, OutputsReportEveryChangeAndGeneralMaskHoldsThem)
{
    configure(2, kHighLevel, 1);
    aic.set_source(2, true);
    settle();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes.back(), std::make_pair(true, false));
    EXPECT_EQ(cisr(), 2u);
    aic.write(DCR, 2);
    EXPECT_FALSE(nirq());
    EXPECT_EQ(changes.back(), std::make_pair(false, false));
    aic.write(DCR, 0);
    EXPECT_TRUE(nirq());
    aic.write(IDCR, 1u << 2);
    EXPECT_FALSE(nirq());
    EXPECT_EQ(aic.read(IMR), 0u);
    EXPECT_EQ(changes.size(), 4u);
}

// Worst case from a source to nIRQ / nFIQ: 3.5 master-clock cycles for a
// level, 4.5 for an edge; the half cycle ends on the next clock edge.
TEST_F(AicTest, OutputsRiseAfterTheSynchronisationAndFallAtOnce)
{
    configure(2, kHighLevel, 1);
    configure(8, kRisingEdge, 1);
    configure(0, kExtLowLevel, 0);
    struct Case {
        const char *what;
        std::function<void()> raise;
        unsigned cycles;
        bool (board::Aic::*output)() const;
    } cases[] = {
        {"level source", [&] { aic.set_source(2, true); }, 4, &board::Aic::nirq},
        {"edge source", [&] { aic.set_source(8, true); }, 5, &board::Aic::nirq},
        {"edge set through ISCR", [&] { aic.write(ISCR, 1u << 8); }, 5, &board::Aic::nirq},
        {"level FIQ", [&] { aic.set_source(0, false); }, 4, &board::Aic::nfiq},
    };
    for (const Case &c : cases) {
        c.raise();
        clock.advance_cycles(c.cycles - 1);
        EXPECT_FALSE((aic.*c.output)()) << c.what;
        clock.advance_cycles(1);
        EXPECT_TRUE((aic.*c.output)()) << c.what;
        // Back to quiet: the acknowledge takes nIRQ down at once.
        if (c.output == &board::Aic::nirq) {
            aic.read(IVR);
            EXPECT_FALSE(aic.nirq()) << c.what;
            aic.set_source(2, false);
            aic.set_source(8, false);
            aic.write(EOICR, 0);
        } else {
            aic.set_source(0, true);
            EXPECT_FALSE(aic.nfiq());
        }
    }
    changes.clear();
    aic.set_source(2, true);
    clock.advance_cycles(3);
    aic.set_source(2, false);
    settle();
    EXPECT_TRUE(changes.empty()) << "a request gone before its latency never reaches nIRQ";
}

TEST_F(AicTest, RegistersResetAndWrongAccessesAreLogged)
{
    configure(2, kHighLevel, 6);
    aic.write(SMR + 4 * 2, 0xFFFFFFFF);
    EXPECT_EQ(aic.read(SMR + 4 * 2), 0x67u) << "only priority and source type are kept";
    aic.write(FFER, 1u << 2);
    EXPECT_EQ(aic.read(FFSR), 1u << 2);
    aic.set_source(2, true);
    aic.read(IVR);

    log.clear();
    aic.read(IECR);
    aic.write(IPR, 1);
    aic.read(0x1F0);
    EXPECT_EQ(log.count_from("AIC"), 3u);

    aic.reset();
    EXPECT_EQ(aic.read(SVR + 4 * 2), 0u);
    EXPECT_EQ(aic.read(SPU), 0u);
    EXPECT_EQ(aic.read(IMR), 0u);
    EXPECT_EQ(aic.read(ISR), 0u);
    EXPECT_EQ(aic.read(FFSR), 0u);
    EXPECT_EQ(aic.stack_depth(), 0u);
    EXPECT_FALSE(nirq());
    EXPECT_EQ(aic.read(IPR), 1u << 2) << "the line is still high after the controller's reset";
    EXPECT_EQ(aic.read(IVR), 0u) << "the spurious vector resets to 0";
}

}  // namespace

}  // namespace aic_test

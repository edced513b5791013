// The PIO controller model against the chip's documented behaviour.
#include <gtest/gtest.h>

#include "board/board.h"

namespace pio_test {

namespace {

using board::Board;

constexpr uint32_t PIOA = board::kPioaBase;
enum : uint32_t {
    PER = 0x00, PDR = 0x04, PSR = 0x08, OER = 0x10, ODR = 0x14, OSR = 0x18,
    SODR = 0x30, CODR = 0x34, ODSR = 0x38, PDSR = 0x3C,
    IER = 0x40, IDR = 0x44, IMR = 0x48, ISR = 0x4C,
    MDER = 0x50, PPUDR = 0x60, PPUER = 0x64, PPUSR = 0x68,
    ASR = 0x70, BSR = 0x74, ABSR = 0x78, OWER = 0xA0, OWDR = 0xA4, OWSR = 0xA8,
};

struct PioTest : ::testing::Test {
    Board b;
    board::Pins::SourceId ext = b.pa.add_source("test device");
    bool irq = false;
    void SetUp() override
    {
        // Input sampling needs the controller's clock, which is off after reset.
        b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdPioa);
        b.pioa.set_irq_output([this](bool l) { irq = l; });
    }
    uint32_t rd(uint32_t off) { return b.bus.read(PIOA + off); }
    void cycle() { b.clock.advance_cycles(1); }
    void wr(uint32_t off, uint32_t v) { b.bus.write(PIOA + off, v); }
};

TEST_F(PioTest, ResetStateIsInputsWithPullupsAndNothingWritable)
{
    EXPECT_EQ(rd(PSR), 0xFFFFFFFFu);
    EXPECT_EQ(rd(OSR), 0u);
    EXPECT_EQ(rd(PPUSR), 0u) << "PPUSR 0 means every pull-up enabled";
    EXPECT_EQ(rd(OWSR), 0u);
    EXPECT_EQ(rd(PDSR), 0xFFFFFFFFu) << "undriven lines read high through their pull-ups";
    EXPECT_EQ(rd(ISR), 0u) << "power-on settling is not an input change";
}

TEST_F(PioTest, OdsrWriteOnlyReachesLinesEnabledInOwsr)
{
    wr(OER, 0xFFFFFFFF);
    wr(ODSR, 0xFFFFFFFF);
    EXPECT_EQ(rd(ODSR), 0u) << "OWSR is empty at reset: a direct write changes nothing";
    wr(OWER, 0x00F10000);
    wr(OWDR, 0x00010000);
    EXPECT_EQ(rd(OWSR), 0x00F00000u);
    wr(ODSR, 0x00A5A5A5);
    EXPECT_EQ(rd(ODSR), 0x00A00000u);
    EXPECT_EQ(b.pa.levels() & 0x00F00000u, 0x00A00000u);
    // SODR and CODR act on any line, whatever OWSR says.
    wr(SODR, 0x00010000);
    EXPECT_TRUE(b.pa.level(16));
    wr(CODR, 0x00010000);
    EXPECT_FALSE(b.pa.level(16));
}

TEST_F(PioTest, CfgPullupVersusSetPullup)
{
    // CfgPullup(mask): PPUDR = ~mask, PPUER = mask.
    wr(PPUDR, ~0x000018E0u);
    wr(PPUER, 0x000018E0u);
    EXPECT_EQ(b.pa.pullups(), 0x000018E0u);
    // SetPullup(mask): PPUER = mask only, others stay as they were.
    wr(PPUER, 0x00F00000u);
    EXPECT_EQ(b.pa.pullups(), 0x00F018E0u);
    EXPECT_EQ(rd(PPUSR), ~0x00F018E0u);
}

TEST_F(PioTest, OutputDriverAndExternalDeviceMeetOnTheNet)
{
    wr(PPUDR, 0x1);
    wr(OER, 0x1);
    wr(CODR, 0x1);
    EXPECT_FALSE(b.pa.level(0));
    wr(ODR, 0x1);   // released: holds its last level without a pull-up
    EXPECT_FALSE(b.pa.level(0));
    b.pa.drive(ext, 0x1, 0x1, 0x1);
    EXPECT_EQ(rd(PDSR) & 1u, 1u);
    // Output against an external driver: logged, low wins.
    wr(OER, 0x1);
    EXPECT_TRUE(b.log.contains("driven high and low"));
    EXPECT_FALSE(b.pa.level(0));
}

TEST_F(PioTest, OpenDrainLineOnlyPullsLow)
{
    wr(MDER, 0x2);
    wr(OER, 0x2);
    wr(SODR, 0x2);
    EXPECT_EQ(b.pa.driven_mask() & 0x2u, 0u);
    EXPECT_TRUE(b.pa.level(1)) << "pull-up holds the released line high";
    wr(CODR, 0x2);
    EXPECT_FALSE(b.pa.level(1));
}

TEST_F(PioTest, PeripheralFunctionOwnsItsLines)
{
    wr(OER, 0x2000);
    wr(SODR, 0x2000);
    b.pioa.set_peripheral_output(board::Pio::A, 0x2000, 0x2000, 0);
    EXPECT_TRUE(b.pa.level(13)) << "still a PIO line: ODSR drives it";
    wr(ASR, 0x2000);
    wr(PDR, 0x2000);
    EXPECT_EQ(rd(PSR) & 0x2000u, 0u);
    EXPECT_EQ(rd(ABSR) & 0x2000u, 0u);
    EXPECT_FALSE(b.pa.level(13)) << "function A drives it now";
    wr(BSR, 0x2000);
    EXPECT_TRUE(b.pa.level(13)) << "function B drives nothing: the pull-up holds it";
}

TEST_F(PioTest, InputChangesLatchReadClearsAndRaiseTheInterruptOnlyWhenEnabled)
{
    b.pa.drive(ext, 0x20, 0x20, 0);   // a key pulls PA5 low
    cycle();
    EXPECT_EQ(b.pioa.isr() & 0x20u, 0x20u) << "latched with the interrupt disabled too";
    EXPECT_FALSE(irq);
    wr(IER, 0xE0);
    EXPECT_EQ(rd(IMR), 0xE0u);
    EXPECT_TRUE(irq) << "the latched change raises the line as soon as it is enabled";
    EXPECT_EQ(b.bus.read(PIOA + ISR) & 0x20u, 0x20u);
    EXPECT_FALSE(irq);
    EXPECT_EQ(rd(ISR), 0u) << "reading ISR cleared it";
    b.pa.release(ext, 0x20);   // released: back high
    cycle();
    EXPECT_TRUE(irq) << "each edge counts";
    uint32_t peeked = 0;
    ASSERT_TRUE(b.bus.peek(PIOA + ISR, peeked));
    EXPECT_EQ(peeked, 0x20u);
    EXPECT_TRUE(irq) << "peek does not clear";
    wr(IDR, 0xE0);
    EXPECT_FALSE(irq);
}

TEST_F(PioTest, WithoutItsClockTheControllerSeesNothing)
{
    b.pioa.set_clock(false);
    uint32_t before = rd(PDSR);
    b.pa.drive(ext, 0x40, 0x40, 0);
    EXPECT_EQ(rd(PDSR), before) << "PDSR is frozen with the clock off";
    EXPECT_EQ(b.pioa.isr(), 0u);
    b.pioa.set_clock(true);
    EXPECT_EQ(rd(PDSR) & 0x40u, 0u);
    b.pa.release(ext, 0x40);
    cycle();
    EXPECT_EQ(rd(ISR), 0x40u);
}

TEST_F(PioTest, InputsAreSampledOncePerMasterClockCycle)
{
    wr(IER, 0x20);
    // A release and a press at the same instant: no pulse the chip could see.
    b.pa.drive(ext, 0x20, 0x20, 0);
    b.pa.release(ext, 0x20);
    cycle();
    EXPECT_EQ(rd(ISR), 0u);
    EXPECT_FALSE(irq);
    // Shorter than a cycle: not seen either, with or without the glitch filter.
    for (uint32_t filter : {0x0u, 0x20u}) {
        wr(filter ? 0x20 : 0x24, 0x20);   // IFER / IFDR
        b.pa.drive(ext, 0x20, 0x20, 0);
        b.clock.advance_to(b.clock.now() + b.clock.cycles_to_picos(1) - 1);
        b.pa.release(ext, 0x20);
        cycle();
        EXPECT_EQ(rd(ISR), 0u) << filter;
        // A whole cycle low is a change, and so is the way back.
        b.pa.drive(ext, 0x20, 0x20, 0);
        b.clock.advance_cycles(1);
        EXPECT_TRUE(irq) << filter;
        EXPECT_EQ(rd(ISR), 0x20u) << filter;
        b.pa.release(ext, 0x20);
        cycle();
        EXPECT_EQ(rd(ISR), 0x20u) << filter;
    }
    EXPECT_EQ(rd(0x28), 0x20u) << "IFSR";
}

TEST_F(PioTest, ASampleOwedIsTakenAsItWouldHaveBeenAtItsTime)
{
    // A change on a line not enabled in IMR is sampled when something can
    // see it; the result must be the one a sample at its time gives.
    b.pa.drive(ext, 0x20, 0x20, 0);
    b.clock.advance_cycles(5);
    EXPECT_EQ(b.pioa.isr(), 0x20u) << "seen by the views";
    b.pa.release(ext, 0x20);   // and back, long after: a change of its own
    cycle();
    EXPECT_EQ(rd(ISR), 0x20u);
    // Enabling the line inside the change's cycle: the interrupt still comes,
    // one cycle after the change.
    b.pa.drive(ext, 0x20, 0x20, 0);
    wr(IER, 0x20);
    EXPECT_FALSE(irq);
    b.clock.advance_to(b.clock.now() + b.clock.cycles_to_picos(1) - 1);
    EXPECT_FALSE(irq);
    cycle();
    EXPECT_TRUE(irq);
    EXPECT_EQ(rd(ISR), 0x20u);
    wr(IDR, 0x20);
    // A change of an enabled line inside an owed sample's cycle.
    b.pa.release(ext, 0x20);
    wr(IER, 0x40);
    b.pa.drive(ext, 0x40, 0x40, 0);
    cycle();
    EXPECT_TRUE(irq);
    EXPECT_EQ(rd(ISR), 0x60u);
    b.pa.release(ext, 0x40);
    cycle();
    EXPECT_EQ(rd(ISR), 0x40u);
    wr(IDR, 0x40);
}

TEST_F(PioTest, ClockStoppedBeforeAnOwedSampleLatchesNothing)
{
    constexpr uint32_t PMC_PCER = board::kPmcBase + 0x10, PMC_PCDR = board::kPmcBase + 0x14;
    // Stopped inside the change's cycle: no sample is ever taken.
    b.pa.drive(ext, 0x20, 0x20, 0);
    b.bus.write(PMC_PCDR, 1u << board::kIdPioa);
    cycle();
    b.bus.write(PMC_PCER, 1u << board::kIdPioa);
    EXPECT_EQ(rd(ISR), 0u);
    // Stopped after it: the sample was taken while the clock ran.
    b.pa.release(ext, 0x20);
    cycle();
    b.bus.write(PMC_PCDR, 1u << board::kIdPioa);
    b.bus.write(PMC_PCER, 1u << board::kIdPioa);
    EXPECT_EQ(rd(ISR), 0x20u);
}

// The controller sees every line's change itself, whoever drives it and
// whether or not anything else listens: a key on an enabled line while the
// controller toggles another, and a device answering one of its lines.
TEST_F(PioTest, InputChangesOnEveryLineWhileTheControllerDrivesOthers)
{
    constexpr uint32_t kKey = 0x20, kLed = 0x10000, kStrobe = 1u << 25, kAnswer = 1u << 26;
    // A device that pulls its answer line low while the strobe is high.
    b.pa.add_listener([&](uint32_t, uint32_t levels) { b.pa.drive(ext, kAnswer, (levels & kStrobe) ? kAnswer : 0, 0); },
                      kStrobe);
    uint32_t heard = 0;
    b.pa.add_listener([&](uint32_t changed, uint32_t) { heard |= changed; }, kKey);
    wr(OER, kLed | kStrobe);
    cycle();
    rd(ISR);
    wr(IER, kKey);
    struct Step {
        uint32_t sodr, codr;   // what the controller drives
        bool press;            // the key pulled low during this step
        uint32_t isr;          // what ISR holds one cycle later
        bool irq;
    };
    const Step steps[] = {
        {kLed, 0, false, kLed, false},
        {0, kLed, true, kLed | kKey, true},   // both in the same cycle
        {kLed, 0, true, kLed, false},         // the key held: no change
        {kStrobe, kLed, true, kLed | kStrobe | kAnswer, false},
        {0, kStrobe, false, kStrobe | kAnswer | kKey, true},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step &s = steps[i];
        if (s.sodr) wr(SODR, s.sodr);
        if (s.codr) wr(CODR, s.codr);
        s.press ? b.pa.drive(ext, kKey, kKey, 0) : b.pa.release(ext, kKey);
        EXPECT_FALSE(irq) << i << ": not before a cycle has passed";
        EXPECT_EQ((b.pa.levels() & kAnswer) != 0, (rd(ODSR) & kStrobe) == 0) << i;
        cycle();
        EXPECT_EQ(irq, s.irq) << i;
        EXPECT_EQ(rd(ISR), s.isr) << i;
    }
    EXPECT_EQ(heard, kKey) << "a listener hears only the lines it asked for";
}

// A change owed its sample latches when the next change comes at or after
// the sample's time, not a picosecond before it.
TEST_F(PioTest, TheNextChangeExactlyAtTheSampleTimeLatches)
{
    // Shorter than a cycle, the low pulse was never seen; a cycle long, the
    // release finds it latched and is a change of its own.
    for (board::Picos early : {board::Picos{1}, board::Picos{0}}) {
        const uint32_t seen = early ? 0u : 0x20u;
        b.pa.drive(ext, 0x20, 0x20, 0);
        b.clock.advance_to(b.clock.now() + b.clock.cycles_to_picos(1) - early);
        b.pa.release(ext, 0x20);
        EXPECT_EQ(b.pioa.isr(), seen) << early;
        b.clock.advance_cycles(2);
        EXPECT_EQ(rd(ISR), seen) << early;
    }
}

// The output registers a driver writes most go to the model by a direct
// member; what they do must stay what their declarations say. Two boards
// wired and configured alike take the same writes, one each way.
TEST(PioDirectWrites, DoWhatTheDeclarationsSay)
{
    struct Side {
        Board b;
        board::Pins::SourceId ext = b.pa.add_source("test device");
        std::vector<std::pair<uint32_t, uint32_t>> heard;
        bool irq = false;
        Side()
        {
            b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdPioa);
            b.pioa.set_irq_output([this](bool l) { irq = l; });
            b.pa.add_listener([this](uint32_t changed, uint32_t levels) { heard.emplace_back(changed, levels); },
                              0x0000FF00);
            b.pa.drive(ext, 0x0F000000, 0x0F000000, 0x05000000);
            // Push-pull, open-drain, peripheral-owned and input lines; ODSR
            // reaches only some; some lines interrupt on a change.
            for (auto [off, v] : {std::pair{OER, 0x0FFFFF00u}, {MDER, 0x00F0F000u}, {PDR, 0x000000F0u},
                                  {BSR, 0x000000C0u}, {OWER, 0x0F0F0F0Fu}, {IER, 0x0100C000u}})
                b.bus.write(PIOA + off, v);
            b.pioa.set_peripheral_output(board::Pio::B, 0xC0, 0x40, 0x40);
        }
        board::StateWriter state()
        {
            board::StateWriter w;
            b.pioa.state().save(w);
            b.pa.state().save(w);
            return w;
        }
    };
    Side direct, declared;
    const board::RegisterMap &regs = declared.b.pioa.registers();
    for (uint32_t off : {SODR, CODR, ODSR})
        ASSERT_NE(regs.register_at(off)->direct, nullptr) << off;
    const std::pair<uint32_t, uint32_t> writes[] = {
        {SODR, 0xFFFFFFFF}, {CODR, 0x0000A500}, {ODSR, 0x0A0A5A5A}, {CODR, 0xFFFFFFFF},
        {SODR, 0x0F00C3F0}, {ODSR, 0x00000000}, {SODR, 0x0000C000}, {ODSR, 0xFFFFFFFF},
    };
    for (auto [off, v] : writes) {
        direct.b.bus.write(PIOA + off, v);
        regs.write_as_declared(*regs.register_at(off), v);
        const std::string what = "write of " + std::to_string(v) + " at " + std::to_string(off);
        EXPECT_EQ(direct.state().data(), declared.state().data()) << what;
        EXPECT_EQ(direct.b.pa.levels(), declared.b.pa.levels()) << what;
        EXPECT_EQ(direct.heard, declared.heard) << what;
        EXPECT_EQ(direct.irq, declared.irq) << what;
        direct.b.clock.advance_cycles(1);
        declared.b.clock.advance_cycles(1);
    }
    EXPECT_FALSE(direct.heard.empty());
    EXPECT_TRUE(direct.irq || direct.b.pioa.isr() != 0);
}

TEST_F(PioTest, WrongAccessesAreLogged)
{
    rd(SODR);
    wr(PDSR, 1);
    rd(0x1F0);
    EXPECT_EQ(b.log.count_from("PIOA"), 3u);
    b.bus.read(0x00400000);   // outside the peripheral space: nothing answers
    EXPECT_TRUE(b.bus.take_fault());
    EXPECT_TRUE(b.log.contains("nothing mapped"));
}

}  // namespace

}  // namespace pio_test

// The board set-up and the key interrupt handler compiled for the host and
// run against the board models.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/host_port.h"
#include "firmware/main.h"

namespace board_setup_test {

namespace {

constexpr uint32_t PIOA = 0xFFFFF400;
constexpr uint32_t AIC = 0xFFFFF000;
enum : uint32_t {
    PIO_PER = PIOA + 0x00, PIO_OER = PIOA + 0x10, PIO_ODR = PIOA + 0x14, PIO_SODR = PIOA + 0x30,
    PIO_IER = PIOA + 0x40, PIO_ISR = PIOA + 0x4C, PIO_PPUDR = PIOA + 0x60, PIO_PPUER = PIOA + 0x64,
    PIO_OWER = PIOA + 0xA0, PIO_OWDR = PIOA + 0xA4,
    AIC_SMR2 = AIC + 0x008, AIC_SVR2 = AIC + 0x088, AIC_IECR = AIC + 0x120, AIC_IDCR = AIC + 0x124,
    AIC_ICCR = AIC + 0x128,
    PMC_PCER = 0xFFFFFC10, WDTC_WDMR = 0xFFFFFD44,
};
constexpr uint32_t kInc = 1u << 5, kDec = 1u << 6, kClr = 1u << 7;

struct Expected {
    bool write;
    uint32_t address;
    uint32_t value;
};

std::string describe(const board::Bus &bus, bool write, uint32_t address, uint32_t value)
{
    return std::string(write ? "write " : "read ") + bus.describe(address) + " = " + board::hex32(value);
}

struct BoardSetupTest : ::testing::Test {
    board::Board b;
    board::HostPort port{b.bus};
    board::Pins::SourceId keys = b.pa.add_source("keys under test");

    void SetUp() override { demo_bukle = 0; }

    std::vector<board::Access> record(void (*what)(void))
    {
        b.bus.clear_recorded();
        b.bus.set_recording(true);
        what();
        b.bus.set_recording(false);
        return b.bus.recorded();
    }

    // Presses (low) or releases the keys in `mask`, as the key contacts do.
    void press(uint32_t mask) { b.pa.drive(keys, mask, mask, 0); }
    void release(uint32_t mask) { b.pa.release(keys, mask); }
};

TEST_F(BoardSetupTest, InitHardwareMakesItsAccessesInOrder)
{
    const std::vector<board::Access> got = record(init_hardware);
    const uint32_t handler = port.address_of(reinterpret_cast<const void *>(&ISR_PIO_handler));

    const std::vector<Expected> head = {
        {true, WDTC_WDMR, 0x00008000},
        {true, PMC_PCER, 0x24},
        {true, PIO_SODR, 0x00000800},   // the flash stays deselected
        {true, PIO_PER, 0x00010800},
        {true, PIO_OER, 0x00010800},
        {true, PIO_OWDR, ~0x00010000u},
        {true, PIO_OWER, 0x00010000},
    };
    const std::vector<Expected> tail = {
        {true, PIO_ODR, 0xE0},
        {true, PIO_PER, 0xE0},
        {true, PIO_PPUDR, ~0x000018E0u},
        {true, PIO_PPUER, 0x000018E0},
        {false, AIC_SVR2, 0},   // the old vector, value not checked
        {true, AIC_IDCR, 0x4},
        {true, AIC_SVR2, handler},
        {true, AIC_SMR2, 0x6},
        {true, AIC_ICCR, 0x4},
        {true, PIO_IER, 0xE0},
        {true, AIC_IECR, 0x4},
    };
    ASSERT_GT(got.size(), head.size() + tail.size());
    auto check = [&](const Expected &e, const board::Access &a) {
        bool same = a.write == e.write && a.address == e.address && (!e.write || a.value == e.value);
        EXPECT_TRUE(same) << "expected " << describe(b.bus, e.write, e.address, e.value) << ", got "
                          << describe(b.bus, a.write, a.address, a.value);
    };
    for (size_t i = 0; i < head.size(); ++i)
        check(head[i], got[i]);
    const size_t tail_at = got.size() - tail.size();
    for (size_t i = 0; i < tail.size(); ++i)
        check(tail[i], got[tail_at + i]);
    // In between, the display's initialisation and glyphs: port A alone.
    for (size_t i = head.size(); i < tail_at; ++i)
        EXPECT_EQ(got[i].address & ~0x1FFu, PIOA) << describe(b.bus, got[i].write, got[i].address, got[i].value);
}

TEST_F(BoardSetupTest, InitHardwareLeavesTheFlashDeselectedAndTheDisplayOnWithBothHearts)
{
    record(init_hardware);
    EXPECT_TRUE(b.pa.level(11)) << "FLASH_CS high";
    EXPECT_FALSE(b.flash.selected());
    const std::array<uint8_t, 8> large = {0x0A, 0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x04, 0x00};
    const std::array<uint8_t, 8> small = {0x00, 0x0A, 0x1F, 0x1F, 0x0E, 0x04, 0x00, 0x00};
    EXPECT_EQ(b.lcd.glyph(1), large);
    EXPECT_EQ(b.lcd.glyph(2), small);
    EXPECT_TRUE(b.lcd.display_on());
    EXPECT_FALSE(b.lcd.cursor_on());
    EXPECT_FALSE(b.lcd.blink_on());
    EXPECT_EQ(b.lcd.lost_writes(), 0u);
}

TEST_F(BoardSetupTest, KeysRaiseTheAicSourceAfterSetUp)
{
    record(init_hardware);
    b.bus.clear_recorded();
    EXPECT_FALSE(b.pioa.irq());
    press(kInc);
    b.clock.advance_cycles(1);   // the PIO samples its inputs once per master-clock cycle
    EXPECT_TRUE(b.pioa.irq()) << "a key change raises the PIO interrupt";
    EXPECT_EQ(b.aic.pending() & 0x4u, 0x4u) << "and the AIC sees source 2 pending";
}

TEST_F(BoardSetupTest, HandlerCountsEveryLatchedKeyChange)
{
    b.bus.write(PMC_PCER, 0x4);   // the PIO sees nothing without its clock
    auto serve = [&] {
        const std::vector<board::Access> got = record(ISR_PIO_handler);
        ASSERT_EQ(got.size(), 1u) << "the handler reads PIO_ISR once and touches nothing else";
        EXPECT_FALSE(got[0].write);
        EXPECT_EQ(got[0].address, static_cast<uint32_t>(PIO_ISR));
    };

    press(kInc);
    serve();
    EXPECT_EQ(demo_bukle, 1);
    release(kInc);
    serve();
    EXPECT_EQ(demo_bukle, 2) << "the release is a change too";
    serve();
    EXPECT_EQ(demo_bukle, 2) << "the read cleared the latched changes";

    press(kDec);
    serve();
    EXPECT_EQ(demo_bukle, 1);

    press(kInc | kClr);
    serve();
    EXPECT_EQ(demo_bukle, 0) << "with INC and CLR in one read the clear wins";

    release(kDec);
    serve();
    EXPECT_EQ(demo_bukle, -1) << "DEC from 0";

    release(kInc);
    press(kDec);
    serve();
    EXPECT_EQ(demo_bukle, -1) << "INC and DEC in one read cancel";

    b.pa.drive(keys, 0x1F, 0x1F, 0);
    serve();
    EXPECT_EQ(demo_bukle, -1) << "changes of other lines do not count";
}

TEST_F(BoardSetupTest, HandlerCounterWrapsAsTwosComplement)
{
    b.bus.write(PMC_PCER, 0x4);
    demo_bukle = INT_MAX;
    press(kInc);
    ISR_PIO_handler();
    EXPECT_EQ(demo_bukle, INT_MIN);
    press(kDec);
    ISR_PIO_handler();
    EXPECT_EQ(demo_bukle, INT_MAX);
}

}  // namespace

}  // namespace board_setup_test

// The register operations, compiled for the host: each one makes exactly its
// accesses, in order, value for value, as the bus records them; and the ones
// whose effect matters are checked on the models too.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/host_port.h"
#include "firmware/configuratoriai.h"

namespace at91f_ops_test {

namespace {

struct Acc {
    char dir;   // 'R' or 'W'
    uint32_t address;
    uint32_t value;
};

std::string show(const std::vector<Acc> &v)
{
    std::string s;
    for (const auto &a : v)
        s += std::string(1, a.dir) + " " + board::hex32(a.address) + " " + board::hex32(a.value) + "\n";
    return s;
}

// The bus's recording since the last call, as comparable accesses; all must be 32 bits wide.
std::vector<Acc> take(board::Bus &bus)
{
    std::vector<Acc> out;
    for (const auto &a : bus.recorded()) {
        EXPECT_EQ(a.size, 4u) << "access at " << board::hex32(a.address);
        out.push_back(Acc{a.write ? 'W' : 'R', a.address, a.value});
    }
    bus.clear_recorded();
    return out;
}

#define EXPECT_ACCESSES(bus, ...)                                     \
    do {                                                              \
        std::vector<Acc> want_ = __VA_ARGS__;                         \
        std::vector<Acc> got_ = take(bus);                            \
        EXPECT_EQ(show(got_), show(want_));                           \
    } while (0)

constexpr uint32_t PIOA = 0xFFFFF400, AIC = 0xFFFFF000, PMC = 0xFFFFFC00;
constexpr uint32_t SPI = 0xFFFE0000, PDC = 0xFFFE0100;

void handler() {}

// Operations on the chip's models: PIO, PMC, AIC.
struct OnBoard : ::testing::Test {
    board::Board b;
    board::HostPort port{b.bus};
    void SetUp() override
    {
        b.bus.write(PMC + 0x10, 1u << 2);   // PIO clock, so that inputs are sampled
        b.bus.set_recording(true);
    }
};

TEST_F(OnBoard, PioConfigurationOperations)
{
    AT91F_PIO_CfgOutput(AT91C_BASE_PIOA, 0x00010800);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x00, 0x00010800}, {'W', PIOA + 0x10, 0x00010800}});
    AT91F_PIO_CfgInput(AT91C_BASE_PIOA, KEYS);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x14, 0xE0}, {'W', PIOA + 0x00, 0xE0}});
    AT91F_PIO_CfgPeriph(AT91C_BASE_PIOA, SPI_PINS, 0x3);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x70, 0x7000}, {'W', PIOA + 0x74, 0x3}, {'W', PIOA + 0x04, 0x7003}});
    AT91F_PIO_CfgPullup(AT91C_BASE_PIOA, 0x000018E0);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x60, ~0x000018E0u}, {'W', PIOA + 0x64, 0x000018E0}});
    AT91F_PIO_SetPullup(AT91C_BASE_PIOA, LCD_DATA);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x64, LCD_DATA}});
    AT91F_PIO_CfgDirectDrive(AT91C_BASE_PIOA, LED);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0xA4, ~LED}, {'W', PIOA + 0xA0, LED}});
    EXPECT_EQ(AT91F_PIO_GetOutputWriteStatus(AT91C_BASE_PIOA), LED);
    EXPECT_ACCESSES(b.bus, {{'R', PIOA + 0xA8, LED}});
    AT91F_PIO_InterruptEnable(AT91C_BASE_PIOA, KEYS);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x40, KEYS}});
}

TEST_F(OnBoard, PioOutputAndInputOperations)
{
    AT91F_PIO_SetOutput(AT91C_BASE_PIOA, FLASH_CS);
    AT91F_PIO_ClearOutput(AT91C_BASE_PIOA, FLASH_CS);
    AT91F_PIO_ForceOutput(AT91C_BASE_PIOA, 0);
    uint32_t levels = b.pa.levels();
    EXPECT_EQ(AT91F_PIO_GetInput(AT91C_BASE_PIOA), levels);
    EXPECT_ACCESSES(b.bus, {{'W', PIOA + 0x30, FLASH_CS}, {'W', PIOA + 0x34, FLASH_CS},
                            {'W', PIOA + 0x38, 0}, {'R', PIOA + 0x3C, levels}});
}

TEST_F(OnBoard, CfgPullupTurnsOthersOffWhereSetPullupLeavesThem)
{
    AT91F_PIO_CfgPullup(AT91C_BASE_PIOA, 0x000018E0);
    EXPECT_EQ(b.pa.pullups(), 0x000018E0u);
    AT91F_PIO_SetPullup(AT91C_BASE_PIOA, LCD_DATA);
    EXPECT_EQ(b.pa.pullups(), 0x000018E0u | LCD_DATA);
    AT91F_PIO_CfgPullup(AT91C_BASE_PIOA, KEYS);
    EXPECT_EQ(b.pa.pullups(), KEYS);
}

TEST_F(OnBoard, DirectDriveThenOdsrZeroDrivesOnlyThoseLinesLow)
{
    AT91F_PIO_CfgOutput(AT91C_BASE_PIOA, LED | LCD_PINS);
    AT91F_PIO_SetOutput(AT91C_BASE_PIOA, LED | LCD_PINS);
    AT91F_PIO_CfgDirectDrive(AT91C_BASE_PIOA, LED | LCD_E);
    EXPECT_EQ(b.pioa.owsr(), LED | LCD_E);
    AT91F_PIO_ForceOutput(AT91C_BASE_PIOA, 0);
    EXPECT_EQ(b.pa.levels() & (LED | LCD_PINS), LCD_PINS & ~LCD_E);
}

TEST_F(OnBoard, PmcOperations)
{
    AT91F_PMC_EnablePeriphClock(AT91C_BASE_PMC, (1u << 2) | (1u << 5));
    AT91F_SPI_CfgPMC();
    EXPECT_ACCESSES(b.bus, {{'W', PMC + 0x10, 0x24}, {'W', PMC + 0x10, 0x20}});
    EXPECT_TRUE(b.pmc.peripheral_clock(5));
}

TEST_F(OnBoard, ConfigureItDisablesBeforeTheChangeAndClearsAfter)
{
    // Source 2 enabled as a rising-edge source with a request pending.
    b.bus.write(AIC + 0x88, 0x00100ABC);
    b.bus.write(AIC + 0x08, 0x23);
    b.bus.write(AIC + 0x120, 1u << 2);
    b.aic.set_source(2, true);
    b.aic.set_source(2, false);
    b.clock.advance_cycles(5);   // the AIC's synchronisation
    ASSERT_TRUE(b.aic.nirq());
    b.bus.clear_recorded();

    uint32_t vector = port.address_of(reinterpret_cast<const void *>(&handler));
    unsigned old = AT91F_AIC_ConfigureIt(AT91C_BASE_AIC, 2, 6, 0x20, handler);
    EXPECT_EQ(old, 0x00100ABCu);
    EXPECT_ACCESSES(b.bus, {{'R', AIC + 0x88, 0x00100ABC}, {'W', AIC + 0x124, 0x4}, {'W', AIC + 0x88, vector},
                            {'W', AIC + 0x08, 0x26}, {'W', AIC + 0x128, 0x4}});
    EXPECT_EQ(b.aic.enabled() & 0x4u, 0u) << "ConfigureIt leaves the source disabled";
    EXPECT_EQ(b.aic.pending() & 0x4u, 0u) << "and its request cleared";
    EXPECT_FALSE(b.aic.nirq());
    EXPECT_EQ(b.aic.peek(0x88), vector);

    AT91F_AIC_EnableIt(AT91C_BASE_AIC, 2);
    EXPECT_ACCESSES(b.bus, {{'W', AIC + 0x120, 0x4}});
    EXPECT_EQ(b.aic.enabled(), 0x4u);
}

// A plain register file over the SPI block: the operations' accesses are
// checked here, not the controller's behaviour, which has its own tests.
class RegisterFile : public board::Device {
public:
    uint32_t read(uint32_t offset) override { return regs[offset]; }
    void write(uint32_t offset, uint32_t value) override { regs[offset] = value; }
    uint32_t peek(uint32_t offset) const override
    {
        auto it = regs.find(offset);
        return it == regs.end() ? 0 : it->second;
    }
    void reset() override { regs.clear(); }
    const char *register_name(uint32_t) const override { return nullptr; }
    std::map<uint32_t, uint32_t> regs;
};

struct OnSpi : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::Bus bus{clock, log};
    RegisterFile spi;
    board::HostPort port{bus};
    char buf1[4] = {}, buf2[4] = {};
    uint32_t a1 = 0, a2 = 0;
    void SetUp() override
    {
        bus.map(SPI, 0x4000, spi, "SPI");
        a1 = port.address_of(buf1);
        a2 = port.address_of(buf2);
        bus.set_recording(true);
    }
};

TEST_F(OnSpi, ControllerOperations)
{
    AT91F_SPI_Reset(AT91C_BASE_SPI);
    AT91F_SPI_CfgMode(AT91C_BASE_SPI, 0x000E0011);
    AT91F_SPI_CfgCs(AT91C_BASE_SPI, 0, 0x0203);
    AT91F_SPI_CfgCs(AT91C_BASE_SPI, 3, 0x0405);
    AT91F_SPI_Enable(AT91C_BASE_SPI);
    EXPECT_ACCESSES(bus, {{'W', SPI + 0x00, 0x80}, {'W', SPI + 0x04, 0x000E0011}, {'W', SPI + 0x30, 0x0203},
                          {'W', SPI + 0x3C, 0x0405}, {'W', SPI + 0x00, 0x01}});

    AT91F_SPI_CfgPCS(AT91C_BASE_SPI, 0x1B);
    EXPECT_ACCESSES(bus, {{'R', SPI + 0x04, 0x000E0011}, {'W', SPI + 0x04, 0x00000011},
                          {'R', SPI + 0x04, 0x00000011}, {'W', SPI + 0x04, 0x000B0011}});

    AT91F_SPI_PutChar(AT91C_BASE_SPI, 0x12345, 0);
    AT91F_SPI_PutChar(AT91C_BASE_SPI, 0xA5, 2);
    spi.regs[0x08] = 0xABCD5A3C;
    EXPECT_EQ(AT91F_SPI_GetChar(AT91C_BASE_SPI), 0x5A3Cu);
    EXPECT_ACCESSES(bus, {{'W', SPI + 0x0C, 0x000E2345}, {'W', SPI + 0x0C, 0x000B00A5}, {'R', SPI + 0x08, 0xABCD5A3C}});
}

TEST_F(OnSpi, ChannelOperations)
{
    AT91F_PDC_SetRx(AT91C_BASE_PDC_SPI, buf1, 1);
    AT91F_PDC_SetTx(AT91C_BASE_PDC_SPI, buf2, 5);
    AT91F_PDC_SetNextRx(AT91C_BASE_PDC_SPI, buf2, 2);
    AT91F_PDC_SetNextTx(AT91C_BASE_PDC_SPI, buf1, 3);
    EXPECT_ACCESSES(bus, {{'W', PDC + 0x00, a1}, {'W', PDC + 0x04, 1}, {'W', PDC + 0x08, a2}, {'W', PDC + 0x0C, 5},
                          {'W', PDC + 0x10, a2}, {'W', PDC + 0x14, 2}, {'W', PDC + 0x18, a1}, {'W', PDC + 0x1C, 3}});

    AT91F_PDC_EnableRx(AT91C_BASE_PDC_SPI);
    AT91F_PDC_DisableRx(AT91C_BASE_PDC_SPI);
    AT91F_PDC_EnableTx(AT91C_BASE_PDC_SPI);
    AT91F_PDC_DisableTx(AT91C_BASE_PDC_SPI);
    EXPECT_ACCESSES(bus, {{'W', PDC + 0x20, 0x001}, {'W', PDC + 0x20, 0x002}, {'W', PDC + 0x20, 0x100},
                          {'W', PDC + 0x20, 0x200}});

    spi.regs[0x104] = 0;
    spi.regs[0x114] = 7;
    EXPECT_TRUE(AT91F_PDC_IsRxEmpty(AT91C_BASE_PDC_SPI));
    EXPECT_FALSE(AT91F_PDC_IsNextRxEmpty(AT91C_BASE_PDC_SPI));
    EXPECT_FALSE(AT91F_PDC_IsTxEmpty(AT91C_BASE_PDC_SPI));
    EXPECT_FALSE(AT91F_PDC_IsNextTxEmpty(AT91C_BASE_PDC_SPI));
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x04, 0}, {'R', PDC + 0x14, 7}, {'R', PDC + 0x0C, 5}, {'R', PDC + 0x1C, 3}});

    AT91F_PDC_Open(AT91C_BASE_PDC_SPI);
    EXPECT_ACCESSES(bus, {{'W', PDC + 0x20, 0x002}, {'W', PDC + 0x20, 0x200},
                          {'W', PDC + 0x18, 0}, {'W', PDC + 0x1C, 0}, {'W', PDC + 0x10, 0}, {'W', PDC + 0x14, 0},
                          {'W', PDC + 0x08, 0}, {'W', PDC + 0x0C, 0}, {'W', PDC + 0x00, 0}, {'W', PDC + 0x04, 0},
                          {'W', PDC + 0x20, 0x001}, {'W', PDC + 0x20, 0x100}});
}

TEST_F(OnSpi, SendFrameUsesTheFirstFreeSlotAndChangesNothingWhenBothAreBusy)
{
    EXPECT_EQ(AT91F_PDC_SendFrame(AT91C_BASE_PDC_SPI, buf1, 5, buf2, 2), 2u);
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x0C, 0}, {'W', PDC + 0x08, a1}, {'W', PDC + 0x0C, 5},
                          {'W', PDC + 0x18, a2}, {'W', PDC + 0x1C, 2}});

    spi.regs[0x11C] = 0;   // the next slot has gone out
    EXPECT_EQ(AT91F_PDC_SendFrame(AT91C_BASE_PDC_SPI, buf2, 4, buf1, 1), 1u);
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x0C, 5}, {'R', PDC + 0x1C, 0}, {'W', PDC + 0x18, a2}, {'W', PDC + 0x1C, 4}});

    auto before = spi.regs;
    EXPECT_EQ(AT91F_SPI_SendFrame(AT91C_BASE_SPI, buf1, 9, buf2, 9), 0u);
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x0C, 5}, {'R', PDC + 0x1C, 4}});
    EXPECT_EQ(spi.regs, before);
}

TEST_F(OnSpi, ReceiveFrameFollowsTheSameRule)
{
    EXPECT_EQ(AT91F_SPI_ReceiveFrame(AT91C_BASE_SPI, buf1, 1, nullptr, 0), 2u);
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x04, 0}, {'W', PDC + 0x00, a1}, {'W', PDC + 0x04, 1},
                          {'W', PDC + 0x10, 0}, {'W', PDC + 0x14, 0}});

    EXPECT_EQ(AT91F_PDC_ReceiveFrame(AT91C_BASE_PDC_SPI, buf2, 3, buf1, 1), 1u);
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x04, 1}, {'R', PDC + 0x14, 0}, {'W', PDC + 0x10, a2}, {'W', PDC + 0x14, 3}});

    auto before = spi.regs;
    EXPECT_EQ(AT91F_PDC_ReceiveFrame(AT91C_BASE_PDC_SPI, buf1, 1, buf2, 1), 0u);
    EXPECT_ACCESSES(bus, {{'R', PDC + 0x04, 1}, {'R', PDC + 0x14, 3}});
    EXPECT_EQ(spi.regs, before);
}

}  // namespace

}  // namespace at91f_ops_test

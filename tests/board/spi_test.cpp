// The SPI controller and its PDC channel pair against the chip's documented
// behaviour, with nothing but the test on the other end of the nets.
#include <gtest/gtest.h>

#include <vector>

#include "board/board.h"

namespace spi_test {

namespace {

using board::Board;
using board::Spi;

constexpr uint32_t SPI = board::kSpiBase;
enum : uint32_t {
    CR = 0x00, MR = 0x04, RDR = 0x08, TDR = 0x0C, SR = 0x10, IER = 0x14, CSR0 = 0x30,
    RPR = 0x100, RCR = 0x104, TPR = 0x108, TCR = 0x10C, RNPR = 0x110, RNCR = 0x114,
    TNPR = 0x118, TNCR = 0x11C, PTCR = 0x120, PTSR = 0x124,
};
constexpr uint32_t PIO_PDR = 0x04, PIO_ASR = 0x70;
constexpr uint32_t kMosi = 1u << 13, kSpck = 1u << 14, kMiso = 1u << 12;

// Memory as the PDC sees it: a window of bytes at one address.
struct TestMemory : board::Memory {
    uint32_t base = 0x00200000;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(256, 0xEE);
    bool read8(uint32_t a, uint8_t &v) override
    {
        if (a < base || a - base >= bytes.size())
            return false;
        v = bytes[a - base];
        return true;
    }
    bool write8(uint32_t a, uint8_t v) override
    {
        if (a < base || a - base >= bytes.size())
            return false;
        bytes[a - base] = v;
        return true;
    }
};

struct SpiTest : ::testing::Test {
    Board b;
    TestMemory mem;
    board::Pins::SourceId slave = b.pa.add_source("test slave");

    void SetUp() override
    {
        b.clock.set_master_period_fs(20000000);   // 50 MHz: whole picoseconds per cycle
        b.bus.set_memory(&mem);
        b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdSpi);   // PMC_PCER: the SPI's clock
        b.bus.write(board::kPioaBase + PIO_ASR, 0x7000);
        b.bus.write(board::kPioaBase + PIO_PDR, 0x7000);
    }
    uint32_t rd(uint32_t off) { return b.bus.read(SPI + off); }
    void wr(uint32_t off, uint32_t v) { b.bus.write(SPI + off, v); }
    // The board's set-up: master, fixed select 0, mode 3, SCBR 2.
    void enable_master(uint32_t mr = 0x11, uint32_t csr = 0x209)
    {
        wr(MR, mr);
        wr(CSR0, csr);
        wr(CR, 0x01);
    }
    void cycles(uint64_t n) { b.clock.advance_cycles(n); }
    void run_until_idle()
    {
        for (int i = 0; i < 100000 && (b.spi.shifting() || !(b.spi.status() & Spi::TXEMPTY)); ++i)
            cycles(1);
        cycles(8);   // let the PDC finish its last move
    }
};

TEST_F(SpiTest, ResetStateAndEnable)
{
    EXPECT_EQ(rd(SR), 0xF0u) << "disabled; both PDC pairs empty";
    enable_master();
    EXPECT_EQ(rd(SR), 0xF0u | Spi::TDRE | Spi::TXEMPTY | Spi::SPIENS);
    EXPECT_TRUE(b.pa.level(14)) << "CPOL = 1: SPCK idles high";
    wr(CR, 0x02);
    EXPECT_EQ(rd(SR) & (Spi::TDRE | Spi::SPIENS), 0u) << "disabling clears TDRE";
    wr(TDR, 0x12);
    EXPECT_TRUE(b.log.contains("disabled"));
    wr(CR, 0x01);
    wr(CR, 0x80);
    EXPECT_EQ(rd(SR), 0xF0u) << "software reset leaves the SPI disabled";
    EXPECT_EQ(rd(MR), 0u);
}

TEST_F(SpiTest, TransmitFlagsFollowTheShifterOnTheVirtualClock)
{
    enable_master();
    wr(TDR, 0x000E0055);
    EXPECT_EQ(rd(SR) & (Spi::TDRE | Spi::TXEMPTY), Spi::TDRE) << "the idle shifter takes the word at once";
    wr(TDR, 0x000E00AA);
    EXPECT_EQ(rd(SR) & (Spi::TDRE | Spi::TXEMPTY), 0u);
    cycles(15);
    EXPECT_EQ(rd(SR) & Spi::TDRE, 0u) << "8 bits x SCBR 2 = 16 cycles, not yet";
    cycles(1);
    EXPECT_EQ(rd(SR) & (Spi::TDRE | Spi::RDRF | Spi::TXEMPTY), Spi::TDRE | Spi::RDRF)
        << "first byte done, second moved into the shifter";
    cycles(15);
    EXPECT_EQ(rd(SR) & Spi::TXEMPTY, 0u);
    cycles(1);
    EXPECT_NE(rd(SR) & Spi::TXEMPTY, 0u);
    EXPECT_EQ(b.spi.transfers(), 2u);

    // SCBR scales the time; FDIV divides by 32 more.
    wr(CSR0, 0x509);
    wr(TDR, 0x01);
    cycles(39);
    EXPECT_EQ(rd(SR) & Spi::TXEMPTY, 0u);
    cycles(1);
    EXPECT_NE(rd(SR) & Spi::TXEMPTY, 0u);
}

TEST_F(SpiTest, ReceiveRegisterOverrunAndLoopback)
{
    enable_master(0x91);   // local loopback: MISO is our own MOSI
    wr(TDR, 0x3C);
    cycles(16);
    EXPECT_NE(rd(SR) & Spi::RDRF, 0u);
    wr(TDR, 0xC3);
    cycles(16);
    uint32_t sr = rd(SR);
    EXPECT_NE(sr & Spi::OVRES, 0u) << "RDR reloaded while RDRF was set";
    EXPECT_EQ(rd(SR) & Spi::OVRES, 0u) << "reading SR clears OVRES";
    EXPECT_EQ(rd(RDR), 0xC3u) << "new data still lands in RDR";
    EXPECT_EQ(rd(SR) & Spi::RDRF, 0u) << "reading RDR clears RDRF";
    EXPECT_EQ(rd(RDR), 0xC3u) << "RDR keeps its word until the next transfer";
}

TEST_F(SpiTest, EveryBitIsOnTheNetsAtTheRealClockTiming)
{
    enable_master();
    // Records SPCK and MOSI at each change and answers on MISO as a mode-3
    // slave: next bit on every falling edge.
    std::vector<std::pair<board::Picos, uint32_t>> changes;
    uint8_t reply = 0x96;
    int sent_bits = 0;
    b.pa.add_listener([&](uint32_t changed, uint32_t levels) {
        if (!(changed & (kSpck | kMosi)))
            return;
        changes.emplace_back(b.clock.now(), levels);
        if ((changed & kSpck) && !(levels & kSpck) && sent_bits < 8) {
            bool bit = (reply >> (7 - sent_bits++)) & 1;
            b.pa.drive(slave, kMiso, kMiso, bit ? kMiso : 0);
        }
    });
    board::Picos start = b.clock.now();
    wr(TDR, 0xA5);
    cycles(20);
    // Rebuild the byte from the nets: MOSI sampled on each rising edge.
    uint8_t mosi = 0;
    std::vector<board::Picos> falls, rises;
    uint32_t prev = kSpck;
    for (auto &[t, levels] : changes) {
        if ((prev & kSpck) && !(levels & kSpck))
            falls.push_back(t - start);
        if (!(prev & kSpck) && (levels & kSpck)) {
            rises.push_back(t - start);
            mosi = static_cast<uint8_t>((mosi << 1) | ((levels & kMosi) ? 1 : 0));
        }
        prev = levels;
    }
    ASSERT_EQ(falls.size(), 8u);
    ASSERT_EQ(rises.size(), 8u);
    EXPECT_EQ(mosi, 0xA5);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(falls[i], i * 40000u) << "mode 3: leading (falling) edge starts each 40 ns bit";
        EXPECT_EQ(rises[i], i * 40000u + 20000u) << "capture on the trailing (rising) edge";
    }
    EXPECT_TRUE(b.pa.level(14)) << "clock back at its idle level";
    EXPECT_EQ(rd(RDR), 0x96u) << "the slave's bits, sampled on the rising edges";
}

TEST_F(SpiTest, ModeZeroCapturesOnTheLeadingEdge)
{
    enable_master(0x11, 0x20A);   // CPOL 0, NCPHA 1
    EXPECT_FALSE(b.pa.level(14));
    uint8_t seen = 0;
    b.pa.add_listener([&](uint32_t changed, uint32_t levels) {
        if ((changed & kSpck) && (levels & kSpck))
            seen = static_cast<uint8_t>((seen << 1) | ((levels & kMosi) ? 1 : 0));
    });
    b.pa.drive(slave, kMiso, kMiso, 0);
    wr(TDR, 0x6B);
    cycles(16);
    EXPECT_EQ(seen, 0x6B);
    EXPECT_EQ(rd(RDR), 0x00u);
    EXPECT_FALSE(b.pa.level(14));
}

TEST_F(SpiTest, PdcMovesAFrameAndReloadsTheNextPointer)
{
    enable_master(0x91);
    bool irq = false;
    b.spi.set_irq_output([&](bool l) { irq = l; });
    const uint32_t tx = mem.base, tx_next = mem.base + 0x10, rx = mem.base + 0x40;
    for (int i = 0; i < 5; ++i)
        mem.bytes[(i < 3 ? 0 : 0x10 - 3) + i] = static_cast<uint8_t>(0x10 + i);
    wr(IER, Spi::RXBUFF);
    wr(RPR, rx);
    wr(RCR, 5);
    wr(TPR, tx);
    wr(TCR, 3);
    wr(TNPR, tx_next);
    wr(TNCR, 2);
    EXPECT_EQ(rd(SR) & (Spi::ENDTX | Spi::TXBUFE | Spi::ENDRX | Spi::RXBUFF), 0u)
        << "writing the counters clears the end flags";
    EXPECT_FALSE(irq);
    wr(PTCR, 0x101);
    EXPECT_EQ(rd(PTSR), 0x101u);
    cycles(24);   // bytes 1 and 2 shifting or sent, byte 3 in TDR
    EXPECT_EQ(rd(TNCR), 0u) << "the next pair moved into the current one";
    EXPECT_EQ(rd(TCR), 2u);
    EXPECT_EQ(rd(TPR), tx_next);
    run_until_idle();
    EXPECT_EQ(rd(TCR), 0u);
    EXPECT_EQ(rd(TPR), tx_next + 2) << "pointer advanced past the next buffer";
    EXPECT_EQ(rd(RPR), rx + 5);
    EXPECT_EQ(std::vector<uint8_t>(mem.bytes.begin() + 0x40, mem.bytes.begin() + 0x45),
              (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13, 0x14}));
    EXPECT_EQ(rd(SR) & (Spi::ENDTX | Spi::TXBUFE | Spi::ENDRX | Spi::RXBUFF | Spi::RDRF),
              Spi::ENDTX | Spi::TXBUFE | Spi::ENDRX | Spi::RXBUFF);
    EXPECT_TRUE(irq) << "RXBUFF enabled in IMR";
    EXPECT_EQ(b.spi.transfers(), 5u);
}

TEST_F(SpiTest, FreshlyArmedReceiveChannelTakesTheWaitingByte)
{
    enable_master(0x91);
    wr(TDR, 0x77);
    cycles(20);
    ASSERT_NE(b.spi.status() & Spi::RDRF, 0u);
    wr(RPR, mem.base);
    wr(RCR, 1);
    wr(PTCR, 0x001);
    cycles(4);
    EXPECT_EQ(mem.bytes[0], 0x77) << "RDRF is the trigger: the stale byte goes to memory";
    EXPECT_EQ(rd(RCR), 0u);
    EXPECT_EQ(b.spi.status() & Spi::RDRF, 0u) << "the PDC read RDR";
    EXPECT_EQ(b.spi.transfers(), 1u) << "and nothing new was clocked";
}

TEST_F(SpiTest, TransmitChannelWaitsForItsEnableAndTheLatencyIsHonoured)
{
    enable_master();
    wr(TPR, mem.base);
    wr(TCR, 1);
    cycles(100);
    EXPECT_EQ(b.spi.transfers(), 0u) << "channel not enabled";
    b.spi.set_pdc_latency_cycles(10);
    wr(PTCR, 0x100);
    cycles(9);
    EXPECT_NE(rd(SR) & Spi::TXEMPTY, 0u) << "the PDC has not moved the byte yet";
    cycles(1);
    EXPECT_EQ(rd(SR) & Spi::TXEMPTY, 0u);
    EXPECT_EQ(rd(TCR), 0u);
}

TEST_F(SpiTest, ProblemsAreLoggedNotHidden)
{
    b.bus.write(board::kPmcBase + 0x14, 1u << board::kIdSpi);   // PMC_PCDR: the PMC stops the SPI's clock
    enable_master();
    wr(TDR, 0x42);
    cycles(100);
    EXPECT_TRUE(b.spi.shifting() == false && b.spi.transfers() == 0u);
    EXPECT_TRUE(b.log.contains("clock is off"));
    b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdSpi);
    rd(SR);
    cycles(16);
    EXPECT_EQ(b.spi.transfers(), 1u) << "resumes once the clock is back";

    wr(TPR, 0x12345678);
    wr(TCR, 1);
    wr(PTCR, 0x100);
    cycles(40);
    EXPECT_TRUE(b.log.contains("nothing at 0x12345678"));
    EXPECT_EQ(rd(TCR), 0u);
}

TEST_F(SpiTest, PeekHasNoSideEffects)
{
    enable_master(0x91);
    wr(TDR, 0x5);
    cycles(16);
    wr(TDR, 0x6);
    cycles(16);
    uint32_t v = 0;
    ASSERT_TRUE(b.bus.peek(SPI + SR, v));
    EXPECT_NE(v & (Spi::RDRF | Spi::OVRES), 0u);
    ASSERT_TRUE(b.bus.peek(SPI + RDR, v));
    EXPECT_EQ(b.spi.status() & (Spi::RDRF | Spi::OVRES), Spi::RDRF | Spi::OVRES);
    EXPECT_STREQ(b.spi.register_name(TNCR), "PDC_TNCR");
}

TEST(SpiWiring, ShiftsOnlyWithItsPmcClockAndInterruptsAsSourceFive)
{
    Board b;
    b.bus.write(SPI + MR, 0x91);
    b.bus.write(SPI + CSR0, 0x209);
    b.bus.write(SPI + CR, 0x01);
    b.bus.write(SPI + TDR, 0x42);
    b.clock.advance_cycles(100);
    EXPECT_EQ(b.spi.transfers(), 0u) << "the SPI clock is off after reset";
    b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdSpi);
    b.bus.write(SPI + IER, Spi::RDRF);
    b.bus.write(board::kAicBase + 0x120, 1u << board::kIdSpi);   // AIC_IECR
    b.clock.advance_cycles(16);
    EXPECT_EQ(b.spi.transfers(), 1u);
    EXPECT_EQ(b.aic.pending() & (1u << board::kIdSpi), 1u << board::kIdSpi);
    b.bus.read(SPI + RDR);
    EXPECT_EQ(b.aic.pending() & (1u << board::kIdSpi), 0u);
}

}  // namespace

}  // namespace spi_test

// The PDC's end flags as latches, seen through the SPI (looped back on
// itself) and the debug unit: a ping-pong driver's first-buffer interrupt.
#include <gtest/gtest.h>

#include <vector>

#include "board/board.h"

namespace pdc_test {

namespace {

using board::Board;
using board::Spi;

enum : uint32_t {
    RPR = 0x100, RCR = 0x104, TPR = 0x108, TCR = 0x10C, RNPR = 0x110, RNCR = 0x114,
    TNPR = 0x118, TNCR = 0x11C, PTCR = 0x120,
};

struct Ram : board::Memory {
    static constexpr uint32_t kBase = 0x00200000;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(256, 0);
    bool read8(uint32_t a, uint8_t &v) override
    {
        if (a - kBase >= bytes.size())
            return false;
        v = bytes[a - kBase];
        return true;
    }
    bool write8(uint32_t a, uint8_t v) override
    {
        if (a - kBase >= bytes.size())
            return false;
        bytes[a - kBase] = v;
        return true;
    }
};

struct PdcTest : ::testing::Test {
    Board b;
    Ram ram;
    bool irq = false;

    void SetUp() override
    {
        b.clock.set_master_period_fs(20000000);
        b.bus.set_memory(&ram);
        b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdSpi);
        spi(0x04, 0x91);    // SPI_MR: master, fixed select 0, local loopback
        spi(0x30, 0x209);   // SPI_CSR0: SCBR 2, mode 3
        spi(0x00, 0x01);    // SPIEN
        b.spi.set_irq_output([this](bool l) { irq = l; });
    }
    void spi(uint32_t off, uint32_t v) { b.bus.write(board::kSpiBase + off, v); }
    uint32_t spi(uint32_t off) { return b.bus.read(board::kSpiBase + off); }
};

TEST_F(PdcTest, PingPongReceiveRaisesTheFirstBuffersEndAndKeepsItUntilTheNextIsQueued)
{
    for (int i = 0; i < 4; ++i)
        ram.bytes[i] = static_cast<uint8_t>(0xA0 + i);
    spi(0x14, Spi::ENDRX);   // IER
    spi(RPR, Ram::kBase + 0x40);
    spi(RCR, 2);
    spi(RNPR, Ram::kBase + 0x80);
    spi(RNCR, 2);
    spi(TPR, Ram::kBase);
    spi(TCR, 4);
    EXPECT_FALSE(irq);
    spi(PTCR, 0x101);
    // Two bytes of 16 cycles each and their moves: the first buffer is full
    // and the receive channel has gone on into the second.
    for (int i = 0; i < 200 && spi(RPR) != Ram::kBase + 0x80; ++i)
        b.clock.advance_cycles(1);
    ASSERT_EQ(spi(RPR), Ram::kBase + 0x80u) << "the next buffer was loaded";
    EXPECT_EQ(spi(RCR), 2u);
    EXPECT_EQ(spi(RNCR), 0u);
    EXPECT_NE(spi(0x10) & Spi::ENDRX, 0u) << "ENDRX latched although RCR is not 0 any more";
    EXPECT_TRUE(irq) << "the first buffer's end interrupt";
    EXPECT_EQ(spi(0x10) & Spi::RXBUFF, 0u);
    EXPECT_EQ(ram.bytes[0x40], 0xA0);
    EXPECT_EQ(ram.bytes[0x41], 0xA1);

    spi(RNPR, Ram::kBase + 0x40);   // the handler queues the next buffer
    spi(RNCR, 2);
    EXPECT_EQ(spi(0x10) & Spi::ENDRX, 0u) << "writing the next counter clears ENDRX";
    EXPECT_FALSE(irq);

    b.clock.advance_cycles(200);
    EXPECT_EQ(ram.bytes[0x80], 0xA2);
    EXPECT_EQ(ram.bytes[0x81], 0xA3);
    EXPECT_NE(spi(0x10) & Spi::ENDRX, 0u) << "the second buffer ended too";
    EXPECT_TRUE(irq);
    EXPECT_EQ(spi(RPR), Ram::kBase + 0x40u);
    EXPECT_EQ(spi(RCR), 2u) << "the third buffer waits for bytes";
}

TEST_F(PdcTest, FlagsAfterResetAndCounterWrites)
{
    EXPECT_EQ(spi(0x10) & 0xF0u, 0xF0u) << "ENDRX, ENDTX, RXBUFF, TXBUFE read 1 after reset";
    spi(TNCR, 3);
    EXPECT_EQ(spi(0x10) & (Spi::ENDTX | Spi::TXBUFE), 0u) << "a next counter alone clears both";
    spi(TNCR, 0);
    EXPECT_EQ(spi(0x10) & (Spi::ENDTX | Spi::TXBUFE), Spi::ENDTX | Spi::TXBUFE) << "both counters 0 again";
    spi(TCR, 1);
    EXPECT_EQ(spi(0x10) & (Spi::ENDTX | Spi::TXBUFE), 0u);
    spi(PTCR, 0x100);
    b.clock.advance_cycles(50);
    EXPECT_EQ(spi(0x10) & (Spi::ENDTX | Spi::TXBUFE), Spi::ENDTX | Spi::TXBUFE);
    spi(PTCR, 0x300);
    EXPECT_EQ(spi(0x124), 0u) << "a disable wins over an enable";
}

}  // namespace

}  // namespace pdc_test

// The debug unit against its documentation: flags, the baud rate on the
// virtual clock, the pins, loopback, overrun and its PDC.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board.h"

namespace dbgu_test {

namespace {

using board::Board;
using board::Dbgu;

enum : uint32_t {
    CR = 0x00, MR = 0x04, IER = 0x08, IDR = 0x0C, IMR = 0x10, SR = 0x14, RHR = 0x18, THR = 0x1C, BRGR = 0x20,
    TPR = 0x108, TCR = 0x10C, PTCR = 0x120,
};
constexpr uint32_t PIO_PDR = board::kPioaBase + 0x04, PIO_PER = board::kPioaBase + 0x00;

struct Ram : board::Memory {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(64, 0);
    bool read8(uint32_t a, uint8_t &v) override
    {
        if (a - 0x00200000 >= bytes.size())
            return false;
        v = bytes[a - 0x00200000];
        return true;
    }
    bool write8(uint32_t a, uint8_t v) override
    {
        if (a - 0x00200000 >= bytes.size())
            return false;
        bytes[a - 0x00200000] = v;
        return true;
    }
};

struct DbguTest : ::testing::Test {
    Board b;
    std::string host;
    std::vector<board::Picos> arrivals;

    void SetUp() override
    {
        b.clock.set_master_period_fs(20000000);   // 50 MHz
        b.dbgu.set_host_output([this](uint8_t c) {
            host.push_back(static_cast<char>(c));
            arrivals.push_back(b.clock.now());
        });
        b.bus.write(PIO_PDR, 0x600);   // PA9, PA10 to their peripheral (function A after reset)
    }
    uint32_t rd(uint32_t off) { return b.bus.read(board::kDbguBase + off); }
    void wr(uint32_t off, uint32_t v) { b.bus.write(board::kDbguBase + off, v); }
    // CD 26 at 50 MHz: 120192 baud, a bit every 416 cycles (8.32 us).
    void start(uint32_t mr = 0x800)
    {
        wr(BRGR, 26);
        wr(MR, mr);
        wr(CR, 0x50);   // RXEN, TXEN
    }
    static constexpr board::Picos kBit = 26 * 16 * 20000;
};

TEST_F(DbguTest, ResetStateAndEnables)
{
    EXPECT_EQ(rd(SR) & (Dbgu::TXRDY | Dbgu::TXEMPTY | Dbgu::RXRDY), 0u) << "transmitter disabled";
    EXPECT_EQ(rd(SR) & (Dbgu::TXBUFE | Dbgu::RXBUFF | Dbgu::ENDRX | Dbgu::ENDTX),
              Dbgu::TXBUFE | Dbgu::RXBUFF | Dbgu::ENDRX | Dbgu::ENDTX);
    EXPECT_EQ(rd(BRGR), 0u);
    start();
    EXPECT_EQ(rd(SR) & (Dbgu::TXRDY | Dbgu::TXEMPTY), Dbgu::TXRDY | Dbgu::TXEMPTY);
    EXPECT_NEAR(b.dbgu.baud(), 50e6 / 416, 1);
    wr(CR, 0x80);   // TXDIS
    EXPECT_EQ(rd(SR) & (Dbgu::TXRDY | Dbgu::TXEMPTY), 0u);
}

TEST_F(DbguTest, ACharacterTakesItsFrameOnTheLine)
{
    start();   // no parity: 10 bits
    wr(THR, 'h');
    EXPECT_EQ(rd(SR) & (Dbgu::TXRDY | Dbgu::TXEMPTY), Dbgu::TXRDY) << "THR moved into the idle shifter";
    EXPECT_FALSE(b.pa.level(10)) << "start bit";
    wr(THR, 'i');
    EXPECT_EQ(rd(SR) & Dbgu::TXRDY, 0u);
    b.clock.advance_to(kBit + kBit / 2);
    EXPECT_FALSE(b.pa.level(10)) << "bit 0 of 'h' (0x68) is 0";
    b.clock.advance_to(4 * kBit + kBit / 2);
    EXPECT_TRUE(b.pa.level(10)) << "bit 3 is 1";
    b.clock.advance_to(10 * kBit - 1);
    EXPECT_TRUE(host.empty());
    b.clock.advance_to(20 * kBit);
    EXPECT_EQ(host, "hi");
    EXPECT_EQ(arrivals, (std::vector<board::Picos>{10 * kBit, 20 * kBit}));
    EXPECT_EQ(rd(SR) & (Dbgu::TXRDY | Dbgu::TXEMPTY), Dbgu::TXRDY | Dbgu::TXEMPTY);
    EXPECT_TRUE(b.pa.level(10)) << "idle high";

    wr(MR, 0x000);   // even parity: 11 bits
    wr(THR, '!');
    b.clock.advance_to(31 * kBit - 1);
    EXPECT_EQ(host, "hi");
    b.clock.advance_to(31 * kBit);
    EXPECT_EQ(host, "hi!");
}

TEST_F(DbguTest, NothingLeavesThroughAPinThePioKeeps)
{
    b.bus.write(PIO_PER, 0x400);   // PA10 back to the PIO
    start();
    wr(THR, 'x');
    b.clock.advance_to(20 * kBit);
    EXPECT_TRUE(host.empty());
    EXPECT_TRUE(b.log.contains("PA10 is not given to the DBGU"));
    wr(BRGR, 0);
    wr(THR, 'y');
    b.clock.advance_to(40 * kBit);
    EXPECT_TRUE(b.log.contains("baud clock is off"));
}

TEST_F(DbguTest, ReceiveOverrunAndInterrupt)
{
    b.bus.write(board::kAicBase + 0x120, 1u << 1);   // AIC_IECR: the system interrupt
    start();
    wr(IER, Dbgu::RXRDY);
    EXPECT_EQ(rd(IMR), Dbgu::RXRDY);
    b.dbgu.receive_from_host("ab");
    b.clock.advance_to(10 * kBit - 1);
    EXPECT_EQ(rd(SR) & Dbgu::RXRDY, 0u);
    EXPECT_FALSE(b.aic.nirq());
    b.clock.advance_to(10 * kBit);
    EXPECT_EQ(b.aic.pending() & 2u, 2u) << "the system interrupt";
    b.clock.advance_to(20 * kBit);
    EXPECT_EQ(rd(SR) & (Dbgu::RXRDY | Dbgu::OVRE), Dbgu::RXRDY | Dbgu::OVRE) << "b arrived before a was read";
    EXPECT_EQ(rd(RHR), uint32_t{'b'});
    EXPECT_FALSE(b.aic.nirq());
    EXPECT_NE(rd(SR) & Dbgu::OVRE, 0u) << "OVRE stays until RSTSTA";
    wr(CR, 0x100);
    EXPECT_EQ(rd(SR) & Dbgu::OVRE, 0u);
    wr(IDR, Dbgu::RXRDY);
    EXPECT_EQ(rd(IMR), 0u);

    wr(CR, 0x20);   // RXDIS
    b.dbgu.receive_from_host('z');
    b.clock.advance_to(40 * kBit);
    EXPECT_EQ(rd(SR) & Dbgu::RXRDY, 0u);
    EXPECT_TRUE(b.log.contains("receiver is disabled"));
}

TEST_F(DbguTest, LoopbackModes)
{
    start(0x8800);   // local loopback, no parity
    wr(THR, 'L');
    b.clock.advance_to(10 * kBit);
    EXPECT_TRUE(host.empty()) << "local loopback keeps the line idle";
    EXPECT_EQ(rd(RHR), uint32_t{'L'});
    wr(MR, 0xC800);   // remote loopback
    b.dbgu.receive_from_host('R');
    b.clock.advance_to(20 * kBit);
    EXPECT_EQ(host, "R");
    EXPECT_EQ(rd(SR) & Dbgu::RXRDY, 0u) << "the receiver is disconnected";
    wr(MR, 0x4800);   // automatic echo
    b.dbgu.receive_from_host('E');
    b.clock.advance_to(30 * kBit);
    EXPECT_EQ(host, "RE");
    EXPECT_EQ(rd(RHR), uint32_t{'E'});
}

TEST_F(DbguTest, PdcSendsABufferAndLatchesEndOfTransmit)
{
    Ram ram;
    b.bus.set_memory(&ram);
    ram.bytes = {'h', 'e', 'l', 'l', 'o'};
    start();
    wr(IER, Dbgu::ENDTX);
    wr(TPR, 0x00200000);
    wr(TCR, 5);
    EXPECT_EQ(rd(SR) & (Dbgu::ENDTX | Dbgu::TXBUFE), 0u);
    wr(PTCR, 0x100);
    b.clock.advance_to(60 * kBit);
    EXPECT_EQ(host, "hello");
    EXPECT_EQ(rd(SR) & (Dbgu::ENDTX | Dbgu::TXBUFE), Dbgu::ENDTX | Dbgu::TXBUFE);
    EXPECT_TRUE(b.dbgu.irq());
}

}  // namespace

}  // namespace dbgu_test

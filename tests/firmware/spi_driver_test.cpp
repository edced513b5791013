// The SPI master built for the host, traced on the bus and run against the
// controller model.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "flash_rig.h"

namespace spi_driver_test {

namespace {

using test::OnBoard;
using Write = std::pair<uint32_t, uint32_t>;

constexpr uint32_t kPdc = test::kSpi + 0x100;
enum : uint32_t { MR = 0x04, RDR = 0x08, TDR = 0x0C, SR = 0x10 };
enum : uint32_t { RPR = 0x00, RCR = 0x04, TPR = 0x08, TCR = 0x0C, RNPR = 0x10, RNCR = 0x14, TNPR = 0x18, TNCR = 0x1C };

struct SpiDriver : OnBoard {
    uint32_t addr(const void *p) { return port.address_of(p); }
    void record()
    {
        b.bus.clear_recorded();
        b.bus.set_recording(true);
    }
    std::vector<Write> writes(uint32_t from = 0, uint32_t to = 0xFFFFFFFF)
    {
        std::vector<Write> w;
        for (const auto &a : b.bus.recorded())
            if (a.write && a.address >= from && a.address < to)
                w.emplace_back(a.address, a.value);
        return w;
    }
    size_t reads_of(uint32_t address)
    {
        size_t n = 0;
        for (const auto &a : b.bus.recorded())
            n += !a.write && a.address == address;
        return n;
    }
    // A frame the test queues itself, as a caller of the PDC would.
    void queue_tx(uint32_t pointer_reg, uint32_t count_reg, const std::vector<uint8_t> &frame)
    {
        b.bus.write(kPdc + pointer_reg, addr(frame.data()));
        b.bus.write(kPdc + count_reg, static_cast<uint32_t>(frame.size()));
    }
};

TEST_F(SpiDriver, InitWritesItsTenStepsInOrderAndReadsNothing)
{
    b.reset();
    b.clock.set_master_period_fs(test::kMck48MHzFs);
    record();
    SPI_Init();
    const uint32_t P = test::kPioa, S = test::kSpi;
    EXPECT_EQ(writes(), (std::vector<Write>{
                            {P + 0x10, 0x6800}, {P + 0x60, 0x6000}, {P + 0x64, 0x1800},
                            {S + 0x00, 0x80}, {0xFFFFFC10, 0x20}, {S + 0x04, 0x11}, {S + 0x30, 0x209},
                            {P + 0x70, 0x7000}, {P + 0x74, 0}, {P + 0x04, 0x7000},
                            {kPdc + 0x20, 0x002}, {kPdc + 0x20, 0x200},
                            {kPdc + TNPR, 0}, {kPdc + TNCR, 0}, {kPdc + RNPR, 0}, {kPdc + RNCR, 0},
                            {kPdc + TPR, 0}, {kPdc + TCR, 0}, {kPdc + RPR, 0}, {kPdc + RCR, 0},
                            {kPdc + 0x20, 0x001}, {kPdc + 0x20, 0x100}, {S + 0x00, 0x01},
                        }));
    EXPECT_EQ(writes().size(), b.bus.recorded().size()) << "nothing read back";
    uint32_t ptsr = 0;
    b.bus.peek(kPdc + 0x24, ptsr);
    EXPECT_EQ(ptsr, 0x101u) << "both channels enabled";
    EXPECT_TRUE(b.pa.level(14)) << "SPCK idles high on the pin";
}

TEST_F(SpiDriver, MasterTransmitWritesTheChipSelectFieldAndKeepsOnlyTheLowByte)
{
    // Variable select with loopback: RDR then carries PCS in bits 16..19.
    b.bus.write(test::kSpi + MR, 0x93);
    record();
    EXPECT_EQ(SPI_MasterTransmit(0x5A), 0x5A);
    EXPECT_EQ(writes(), (std::vector<Write>{{test::kSpi + TDR, 0x000E005A}}));
    ASSERT_EQ(reads_of(test::kSpi + RDR), 1u);
    for (const auto &a : b.bus.recorded()) {
        if (a.address == test::kSpi + RDR) {
            EXPECT_EQ(a.value, 0x000E005Au) << "the higher bits were there to drop";
        }
    }
    EXPECT_FALSE(b.spi.shifting()) << "returns only once the byte is out";
    const auto &last = b.bus.recorded().back();
    EXPECT_EQ(last.address, test::kSpi + RDR) << "RDR read after the TXEMPTY wait";
}

TEST_F(SpiDriver, TrasmitBufferRewritesTheModeAndFollowsTheSendRule)
{
    std::vector<uint8_t> frame{1, 2, 3, 4, 5}, earlier(40, 0xAA), later(40, 0x55);

    // Current slot free.
    record();
    SPI_TrasmitBuffer(frame.data(), 5);
    EXPECT_EQ(writes(test::kSpi + MR, test::kSpi + MR + 4),
              (std::vector<Write>{{test::kSpi + MR, 0x11}, {test::kSpi + MR, 0x11}}))
        << "two read-modify-writes with the value unchanged";
    EXPECT_EQ(reads_of(test::kSpi + MR), 2u);
    EXPECT_EQ(writes(kPdc, kPdc + 0x24), (std::vector<Write>{{kPdc + TPR, addr(frame.data())}, {kPdc + TCR, 5},
                                                             {kPdc + TNPR, 0}, {kPdc + TNCR, 0}}));
    EXPECT_EQ(b.spi.transfers(), 5u);

    // Current slot busy, next free: only the next pair is written.
    queue_tx(TPR, TCR, earlier);
    record();
    SPI_TrasmitBuffer(frame.data(), 5);
    EXPECT_EQ(writes(kPdc, kPdc + 0x24),
              (std::vector<Write>{{kPdc + TNPR, addr(frame.data())}, {kPdc + TNCR, 5}}));
    EXPECT_EQ(b.spi.transfers(), 5u + 40 + 5);

    // Both busy: no PDC write, the frame is dropped, the wait still happens.
    queue_tx(TPR, TCR, earlier);
    queue_tx(TNPR, TNCR, later);
    record();
    SPI_TrasmitBuffer(frame.data(), 5);
    EXPECT_TRUE(writes(kPdc, kPdc + 0x24).empty());
    EXPECT_EQ(b.spi.transfers(), 5u + 45 + 80);
    EXPECT_NE(b.spi.status() & board::Spi::TXEMPTY, 0u);

    // Size 0 on an idle channel queues nothing.
    record();
    SPI_TrasmitBuffer(frame.data(), 0);
    EXPECT_EQ(writes(kPdc, kPdc + 0x24), (std::vector<Write>{{kPdc + TPR, addr(frame.data())}, {kPdc + TCR, 0},
                                                             {kPdc + TNPR, 0}, {kPdc + TNCR, 0}}));
    EXPECT_EQ(b.spi.transfers(), 130u);
}

// On the chip the PDC needs the system bus before it can hand the first byte
// to TDR; until then TXEMPTY still reports the previous transfer.
TEST_F(SpiDriver, TrasmitBufferReturnsOnlyAfterTheWholeFrameIsOut)
{
    std::vector<uint8_t> frame{0x03, 0x00, 0x00, 0xAB, 0x00};
    for (uint64_t latency : {0u, 2u, 30u, 200u}) {
        b.spi.set_pdc_latency_cycles(latency);
        uint64_t before = b.spi.transfers();
        SPI_TrasmitBuffer(frame.data(), 5);
        EXPECT_EQ(b.spi.transfers() - before, 5u) << "PDC latency " << latency << " cycles";
        EXPECT_FALSE(b.spi.shifting()) << "PDC latency " << latency << " cycles";
    }
}

TEST_F(SpiDriver, ReadBufferFollowsTheReceiveRuleAndNeverWaits)
{
    uint8_t buffer[4], other[8];
    uint64_t t0 = b.clock.cycles();
    record();
    SPI_ReadBuffer(buffer, 4);
    EXPECT_EQ(writes(), (std::vector<Write>{{kPdc + RPR, addr(buffer)}, {kPdc + RCR, 4}, {kPdc + RNPR, 0}, {kPdc + RNCR, 0}}));
    EXPECT_EQ(b.bus.recorded().size(), 5u) << "one RCR read and four writes";
    EXPECT_EQ(b.clock.cycles() - t0, 5 * board::HostPort::kAccessCycles) << "no waiting";

    record();
    SPI_ReadBuffer(other, 8);
    EXPECT_EQ(writes(), (std::vector<Write>{{kPdc + RNPR, addr(other)}, {kPdc + RNCR, 8}}));

    record();
    SPI_ReadBuffer(other, 8);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(b.bus.recorded().size(), 2u) << "RCR and RNCR read, nothing else";
    EXPECT_EQ(reads_of(test::kSpi + SR), 0u);
}

}  // namespace

}  // namespace spi_driver_test

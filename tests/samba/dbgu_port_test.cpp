// The monitor's polling loop on the debug unit's registers, with a debug
// unit that holds one received byte and takes a byte to send only when its
// transmitter is ready.
#include <gtest/gtest.h>

#include <deque>

#include "sim/samba/dbgu_port.h"
#include "tests/samba/fake_chip.h"

namespace dbgu_port_test {

namespace {

using samba::DbguPort;
using samba::Monitor;

struct FakeDbgu : testing_support::FakeChip {
    std::deque<uint8_t> line_in;   // bytes still on their way in
    bool holding = false;          // RHR holds a byte
    uint8_t rhr = 0;
    bool tx_ready = true;
    std::string line_out;

    // A byte arrives from the line into RHR (overrunning an unread one).
    void arrive()
    {
        if (line_in.empty()) return;
        rhr = line_in.front();
        line_in.pop_front();
        holding = true;
    }
    uint32_t read(uint32_t address, unsigned size) override
    {
        if (address == DbguPort::kSr) return (holding ? DbguPort::kRxRdy : 0) | (tx_ready ? DbguPort::kTxRdy : 0);
        if (address == DbguPort::kRhr) {
            holding = false;
            uint8_t b = rhr;
            arrive();   // the next byte was already on its way
            return b;
        }
        return FakeChip::read(address, size);
    }
    void write(uint32_t address, unsigned size, uint32_t value) override
    {
        if (address == DbguPort::kThr) line_out.push_back(static_cast<char>(value));
        else FakeChip::write(address, size, value);
    }
};

struct DbguPortTest : ::testing::Test {
    FakeDbgu dbgu;
    Monitor monitor{dbgu};
    DbguPort port{dbgu, monitor};

    void host_sends(const std::string &bytes)
    {
        for (char c : bytes) dbgu.line_in.push_back(static_cast<uint8_t>(c));
        dbgu.arrive();
    }
};

TEST_F(DbguPortTest, CarriesTheLineBothWaysAtTheTransmittersPace)
{
    host_sends("\x80\x80#N#W200000,12345678#w200000,4#");
    dbgu.tx_ready = false;
    port.poll(1000);
    EXPECT_EQ(dbgu.line_out, "") << "nothing goes out while the transmitter is busy";
    EXPECT_EQ(dbgu.byte(0x200000), 0x78) << "but commands were heard and carried out";
    EXPECT_EQ(port.backlog(), 2 + 3 + 2 + 4u);
    dbgu.tx_ready = true;
    port.poll(1000);
    EXPECT_EQ(dbgu.line_out, std::string("\x80\x80\n\r>\n\r\x78\x56\x34\x12", 11));
    EXPECT_EQ(port.backlog(), 0u);
}

TEST_F(DbguPortTest, OnlyAQuietLineCountsAsTimePassing)
{
    host_sends("\x80#N#S200000,80#");
    port.poll(Monitor::kXmodemTimeout);
    EXPECT_EQ(dbgu.line_out, "\x80\n\r>\n\rC") << "a poll that heard bytes is not a quiet one";
    port.poll(Monitor::kXmodemTimeout / 2);
    port.poll(Monitor::kXmodemTimeout / 2);
    EXPECT_EQ(dbgu.line_out, "\x80\n\r>\n\rCC") << "the receiver asks again after a quiet second";
}

}  // namespace

}  // namespace dbgu_port_test

// The serial flash driver built for the host: every command's bytes and
// chip-select framing as seen on the nets, its results against the flash
// model, and the waits and checks against a scripted slave.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "flash_rig.h"

namespace serial_flash_driver_test {

namespace {

using Bytes = std::vector<uint8_t>;
using test::EmptySocket;
using test::OnBoard;

// Distinct neighbours everywhere, and unlike the address bytes themselves.
uint8_t pattern(uint32_t a) { return static_cast<uint8_t>(a * 7 + (a >> 8) * 13 + (a >> 16) * 29 + 0x5B); }

struct FlashDriver : OnBoard {
    void fill_pattern()
    {
        Bytes image(board::SpiFlash::kSize);
        for (uint32_t a = 0; a < image.size(); ++a)
            image[a] = pattern(a);
        b.flash.preload(0, image);
    }
    size_t status_commands() const
    {
        size_t n = 0;
        for (const auto &f : bus_view.frames)
            n += f.mosi == Bytes{0x05, 0x00};
        return n;
    }
};

TEST_F(FlashDriver, EveryCommandSendsItsBytesInOneChipSelectPeriod)
{
    uint8_t buffer[3];
    struct Case {
        const char *name;
        std::function<void()> call;
        Bytes bytes;
    } cases[] = {
        {"ReadStatus", [] { SROM_ReadStatus(); }, {0x05, 0x00}},
        {"EWSR", [] { SROM_EWSR(); }, {0x50}},
        {"WRSR", [] { SROM_WRSR(0x1C); }, {0x01, 0x1C}},
        {"WREN", [] { SROM_WREN(); }, {0x06}},
        {"WRDI", [] { SROM_WRDI(); }, {0x04}},
        {"Read_ID", [] { SROM_Read_ID(0x01); }, {0x90, 0x00, 0x00, 0x01, 0x00}},
        {"Jedec_ID_Read", [] { SROM_Jedec_ID_Read(); }, {0x9F, 0x00, 0x00, 0x00}},
        {"Read2", [] { SROM_Read2(0xFF012345); }, {0x03, 0x01, 0x23, 0x45, 0x00}},
        {"Read", [] { SROM_Read(0xAB); }, {0x03, 0x00, 0x00, 0xAB, 0x00}},
        {"Read_Cont", [&] { SROM_Read_Cont(0x123456, 3, buffer); }, {0x03, 0x12, 0x34, 0x56, 0, 0, 0}},
        {"Read_Cont 0", [&] { SROM_Read_Cont(0x123456, 0, buffer); }, {0x03, 0x12, 0x34, 0x56}},
        {"HighSpeed_Read", [] { SROM_HighSpeed_Read(0x000102); }, {0x0B, 0x00, 0x01, 0x02, 0xFF, 0xFF}},
        {"HighSpeed_Read_Cont", [&] { SROM_HighSpeed_Read_Cont(0x10, 2, buffer); }, {0x0B, 0, 0, 0x10, 0xFF, 0xFF, 0xFF}},
        {"HighSpeed_Read_Cont 0", [&] { SROM_HighSpeed_Read_Cont(0x10, 0, buffer); }, {0x0B, 0, 0, 0x10, 0xFF}},
        {"Byte_Program", [] { SROM_Byte_Program(0x010203, 0x55); }, {0x02, 0x01, 0x02, 0x03, 0x55}},
        {"Auto_Add_IncA", [] { SROM_Auto_Add_IncA(0x000100, 0x11, 0x22); }, {0xAD, 0x00, 0x01, 0x00, 0x11, 0x22}},
        {"Auto_Add_IncB", [] { SROM_Auto_Add_IncB(0x11, 0x22); }, {0xAD, 0x11, 0x22}},
        {"Chip_Erase", [] { SROM_Chip_Erase(); }, {0x60}},
        {"Sector_Erase", [] { SROM_Sector_Erase(0x123456); }, {0x20, 0x12, 0x34, 0x56}},
        {"Block_Erase_32K", [] { SROM_Block_Erase_32K(0x123456); }, {0x52, 0x12, 0x34, 0x56}},
        {"Block_Erase_64K", [] { SROM_Block_Erase_64K(0xA5123456); }, {0xD8, 0x12, 0x34, 0x56}},
        {"DP", [] { SROM_DP(); }, {0xB9}},
        {"RDP", [] { SROM_RDP(); }, {0xAB}},
    };
    for (const Case &c : cases) {
        bus_view.frames.clear();
        c.call();
        ASSERT_EQ(bus_view.frames.size(), 1u) << c.name;
        EXPECT_EQ(bus_view.frames[0].mosi, c.bytes) << c.name;
        EXPECT_EQ(bus_view.frames[0].stray_bits, 0u) << c.name << ": chip select rose mid-byte";
        EXPECT_FALSE(bus_view.selected()) << c.name << " leaves FLASH_CS high";
    }
}

TEST_F(FlashDriver, ResultsComeFromTheRightBytes)
{
    fill_pattern();
    EXPECT_EQ(SROM_Jedec_ID_Read(), 0x00BF258Du);
    EXPECT_EQ(SROM_Read_ID(0x00), 0xBF);
    EXPECT_EQ(SROM_Read_ID(0x01), 0x8D);
    EXPECT_EQ(SROM_ReadStatus(), 0x3C);
    EXPECT_EQ(SROM_Read2(0xFF012345), pattern(0x012345)) << "bits 24..31 of the address dropped";
    EXPECT_EQ(SROM_HighSpeed_Read(0x04321), pattern(0x04321));

    Bytes buffer(20, 0xEE);
    SROM_Read_Cont(0x7FFF8, 0, buffer.data());
    EXPECT_EQ(buffer, Bytes(20, 0xEE)) << "no bytes asked, none stored";
    SROM_Read_Cont(0x7FFF8, 16, buffer.data());
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(buffer[i], pattern((0x7FFF8 + i) % board::SpiFlash::kSize)) << i;
    EXPECT_EQ(buffer[16], 0xEE) << "nothing past no_bytes";
    SROM_HighSpeed_Read_Cont(0x100, 0, buffer.data() + 18);
    EXPECT_EQ(buffer[18], 0xEE);
    SROM_HighSpeed_Read_Cont(0x100, 4, buffer.data());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), (Bytes{pattern(0x100), pattern(0x101), pattern(0x102), pattern(0x103)}));
}

TEST_F(FlashDriver, PdcReadReturnsTheByteAtEachAddress)
{
    fill_pattern();
    uint8_t expected[700], got[700];
    uint32_t n = 0;
    // Back to back, then interleaved with commands that leave RDR in other states.
    for (uint32_t a = 0x7FF00; a < 0x80100; ++a, ++n) {
        expected[n] = pattern(a % board::SpiFlash::kSize);
        got[n] = SROM_Read(a);
    }
    for (uint32_t a = 0x1000; a < 0x1000 + 100; a += 3, ++n) {
        SROM_ReadStatus();
        expected[n] = pattern(a);
        got[n] = SROM_Read(a);
        SROM_Read2(a + 1);
    }
    for (uint32_t i = 0; i < n; ++i)
        ASSERT_EQ(got[i], expected[i]) << "read number " << i;
    EXPECT_EQ(b.spi.peek(0x104), 0u) << "the receive channel finished before the return";
    EXPECT_EQ(b.spi.peek(0x114), 0u);
}

TEST_F(FlashDriver, PdcReadArmsTheReceiveChannelFirstAndRaisesTheSelectLast)
{
    b.flash.preload(0xAB, {0x4D});
    b.bus.set_recording(true);
    EXPECT_EQ(SROM_Read(0xAB), 0x4D);
    const auto &rec = b.bus.recorded();
    size_t cs_low = rec.size(), rx_armed = rec.size(), tx_queued = rec.size(), cs_high = rec.size();
    for (size_t i = 0; i < rec.size(); ++i) {
        const auto &a = rec[i];
        if (!a.write)
            continue;
        if (a.address == test::kPioCodr && a.value == 0x800) cs_low = i;
        if (a.address == test::kSpi + 0x104 && a.value != 0) rx_armed = i;
        if (a.address == test::kSpi + 0x10C && a.value == 5) tx_queued = i;
        if (a.address == test::kPioSodr && a.value == 0x800) cs_high = i;
    }
    EXPECT_LT(cs_low, rx_armed);
    EXPECT_LT(rx_armed, tx_queued) << "receive channel armed before the frame is queued";
    EXPECT_LT(tx_queued, cs_high);
    ASSERT_EQ(bus_view.frames.size(), 1u);
    EXPECT_EQ(bus_view.frames[0].mosi, (Bytes{0x03, 0x00, 0x00, 0xAB, 0x00}));
    EXPECT_EQ(bus_view.frames[0].miso.back(), 0x4D);
}

TEST_F(FlashDriver, PdcReadWithoutAFreeReceiveSlotGivesADefinedByte)
{
    fill_pattern();
    uint8_t someone_elses[16] = {};
    constexpr uint32_t kPdc = test::kSpi + 0x100;
    // Both slots taken: nothing is armed.
    b.bus.write(kPdc + 0x00, port.address_of(someone_elses));
    b.bus.write(kPdc + 0x04, 8);
    b.bus.write(kPdc + 0x10, port.address_of(someone_elses + 8));
    b.bus.write(kPdc + 0x14, 8);
    EXPECT_EQ(SROM_Read(0x10), 0xFF);
    // Only the next slot free: the read does not stay queued behind a stranger.
    b.bus.write(kPdc + 0x14, 0);
    EXPECT_EQ(SROM_Read(0x10), 0xFF);
    EXPECT_EQ(b.spi.peek(0x114), 0u) << "withdrawn from the next slot";
}

TEST_F(FlashDriver, WritePathComposedAsAUserWould)
{
    SROM_EWSR();
    SROM_WRSR(0x00);
    SROM_WREN();
    SROM_WREN_Check();
    SROM_Byte_Program(0x2345, 0xC3);
    bus_view.frames.clear();
    SROM_Wait_Busy();
    size_t polls = status_commands();
    EXPECT_EQ(polls, bus_view.frames.size());
    EXPECT_GE(polls, 3u) << "10 us of programming outlasts one status command";
    EXPECT_EQ(polls % 2, 1u) << "1 + 2k status commands";
    EXPECT_FALSE(b.flash.busy());
    EXPECT_EQ(SROM_Read(0x2345), 0xC3);

    SROM_WREN();
    SROM_WREN_Check();
    SROM_Auto_Add_IncA(0x3000, 0x01, 0x02);
    SROM_Wait_Busy_AAI();
    SROM_WREN_AAI_Check();
    SROM_Auto_Add_IncB(0x03, 0x04);
    SROM_Wait_Busy_AAI();
    SROM_WRDI();
    SROM_Wait_Busy();
    Bytes back(5);
    SROM_Read_Cont(0x3000, 5, back.data());
    EXPECT_EQ(back, (Bytes{0x01, 0x02, 0x03, 0x04, 0xFF}));

    SROM_WREN();
    SROM_Sector_Erase(0x2FFF);
    SROM_Wait_Busy();
    EXPECT_EQ(SROM_Read(0x2345), 0xFF);
    EXPECT_EQ(SROM_Read(0x3000), 0x01) << "the next sector is untouched";
    SROM_WREN();
    SROM_Chip_Erase();
    SROM_Wait_Busy();
    EXPECT_EQ(SROM_Read2(0x3000), 0xFF);
    EXPECT_FALSE(b.log.contains("refused")) << "every step was accepted";

    // The board's part has no deep power-down: it ignores both commands.
    SROM_DP();
    EXPECT_EQ(SROM_Jedec_ID_Read(), 0x00BF258Du);
    SROM_RDP();
    EXPECT_EQ(SROM_Jedec_ID_Read(), 0x00BF258Du);
    EXPECT_TRUE(b.log.contains("0xB9 is not one of this part's"));
}

TEST_F(EmptySocket, JedecIdPacksTheThreeBytesReceived)
{
    replies = {{0x12, 0x34, 0x56}};
    EXPECT_EQ(SROM_Jedec_ID_Read(), 0x00123456u);
}

TEST_F(EmptySocket, WaitsPollWhileTheirBitsAreAllSet)
{
    struct Case {
        void (*wait)();
        std::initializer_list<uint8_t> statuses;
        size_t commands;
    } cases[] = {
        {SROM_Wait_Busy, {0x03, 0x55, 0x02}, 3},
        {SROM_Wait_Busy, {0x01}, 1},
        {SROM_Wait_Busy, {0x02}, 1},
        {SROM_Wait_Busy, {0xFF, 0x00, 0x03, 0x00, 0xFD}, 5},
        {SROM_Wait_Busy_AAI, {0x43, 0x00, 0xC3, 0x00, 0x42}, 5},
        {SROM_Wait_Busy_AAI, {0x03}, 1},
    };
    for (const Case &c : cases) {
        statuses(c.statuses);
        slave.frames.clear();
        c.wait();
        EXPECT_EQ(slave.frames.size(), c.commands) << "first status " << int(*c.statuses.begin());
        for (const auto &f : slave.frames)
            EXPECT_EQ(f.mosi, (Bytes{0x05, 0x00}));
    }
}

TEST_F(EmptySocket, WriteEnableChecksReturnOnTheExactStatusAndParkOtherwise)
{
    bool armed = false;
    test::stop_when_parked(bus, armed);
    struct Case {
        void (*check)();
        uint8_t status;
        bool returns;
    } cases[] = {
        {SROM_WREN_Check, 0x02, true},      {SROM_WREN_Check, 0x00, false},
        {SROM_WREN_Check, 0x03, false},     {SROM_WREN_Check, 0x82, false},
        {SROM_WREN_AAI_Check, 0x42, true},  {SROM_WREN_AAI_Check, 0x02, false},
        {SROM_WREN_AAI_Check, 0x43, false},
    };
    for (const Case &c : cases) {
        statuses({c.status});
        slave.frames.clear();
        armed = true;
        bool parked = false;
        try {
            c.check();
        } catch (const test::Parked &) {
            parked = true;
        }
        armed = false;
        EXPECT_EQ(parked, !c.returns) << "status " << int(c.status);
        EXPECT_EQ(slave.frames.size(), 1u) << "one status read, then nothing selected";
        EXPECT_FALSE(slave.selected());
    }
}

}  // namespace

}  // namespace serial_flash_driver_test

// Test benches for the SPI and serial flash drivers built for the host.
//
// OnBoard: the whole board (with its serial flash) at 48 MHz, the flash chip
// select set up as the board set-up leaves it, SPI_Init done, and a bus view
// of every flash command.
// EmptySocket: the chip's PIO and SPI alone, with a scripted slave on the
// flash's chip select in place of the memory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "board/board.h"
#include "board/host_port.h"
#include "spi_peer.h"

#include "../../firmware/25L00.h"
#include "../../firmware/spi.h"

namespace test {

constexpr uint64_t kMck48MHzFs = 20833333;   // 48 MHz master clock period
constexpr uint32_t kPioa = board::kPioaBase;
constexpr uint32_t kSpi = board::kSpiBase;
constexpr uint32_t kPioSodr = kPioa + 0x30, kPioCodr = kPioa + 0x34, kPioOer = kPioa + 0x10;

// Thrown from a bus observer to stop firmware that parks for ever.
struct Parked {};

// Ends a run of the firmware once it has written FLASH_CS high `limit`
// times in a row and done nothing else.
inline void stop_when_parked(board::Bus &bus, const bool &armed, unsigned limit = 1000)
{
    auto run = std::make_shared<unsigned>(0);
    bus.add_observer([&armed, run, limit](const board::Access &a) {
        if (!armed)
            return;
        bool park_write = a.write && a.address == kPioSodr && a.value == 0x800;
        *run = park_write ? *run + 1 : 0;
        if (*run >= limit)
            throw Parked{};
    });
}

struct OnBoard : ::testing::Test {
    board::Board b;
    board::HostPort port{b.bus};
    SpiPeer bus_view{b.pa};

    void SetUp() override
    {
        b.clock.set_master_period_fs(kMck48MHzFs);
        b.bus.write(kPioSodr, 0x800);   // the board set-up leaves FLASH_CS high
        SPI_Init();
        bus_view.frames.clear();
        b.log.clear();
    }
};

struct EmptySocket : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::Bus bus{clock, log};
    board::Pins pa{log, "PA"};
    board::Pio pioa{pa, clock, log, "PIOA"};
    board::Spi spi{bus, pioa, pa, log};
    board::HostPort port{bus};
    // Per frame, the bytes the slave gives from the second byte on.
    std::vector<std::vector<uint8_t>> replies;
    SpiPeer slave{pa, [this](size_t frame, size_t index) -> uint8_t {
                      if (index == 0 || frame >= replies.size() || index - 1 >= replies[frame].size())
                          return 0xFF;
                      return replies[frame][index - 1];
                  }};

    EmptySocket()
    {
        bus.map(board::kPioaBase, 0x200, pioa, "PIOA");
        bus.map(board::kSpiBase, board::kSpiSize, spi, "SPI");
    }
    void SetUp() override
    {
        clock.set_master_period_fs(kMck48MHzFs);
        bus.write(kPioSodr, 0x800);
        SPI_Init();
        slave.frames.clear();
    }
    // One status byte per command.
    void statuses(std::initializer_list<uint8_t> s)
    {
        replies.clear();
        for (uint8_t v : s)
            replies.push_back({v});
    }
};

}  // namespace test

// Runs firmware compiled for the host against the board: the firmware's
// register layer (hw_access.h, FW_HOST) calls into the port installed here.
//
// Time. A host-built driver has no cycle counter, so the port charges the
// virtual clock a fixed cost, in master-clock cycles:
//   - kAccessCycles per register access (an ARM7TDMI load or store to the
//     peripheral bus from Thumb code, with its address set-up: about 6);
//   - kNopCycles per no-operation of a delay loop, standing for the whole loop
//     pass it sits in (load, decrement or increment, store, compare, branch
//     and the no-operation from flash with one wait state: about 10).
// With these, at 48 MHz, one status read of the display driver takes about
// 6.6 us, so the controller's 37 us busy time ends after about five polls and
// the 1.52 ms of clear display after about two hundred; a -Os Thumb build on
// the board (a delay pass of 12 cycles without flash wait states, about 20
// with them) polls three to five times for the 37 us.
//
// Addresses. DMA pointer registers and interrupt vectors hold 32-bit
// addresses, which a host pointer does not fit. The port hands out addresses
// in windows of 1 MiB from 0x20000000 up (where the chip has nothing), each
// window mapping onto the host memory from the pointer it was made for. The
// PDC model reaches firmware buffers through these windows, as the bus's
// Memory.
#pragma once

#include <cstdint>
#include <vector>

#include "board/bus.h"

namespace board {

class HostPort : public Memory {
public:
    static constexpr uint64_t kAccessCycles = 6;
    static constexpr uint64_t kNopCycles = 10;
    static constexpr uint32_t kWindowBase = 0x20000000;
    static constexpr uint32_t kWindowSize = 0x00100000;
    static constexpr unsigned kWindows = 256;

    // Installs this port for the firmware's register layer and as the bus's
    // memory; the destructor uninstalls it.
    explicit HostPort(Bus &bus);
    ~HostPort() override;
    HostPort(const HostPort &) = delete;
    HostPort &operator=(const HostPort &) = delete;

    Bus &bus() { return bus_; }
    uint64_t nops() const { return nops_; }

    uint32_t address_of(const void *pointer);
    // The host pointer behind an address handed out by address_of, or nullptr.
    uint8_t *pointer_to(uint32_t address) const;

    bool read8(uint32_t address, uint8_t &value) override;
    bool write8(uint32_t address, uint8_t value) override;

    // Used by the firmware side.
    uint32_t read32(uint32_t address);
    void write32(uint32_t address, uint32_t value);
    void nop();

    static HostPort *current();

private:
    Bus &bus_;
    std::vector<const uint8_t *> windows_;
    unsigned next_window_ = 0;
    uint64_t nops_ = 0;
    HostPort *previous_ = nullptr;
};

}  // namespace board

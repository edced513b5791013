// The rest of the peripheral space (0xF0000000 up): the peripherals the board
// does not model (timers, USB device, TWI, USARTs, PWM, SSC, ADC) and the
// reserved addresses between the blocks. On the chip a reserved address
// inside the peripheral space does not abort (the memory controller aborts
// only accesses outside every defined area), so here a read gives 0 and a
// write is ignored; each address is logged once, named after the peripheral
// it falls in when there is one, so an access to a part that has no model
// here is never silent.
#pragma once

#include <cstdint>
#include <set>

#include "board/device.h"
#include "board/log.h"
#include "board/state.h"

namespace board {

class PeripheralSpace : public Device {
public:
    static constexpr uint32_t kBase = 0xF0000000;
    static constexpr uint32_t kSize = 0x10000000;

    explicit PeripheralSpace(Log &log);

    uint32_t read(uint32_t offset) override;
    void write(uint32_t offset, uint32_t value) override;
    uint32_t peek(uint32_t) const override { return 0; }
    void reset() override {}
    const char *register_name(uint32_t) const override { return nullptr; }

    // The unmodelled peripheral (chip.h) at an absolute address, or nullptr.
    static const char *block_at(uint32_t address);

    // The addresses already logged: the log is the run's, a reset keeps them.
    State &state() { return state_; }

private:
    void note(uint32_t offset, bool write, uint32_t value);

    Log &log_;
    std::set<uint32_t> logged_;
    State state_{"peripheral space"};
};

}  // namespace board

// What the boot monitor acts on: the chip, through the bus its core uses
// (so a store into the flash range fills the page latch and a read of a
// peripheral register has the read's side effects), and the core itself for
// the go command.
#pragma once

#include <cstdint>
#include <string>

namespace samba {

using Picos = uint64_t;

struct GoOutcome {
    bool returned = false;   // came back through LR within the limit
    Picos elapsed = 0;       // virtual time the guest code ran
    std::string detail;      // when it did not return: where the core was, or why
};

class Target {
public:
    virtual ~Target() = default;
    // size is 1, 2 or 4; the value is in the low bits.
    virtual uint32_t read(uint32_t address, unsigned size) = 0;
    virtual void write(uint32_t address, unsigned size, uint32_t value) = 0;
    // Runs code at `address` (bit 0 set: Thumb) with LR pointing back into
    // the monitor, until it returns there or `limit` of virtual time passes;
    // either way the monitor has the core again afterwards.
    virtual GoOutcome go(uint32_t address, Picos limit) = 0;
};

}  // namespace samba

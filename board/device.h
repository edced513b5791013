// What every peripheral model offers the bus: reads and writes with their side
// effects, a side-effect-free peek for debuggers and views, and a real reset.
// Offsets are byte offsets of 32-bit registers within the model's block.
#pragma once

#include <cstdint>

namespace board {

class MappedDevice;

class Device {
public:
    virtual ~Device() = default;
    virtual uint32_t read(uint32_t offset) = 0;
    virtual void write(uint32_t offset, uint32_t value) = 0;
    // The same device when its writes are exactly those its declared
    // registers make (register_map.h): the bus may then hand a write
    // straight to the register.
    virtual MappedDevice *mapped() { return nullptr; }
    virtual uint32_t peek(uint32_t offset) const = 0;
    virtual void reset() = 0;
    // Register name for traces and messages; nullptr for an unknown offset.
    virtual const char *register_name(uint32_t offset) const = 0;
};

// A peripheral whose clock the PMC switches (its PMC_PCSR bit). The PMC
// pushes every change; until the first, the clock runs.
class ClockInput {
public:
    virtual ~ClockInput() = default;
    virtual void set_clock(bool on) = 0;
};

// The system memory as a bus master (the PDC) sees it: RAM, and flash for reads.
// Returns false for an address where nothing answers.
class Memory {
public:
    virtual ~Memory() = default;
    virtual bool read8(uint32_t address, uint8_t &value) = 0;
    virtual bool write8(uint32_t address, uint8_t value) = 0;
};

}  // namespace board

// What the ARM7TDMI's debug logic needs of the core it debugs: a narrow
// interface, implemented by the machine around the core.
#pragma once

#include <cstdint>

#include "sim/core/arm7tdmi.h"

namespace jtag {

class DebugCore {
public:
    virtual ~DebugCore() = default;
    // At an instruction boundary: the address of the next instruction.
    virtual uint32_t next_pc() const = 0;
    virtual void set_next_pc(uint32_t address) = 0;
    virtual uint32_t cpsr() const = 0;
    // One instruction word as fetched from `address`, at debug speed (data
    // through `debug_bus`) or, with nullptr, at system speed (memory and
    // peripherals, on the system clock). True when it refilled the pipeline
    // (wrote pc, or took an exception); next_pc() then is the new address.
    virtual bool execute(uint32_t encoding, uint32_t address, sim::CoreBus *debug_bus) = 0;
    // Attach the EmbeddedICE's comparators to the core's buses, or detach them.
    virtual void set_watch(sim::DebugWatch *watch) = 0;
};

}  // namespace jtag

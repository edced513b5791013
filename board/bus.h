// The peripheral bus. It decodes addresses to the models, hands them every
// access in order, can record the accesses (tests) and tell observers about
// them (traces), and logs every access that reaches nothing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "board/device.h"
#include "board/log.h"
#include "board/register_map.h"
#include "board/state.h"

namespace board {

struct Access {
    Picos time;
    uint32_t address;
    uint32_t value;
    uint8_t size;   // bytes: 1, 2 or 4
    bool write;
};

class Bus {
public:
    Bus(Clock &clock, Log &log) : clock_(clock), log_(log) { state_.field("fault", fault_); }

    void map(uint32_t base, uint32_t size, Device &device, std::string name);
    // A device that answers in [base, base + size) wherever no block is
    // mapped: the holes of the peripheral space.
    void map_background(uint32_t base, uint32_t size, Device &device);

    // A CPU or host-driver access. Peripheral registers are 32 bits wide: a
    // narrower access is logged and performed on the whole word (a byte read
    // returns the addressed byte lane). An access to nothing is logged, reads
    // as 0 and marks a bus fault that the CPU may turn into an abort.
    uint32_t read(uint32_t address, unsigned size = 4);
    void write(uint32_t address, uint32_t value, unsigned size = 4)
    {
        if (!write_register(address, value, size)) [[unlikely]]
            write_decoded(address, value, size);
    }
    // The write above when it is a word to a declared register with nobody
    // watching the bus: straight to the register, decoded once per address.
    // False, with nothing done, for any other access. Such a write cannot
    // fault.
    bool write_register(uint32_t address, uint32_t value, unsigned size)
    {
        if (size != 4 || watched_) [[unlikely]]
            return false;
        Port &p = ports_[(address >> 2) % kPorts];
        if (p.address != address && !fill(p, address)) [[unlikely]]
            return false;
        p.write(value);
        return true;
    }
    // A register of a model the bus has decoded an aligned address to;
    // `address` is odd while the entry holds none.
    struct Port {
        uint32_t address = 1;
        MappedDevice *device = nullptr;
        const Register *reg = nullptr;
        void write(uint32_t value) const { device->write(*reg, value); }
    };
    // The port a word written at `address` goes straight to (as
    // write_register() takes it), if the bus has it at hand; nullptr
    // otherwise, and write() then finds it.
    const Port *port_at(uint32_t address, unsigned size) const
    {
        const Port &p = ports_[(address >> 2) % kPorts];
        return size == 4 && !watched_ && p.address == address ? &p : nullptr;
    }
    // No side effects, nothing logged or recorded; false where nothing is mapped.
    bool peek(uint32_t address, uint32_t &value) const;

    bool is_mapped(uint32_t address) const { return find(address) != nullptr; }
    // "PIOA.PIO_SODR", or the hexadecimal address when no model knows it.
    std::string describe(uint32_t address) const;

    // True once after an access that reached nothing.
    bool take_fault()
    {
        const bool f = fault_;
        fault_ = false;
        return f;
    }

    void set_recording(bool on)
    {
        recording_ = on;
        set_watched(recording_ || !observers_.empty());
    }
    const std::vector<Access> &recorded() const { return recorded_; }
    void clear_recorded() { recorded_.clear(); }

    using Observer = std::function<void(const Access &)>;
    void add_observer(Observer o)
    {
        observers_.push_back(std::move(o));
        set_watched(true);
    }

    // Told whenever a register the bus decoded an address to before may no
    // longer take a word straight (a block mapped, someone watching the
    // bus): whoever keeps what port_at() gave drops it.
    void set_ports_listener(std::function<void()> l) { ports_listener_ = std::move(l); }

    void set_memory(Memory *memory) { memory_ = memory; }
    Memory *memory() const { return memory_; }

    // Resets every mapped device but `except` (nullptr: all of them).
    void reset_devices(const Device *except = nullptr);

    Clock &clock() { return clock_; }
    Log &log() { return log_; }
    // The fault not yet taken; the map and the observers are wiring.
    State &state() { return state_; }

private:
    struct Region {
        uint32_t base;
        uint32_t size;
        Device *device;
        std::string name;
    };
    const Region *find(uint32_t address) const;
    void write_decoded(uint32_t address, uint32_t value, unsigned size);
    static constexpr unsigned kPorts = 32;
    // False where an address is no declared register of a mapped model.
    bool fill(Port &p, uint32_t address);
    void note(const Access &a)
    {
        if (watched_) [[unlikely]]
            tell(a);
    }
    void tell(const Access &a);
    void set_watched(bool on)
    {
        const bool newly = on && !watched_;
        watched_ = on;
        if (newly)
            ports_changed();
    }
    void ports_changed()
    {
        if (ports_listener_)
            ports_listener_();
    }

    Clock &clock_;
    Log &log_;
    std::vector<Region> regions_;
    std::vector<Region> background_;
    // The block last found: a driver's accesses come in runs to one block.
    // Blocks never overlap, so a hit is the answer (holes are not kept).
    mutable const Region *last_ = nullptr;
    std::array<Port, kPorts> ports_{};
    std::vector<Observer> observers_;
    std::function<void()> ports_listener_;
    std::vector<Access> recorded_;
    Memory *memory_ = nullptr;
    bool recording_ = false;
    bool watched_ = false;   // recording, or observers
    bool fault_ = false;
    State state_{"bus"};
};

}  // namespace board

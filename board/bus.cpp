#include "board/bus.h"

#include <stdexcept>

namespace board {

void Bus::map(uint32_t base, uint32_t size, Device &device, std::string name)
{
    for (const auto &r : regions_)
        if (base < r.base + r.size && r.base < base + size)
            throw std::logic_error("bus: " + name + " overlaps " + r.name);
    regions_.push_back(Region{base, size, &device, std::move(name)});
    last_ = nullptr;
    ports_ = {};
    ports_changed();
}

void Bus::map_background(uint32_t base, uint32_t size, Device &device)
{
    background_.push_back(Region{base, size, &device, ""});
    ports_ = {};
    ports_changed();
}

bool Bus::fill(Port &p, uint32_t address)
{
    const Region *r = address & 3 ? nullptr : find(address);
    MappedDevice *m = r ? r->device->mapped() : nullptr;
    const Register *reg = m ? m->registers().register_at(address - r->base) : nullptr;
    if (!reg)
        return false;
    p = Port{address, m, reg};
    return true;
}

const Bus::Region *Bus::find(uint32_t address) const
{
    if (last_ && address - last_->base < last_->size)
        return last_;
    for (const auto &r : regions_)
        if (address >= r.base && address - r.base < r.size)
            return last_ = &r;
    for (const auto &r : background_)
        if (address >= r.base && address - r.base < r.size)
            return &r;
    return nullptr;
}

void Bus::tell(const Access &a)
{
    if (recording_)
        recorded_.push_back(a);
    for (const auto &o : observers_)
        o(a);
}

uint32_t Bus::read(uint32_t address, unsigned size)
{
    const Region *r = find(address);
    uint32_t value = 0;
    if (!r) {
        fault_ = true;
        log_.warn("bus", "read of " + std::to_string(size * 8) + " bits at " + hex32(address) + ": nothing mapped there");
    } else {
        uint32_t offset = (address - r->base) & ~3u;
        if (size != 4)
            log_.warn("bus", std::to_string(size * 8) + "-bit read of " + describe(address) + ": registers are 32 bits wide");
        uint32_t word = r->device->read(offset);
        unsigned lane = (address & 3u) * 8;
        value = size == 4 ? word : (word >> lane) & (size == 1 ? 0xFFu : 0xFFFFu);
    }
    note(Access{clock_.now(), address, value, static_cast<uint8_t>(size), false});
    return value;
}

void Bus::write_decoded(uint32_t address, uint32_t value, unsigned size)
{
    note(Access{clock_.now(), address, value, static_cast<uint8_t>(size), true});
    const Region *r = find(address);
    if (!r) {
        fault_ = true;
        log_.warn("bus", "write of " + hex32(value) + " at " + hex32(address) + ": nothing mapped there");
        return;
    }
    uint32_t offset = (address - r->base) & ~3u;
    if (size != 4) {
        log_.warn("bus", std::to_string(size * 8) + "-bit write to " + describe(address) + ": registers are 32 bits wide");
        // The ARM7TDMI repeats a byte or halfword on every lane of the data bus.
        value = size == 1 ? (value & 0xFFu) * 0x01010101u : (value & 0xFFFFu) * 0x00010001u;
    }
    r->device->write(offset, value);
}

bool Bus::peek(uint32_t address, uint32_t &value) const
{
    const Region *r = find(address);
    if (!r)
        return false;
    value = r->device->peek((address - r->base) & ~3u);
    return true;
}

std::string Bus::describe(uint32_t address) const
{
    const Region *r = find(address);
    if (!r || r->name.empty())
        return hex32(address);
    const char *name = r->device->register_name((address - r->base) & ~3u);
    if (!name)
        return r->name + "+" + hex32(address - r->base);
    return r->name + "." + name;
}

void Bus::reset_devices(const Device *except)
{
    for (auto &r : regions_)
        if (r.device != except)
            r.device->reset();
}

}  // namespace board

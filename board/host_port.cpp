#include "board/host_port.h"

#include <cstdio>
#include <cstdlib>

namespace board {

static HostPort *g_current = nullptr;

HostPort::HostPort(Bus &bus) : bus_(bus), windows_(kWindows, nullptr)
{
    previous_ = g_current;
    g_current = this;
    bus_.set_memory(this);
}

HostPort::~HostPort()
{
    if (bus_.memory() == this)
        bus_.set_memory(nullptr);
    g_current = previous_;
}

HostPort *HostPort::current() { return g_current; }

uint32_t HostPort::address_of(const void *pointer)
{
    if (!pointer)
        return 0;
    auto p = static_cast<const uint8_t *>(pointer);
    for (unsigned i = 0; i < kWindows; ++i) {
        const uint8_t *base = windows_[i];
        if (base && p >= base && static_cast<size_t>(p - base) < kWindowSize)
            return kWindowBase + i * kWindowSize + static_cast<uint32_t>(p - base);
    }
    unsigned slot = next_window_;
    next_window_ = (next_window_ + 1) % kWindows;
    windows_[slot] = p;
    return kWindowBase + slot * kWindowSize;
}

uint8_t *HostPort::pointer_to(uint32_t address) const
{
    if (address < kWindowBase)
        return nullptr;
    uint32_t slot = (address - kWindowBase) / kWindowSize;
    if (slot >= kWindows || !windows_[slot])
        return nullptr;
    return const_cast<uint8_t *>(windows_[slot]) + (address - kWindowBase) % kWindowSize;
}

bool HostPort::read8(uint32_t address, uint8_t &value)
{
    uint8_t *p = pointer_to(address);
    if (!p)
        return false;
    value = *p;
    return true;
}

bool HostPort::write8(uint32_t address, uint8_t value)
{
    uint8_t *p = pointer_to(address);
    if (!p)
        return false;
    *p = value;
    return true;
}

uint32_t HostPort::read32(uint32_t address)
{
    bus_.clock().advance_cycles(kAccessCycles);
    return bus_.read(address);
}

void HostPort::write32(uint32_t address, uint32_t value)
{
    bus_.clock().advance_cycles(kAccessCycles);
    bus_.write(address, value);
}

void HostPort::nop()
{
    ++nops_;
    bus_.clock().advance_cycles(kNopCycles);
}

static HostPort &port()
{
    if (!g_current) {
        std::fprintf(stderr, "firmware register access with no board attached (create a HostPort first)\n");
        std::abort();
    }
    return *g_current;
}

}  // namespace board

extern "C" uint32_t fw_host_read32(uint32_t address) { return board::port().read32(address); }
extern "C" void fw_host_write32(uint32_t address, uint32_t value) { board::port().write32(address, value); }
extern "C" void fw_host_nop(void) { board::port().nop(); }
extern "C" uint32_t fw_host_address_of(const void *pointer) { return board::port().address_of(pointer); }

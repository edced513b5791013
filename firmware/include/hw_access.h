// The only code in the firmware that touches a peripheral register.
//
// On the target every access is one 32-bit volatile load or store at a fixed
// address, inlined: no call, no barrier, nothing merged or reordered.
// In the host build (FW_HOST) the same calls go to the simulated board's bus,
// which hands them, in order, to the peripheral models. The host side also
// turns firmware pointers into the 32-bit bus addresses that DMA pointer
// registers and interrupt vectors hold, and lets a delay loop's no-operation
// cost virtual time.
#ifndef HW_ACCESS_H
#define HW_ACCESS_H

#include <stdint.h>

#if defined(FW_HOST)

extern "C" uint32_t fw_host_read32(uint32_t address);
extern "C" void fw_host_write32(uint32_t address, uint32_t value);
extern "C" void fw_host_nop(void);
extern "C" uint32_t fw_host_address_of(const void *pointer);

static inline uint32_t hw_read(const void *block, uint32_t offset)
{
    return fw_host_read32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)) + offset);
}

static inline void hw_write(const void *block, uint32_t offset, uint32_t value)
{
    fw_host_write32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block)) + offset, value);
}

static inline void hw_nop(void) { fw_host_nop(); }

static inline uint32_t hw_address_of(const void *pointer) { return fw_host_address_of(pointer); }

#else

static inline uint32_t hw_read(const void *block, uint32_t offset)
{
    return *reinterpret_cast<volatile uint32_t *>(reinterpret_cast<uintptr_t>(block) + offset);
}

static inline void hw_write(const void *block, uint32_t offset, uint32_t value)
{
    *reinterpret_cast<volatile uint32_t *>(reinterpret_cast<uintptr_t>(block) + offset) = value;
}

static inline void hw_nop(void) { __asm__ volatile("nop"); }

static inline uint32_t hw_address_of(const void *pointer)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

#endif

// Function addresses (interrupt vectors) keep bit 0 as the compiler set it:
// 1 for Thumb code, 0 for ARM code.
template <typename R, typename... A>
static inline uint32_t hw_address_of(R (*function)(A...))
{
    return hw_address_of(reinterpret_cast<const void *>(function));
}

#endif

// The chip's boot program as the TST procedure leaves it in the flash: its
// bring-up code (boot_program.s) in the first two lock regions, which the
// procedure then locks. The simulator knows where the core waits while the
// monitor model serves the line.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace samba {

constexpr uint32_t kFlashBase = 0x00100000;
constexpr uint32_t kLockRegionBytes = 16 * 1024;
constexpr unsigned kBootRegions = 2;            // lock regions 0 and 1
constexpr uint32_t kBootBytes = kBootRegions * kLockRegionBytes;
// The loop the bring-up ends in, copied with the boot program's exception
// vectors to the bottom of RAM, which it then remaps to address 0 (the host
// rewrites the flash under the monitor): the core waits here while the
// monitor serves the line, and code run by the go command returns here
// through LR.
constexpr uint32_t kMonitorLoop = 0x00200020;
constexpr uint32_t kMonitorLoopCode = 0xEAFFFFFE;   // b .
// The monitor's stack top; the host's programs go above it.
constexpr uint32_t kMonitorStack = 0x00202000;

// The assembled bring-up code, linked at kFlashBase.
extern const std::span<const uint8_t> kBootProgramCode;

// The first two lock regions as the TST procedure writes them: the boot
// program, the rest of them erased.
std::vector<uint8_t> boot_regions();

}  // namespace samba

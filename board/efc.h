// Embedded flash controller, after the chip's documentation. Its registers
// sit in the memory controller's block (MC_FMR, MC_FCR, MC_FSR at +0x60,
// +0x64, +0x68); the memory controller hands it those offsets.
//
// - The page latch buffer (one page, 256 bytes) is filled by 32-bit stores
//   anywhere in the flash range: each store's word goes to its offset within
//   a page, whatever the page. It reads back erased (all ones) after reset
//   and after every programming command.
// - MC_FCR: KEY 0x5A (bits 24..31), PAGEN (bits 8..17), FCMD (bits 0..3):
//   WP 0x1 write page, SLB 0x2 set lock bit, WPL 0x3 write page and lock,
//   CLB 0x4 clear lock bit, EA 0x8 erase all, SGPB 0xB / CGPB 0xD set / clear
//   the GPNVM bit numbered by PAGEN (0 or 1 on this chip), SSB 0xF set the
//   security bit. A wrong key or an unknown command sets PROGE and does
//   nothing. The lock bit commands act on the region of page PAGEN
//   (16 regions of 64 pages, 16 KiB).
// - WP/WPL into a locked region and EA while any region is locked are
//   refused: LOCKE sets and the flash is unchanged.
// - Write page erases the page first and then programs the latch into it;
//   with MC_FMR.NEBP it only programs (bits can go from 1 to 0, never back).
// - MC_FSR: FRDY (bit 0) is 0 while a command runs, LOCKE (2), PROGE (3),
//   SECURITY (4), GPNVM0..1 (8, 9), LOCKS0..15 (16..31). Reading FSR clears
//   LOCKE and PROGE.
// - MC_FMR: FRDY, LOCKE and PROGE interrupt enables (bits 0, 2, 3), NEBP (7),
//   FWS (8..9), FMCN (16..23). The interrupt (part of the system interrupt)
//   is each status bit with its enable; FRDY is a level, so its interrupt
//   stays asserted while the flash is ready and the enable is set.
//
// Timing. The controller times its commands in master-clock cycles through
// FMCN, which the firmware sets to the cycles in 1.5 us (page writes and
// erase) or in 1 us (the non-volatile bits). The flash's figures from the
// chip's electrical characteristics are 6 ms to write a page with its erase,
// 3 ms without, 15 ms to erase the whole array; so a command lasts
// 4000 / 2000 / 10000 units of FMCN cycles, and a lock, GPNVM or security
// bit (for which no figure is given; taken as a write without erase)
// 3000 units. A wrong FMCN therefore gives a wrong programming time, as on
// the chip; an FMCN below what the master clock needs is logged, since the
// flash is then programmed too briefly to be reliable.
//
// Choices where the documentation is silent:
// - The flash changes when the command ends. While it runs, the array cannot
//   be read (ChipFlash::busy): the simulator's memory controller refuses a
//   core's fetch (prefetch abort, as boards show it) and its load (a data
//   abort: the same refusal on the bus) and reports each as a rule.
// - A command written while one runs, and latch stores while one runs, are
//   ignored and logged. 8- and 16-bit stores into the flash range, which the
//   documentation says give unpredictable results, are logged and dropped.
// - A refused command leaves the latch as it was.
// - A reset of the controller while a command runs abandons it: the flash
//   keeps what it held before (logged).
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "board/chip_flash.h"
#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/register_map.h"
#include "board/state.h"

namespace board {

class Efc : public InterruptSource {
public:
    static constexpr uint32_t kFirst = 0x60;   // MC_FMR
    static constexpr uint64_t kPageWriteUnits = 4000;       // 6 ms in 1.5 us units
    static constexpr uint64_t kPageWriteNoEraseUnits = 2000;   // 3 ms
    static constexpr uint64_t kEraseAllUnits = 10000;       // 15 ms
    static constexpr uint64_t kBitUnits = 3000;             // 3 ms in 1 us units

    Efc(Clock &clock, Log &log, ChipFlash &flash);
    ~Efc();
    Efc(const Efc &) = delete;
    Efc &operator=(const Efc &) = delete;

    // Adds MC_FMR, MC_FCR and MC_FSR (at kFirst) to the memory controller's
    // map; fmr_written runs after every write of MC_FMR.
    void declare(RegisterMap &map, std::function<void()> fmr_written);
    // The controller's state beyond its registers (the map resets those).
    void reset();

    // A store by the processor into the flash range (address absolute).
    void latch_store(uint32_t address, uint32_t value, unsigned size);


    uint32_t fmr() const { return fmr_; }
    bool ready() const { return !busy_; }
    const std::array<uint8_t, ChipFlash::kPageSize> &latch() const { return latch_; }
    State &state() { return state_; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t { FMR = 0x60, FCR = 0x64, FSR = 0x68 };
    enum : uint32_t { FRDY = 1u << 0, LOCKE = 1u << 2, PROGE = 1u << 3, SECURITY = 1u << 4, NEBP = 1u << 7 };
    enum : uint32_t { WP = 0x1, SLB = 0x2, WPL = 0x3, CLB = 0x4, EA = 0x8, SGPB = 0xB, CGPB = 0xD, SSB = 0xF };
    static constexpr uint32_t kFmrMask = 0x00FF038D;

    uint32_t status() const;
    // A command under way: it acts on the flash when it ends.
    struct Command {
        uint32_t cmd = 0;
        uint32_t page = 0;
        bool erase = false;
    };
    void command(uint32_t fcr);
    void run(Command c, uint64_t units, bool microsecond_units, const char *what);
    void command_end();
    void refuse_locked(const char *what, uint32_t page);
    void update_irq();

    Clock &clock_;
    Log &log_;
    ChipFlash &flash_;
    uint32_t fmr_ = 0;
    bool locke_ = false, proge_ = false, busy_ = false;
    std::array<uint8_t, ChipFlash::kPageSize> latch_{};
    Command running_;
    std::array<uint8_t, ChipFlash::kPageSize> running_data_{};   // a page write's latch
    Clock::EventId event_ = 0;
    State state_{"EFC"};
};

}  // namespace board

// Power Management Controller with its clock generator, after the chip's
// documentation.
//
// - SCER/SCDR/SCSR: system clocks (PCK, UDP, PCK0..2) kept as state; SCSR
//   resets to 1 (processor clock on). PCER/PCDR/PCSR: peripheral clocks by
//   identifier, all off at reset; identifiers 0 and 1 (FIQ, system
//   controller) have no clock to switch and are ignored.
// - CKGR_MOR: MOSCEN starts the main oscillator; SR.MOSCS sets OSCOUNT x 8
//   slow-clock cycles later and clears when the oscillator is disabled.
//   CKGR_MCFR: MAINF, the main-clock cycles counted in 16 slow-clock periods,
//   is valid (MAINRDY) 16 slow-clock cycles after MOSCS.
// - CKGR_PLLR: output = main clock x (MUL + 1) / DIV, off when MUL or DIV is
//   0. A write clears SR.LOCK, which sets PLLCOUNT slow-clock cycles after
//   the PLL has its input (at once if the oscillator is already stable,
//   otherwise counted from MOSCS). Reset value 0x3F00.
// - PMC_MCKR: CSS (0 slow clock, 1 main clock, 3 PLL; 2 is reserved and
//   taken as slow) and PRES (divide by 1, 2, 4 ... 64; 7 is reserved and
//   taken as 64). A write clears SR.MCKRDY. The master clock the rest of the
//   board runs on changes only when MCKRDY sets again, and then the virtual
//   clock's period is set to it.
// - IER/IDR/IMR: the PMC's interrupt (part of the system interrupt) is
//   SR & IMR, a level that follows the status bits as they change.
//
// Operating limits checked (reported to the log's rules; the model carries
// on): PLL input (main clock / DIV) 1..32 MHz and output 80..160 MHz with
// OUT = 0, 150..180 MHz with OUT = 2, both when PLLR is written with a PLL
// that runs and when the crystal changes; the master clock at most 55 MHz,
// whenever it changes. OUT = 1 and 3 are reserved and logged.
//
// Choices where the documentation is silent:
// - MCKRDY sets 2 cycles of the slower of the old and the new master clock
//   (after the prescaler) after the MCKR write that cleared it: 122 us when
//   the slow clock is halved.
// - Selecting a source that does not run (oscillator off or not yet stable,
//   PLL off or not locked) is logged; the master clock stays on the old
//   source and MCKRDY stays 0 until the new source runs, then the switch
//   completes after the delay above. Stopping or reprogramming the source the
//   master clock runs from is logged; the board keeps its last master clock
//   (the model cannot stop the processor), and a relocked PLL gives the new
//   frequency.
// - OSCBYPASS takes the crystal frequency as an external clock that is
//   stable at once.
// - A change of the crystal frequency applies at once to a master clock
//   running from the main oscillator or the PLL.
// - The master-clock period handed to the virtual clock is rounded to the
//   nearest femtosecond; master_hz() is the exact ratio.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/register_map.h"

namespace board {

class Pmc : public MappedDevice, public InterruptSource {
public:
    static constexpr uint32_t kDefaultCrystalHz = 18432000;
    static constexpr unsigned kMckrdySlowerCycles = 2;

    Pmc(Clock &clock, Log &log, uint32_t crystal_hz = kDefaultCrystalHz);
    ~Pmc() override;
    Pmc(const Pmc &) = delete;
    Pmc &operator=(const Pmc &) = delete;

    void reset() override;

    bool peripheral_clock(unsigned id) const { return id < 32 && ((pcsr_ >> id) & 1u); }
    double master_hz() const;
    uint32_t crystal_hz() const { return crystal_hz_; }
    void set_crystal_hz(uint32_t hz);

    // Told the new master-clock frequency whenever the board's clock changes.
    void add_master_listener(std::function<void(double hz)> listener) { master_listeners_.push_back(std::move(listener)); }
    // Told PMC_PCSR's new value whenever it changes.
    void add_peripheral_clock_listener(std::function<void(uint32_t pcsr)> listener)
    {
        peripheral_clock_listeners_.push_back(std::move(listener));
    }

    // State, for views and tests.
    uint32_t sr() const { return sr_; }
    double pll_hz() const;

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t {
        SCER = 0x00, SCDR = 0x04, SCSR = 0x08,
        PCER = 0x10, PCDR = 0x14, PCSR = 0x18,
        MOR = 0x20, MCFR = 0x24, PLLR = 0x2C, MCKR = 0x30,
        PCK0 = 0x40, PCK1 = 0x44, PCK2 = 0x48,
        IER = 0x60, IDR = 0x64, SR = 0x68, IMR = 0x6C,
    };
    enum : uint32_t { MOSCS = 0x1, LOCK = 0x4, MCKRDY = 0x8 };
    enum : uint32_t { MOSCEN = 0x1, OSCBYPASS = 0x2 };
    static constexpr uint32_t kScMask = 0x781;        // PCK, UDP, PCK0..2
    static constexpr uint32_t kMorMask = 0xFF03;      // MOSCEN, OSCBYPASS, OSCOUNT
    static constexpr uint32_t kPllrMask = 0x37FFFFFF; // DIV, PLLCOUNT, OUT, MUL, USBDIV
    static constexpr uint32_t kMckrMask = 0x1F;       // CSS, PRES
    static constexpr uint32_t kPckMask = 0x1F;
    static constexpr uint32_t kSrMask = 0x70D;        // MOSCS, LOCK, MCKRDY, PCKRDY0..2
    static constexpr uint32_t kMainrdy = 1u << 16;
    static constexpr unsigned kMainfSlowCycles = 16;

    void update_irq() { irq_.set((regs_.peek(0x68) & imr_) != 0); }   // PMC_SR & PMC_IMR
    // A clock frequency as an exact fraction of hertz.
    struct Rate {
        uint64_t num = 0;
        uint64_t den = 1;
        bool running() const { return num != 0; }
        double hz() const { return static_cast<double>(num) / static_cast<double>(den); }
    };

    Rate source_rate(uint32_t css) const;
    Rate master_rate(uint32_t mckr) const;
    bool oscillator_stable() const;
    bool pll_configured() const;
    void set_oscillator(uint32_t mor);
    void start_pll_count();
    // The events' ends.
    void oscillator_started();
    void main_clock_measured();
    void pll_locked();
    void master_clock_ready();
    void on_oscillator_stable();
    void on_pll_lock();
    void request_master(uint32_t mckr);
    void try_master_switch();
    void apply_master();
    void source_lost(uint32_t css_mask, const char *what);
    void cancel(Clock::EventId &id);
    void check_pll_limits();
    void set_pcsr(uint32_t pcsr);
    void write_pllr(uint32_t v);
    uint32_t mcfr() const;

    Clock &clock_;
    Log &log_;
    uint32_t crystal_hz_;

    uint32_t scsr_ = 0, pcsr_ = 0, mor_ = 0, pllr_ = 0, mckr_ = 0, sr_ = 0, imr_ = 0;
    uint32_t pck_[3];
    bool mainrdy_ = false;
    bool pll_waiting_for_osc_ = false;
    // MCKR as it drives the master clock now; mckr_ is what was last written.
    uint32_t active_mckr_ = 0;
    Rate applied_;                  // the master clock the board runs on
    bool switch_waiting_ = false;   // MCKR written, its source not running yet
    Clock::EventId osc_event_ = 0, mainf_event_ = 0, lock_event_ = 0, mck_event_ = 0;
    std::vector<std::function<void(double)>> master_listeners_;
    std::vector<std::function<void(uint32_t)>> peripheral_clock_listeners_;
};

}  // namespace board

// PIO controller (one port of 32 lines), after the chip's documentation.
//
// - PER/PDR/PSR choose PIO or peripheral control; ASR/BSR/ABSR pick function
//   A or B for peripheral-controlled lines, whose level then comes from that
//   peripheral (set_peripheral_output), not from ODSR.
// - OER/ODR/OSR enable the output driver; SODR/CODR set and clear ODSR bits on
//   any line; a direct ODSR write changes only the lines enabled in OWSR
//   (OWER/OWDR; OWSR resets to 0). MDER/MDDR/MDSR make a line open-drain.
// - PPUER/PPUDR/PPUSR: PPUSR bit 0 means pull-up enabled; all enabled at reset.
// - PDSR reads the level of every line in any configuration, while the PIO
//   peripheral clock is on; with the clock off it holds the last sample.
// - ISR latches a change of any line (input-change detection works whatever
//   the line's configuration) while the clock is on, and reading ISR clears it.
//   The interrupt output is high while ISR & IMR is non-zero.
// - Input-change detection samples the lines once per master-clock cycle: a
//   change is latched when the level one cycle after it still differs from
//   the level before it. A pulse shorter than a cycle is therefore never
//   seen (a release and a press at the same instant latch nothing) and one
//   of a cycle or longer always is. PDSR shows the lines as they are.
//   The sample is taken when something could see it (ISR, the interrupt
//   output, the next change, the clock): an output toggled a million times
//   a second costs no event on the board's clock unless its line is
//   enabled in IMR.
// - IFER/IFDR/IFSR are kept as state. The documented filter rejects pulses
//   shorter than half a cycle and passes those of a cycle or more; the
//   sampling above already does both, so the filter changes nothing more here.
// - Reset: every line under PIO control as an input, pull-ups on, ODSR 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/pins.h"
#include "board/register_map.h"

namespace board {

class Pio : public MappedDevice, public InterruptSource, public ClockInput, private LineController {
public:
    enum Function { A = 0, B = 1 };

    Pio(Pins &pins, Clock &clock, Log &log, std::string name);
    ~Pio() override;
    Pio(const Pio &) = delete;
    Pio &operator=(const Pio &) = delete;

    void reset() override;

    // The level a peripheral puts out on lines routed to it by function f.
    void set_peripheral_output(Function f, uint32_t mask, uint32_t driven, uint32_t levels);

    // Whether the controller's clock runs (its PMC_PCSR bit; on until told
    // otherwise). A sample still owed is taken with the clock as it was.
    void set_clock(bool on) override;

    // State, for views and tests.
    uint32_t psr() const { return psr_; }
    uint32_t osr() const { return osr_; }
    uint32_t odsr() const { return odsr_; }
    uint32_t owsr() const { return owsr_; }
    uint32_t pull_up_enabled() const { return ~ppusr_; }
    uint32_t imr() const { return imr_; }
    uint32_t isr() const { return isr_ | owed_sample(); }
    uint32_t absr() const { return absr_; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t {
        PER = 0x00, PDR = 0x04, PSR = 0x08,
        OER = 0x10, ODR = 0x14, OSR = 0x18,
        IFER = 0x20, IFDR = 0x24, IFSR = 0x28,
        SODR = 0x30, CODR = 0x34, ODSR = 0x38, PDSR = 0x3C,
        IER = 0x40, IDR = 0x44, IMR = 0x48, ISR = 0x4C,
        MDER = 0x50, MDDR = 0x54, MDSR = 0x58,
        PPUDR = 0x60, PPUER = 0x64, PPUSR = 0x68,
        ASR = 0x70, BSR = 0x74, ABSR = 0x78,
        OWER = 0xA0, OWDR = 0xA4, OWSR = 0xA8,
    };

    // SODR, CODR and ODSR, the registers a driver writes most.
    void set_outputs(uint32_t bits);
    void clear_outputs(uint32_t bits);
    void write_outputs(uint32_t levels);
    // ODSR becomes `odsr`.
    void output(uint32_t odsr);
    void update_drive();
    void update_irq();
    // Input-change detection: the port tells of every change of its lines.
    void lines_changed(uint32_t changed, uint32_t levels) override;
    [[gnu::noinline]] void lines_changed_otherwise(uint32_t changed, uint32_t levels);
    void sample();
    // The bits the sample still owed would latch, once its time has come.
    uint32_t owed_sample() const;
    // Takes the owed sample if its time has come; if not, and `to_event`,
    // turns it into an event on the clock (its result may now matter).
    void settle(bool to_event);
    void schedule_sample(Picos when);
    void on_sample_event();
    bool clock_on() const { return clock_on_; }

    Pins &pins_;
    Clock &clock_;
    std::string name_;
    Pins::SourceId source_;
    bool clock_on_ = true;

    uint32_t psr_, osr_, ifsr_, odsr_, imr_, isr_, mdsr_, ppusr_, absr_, owsr_;
    uint32_t pdsr_sample_;
    uint32_t periph_driven_[2] = {0, 0};
    uint32_t periph_levels_[2] = {0, 0};
    // Levels before the first change still waiting for its sample.
    uint32_t before_sample_ = 0;
    Clock::EventId sample_event_ = 0;
    // A sample owed without an event: due at sample_due_, and until then no
    // line enabled in IMR has changed.
    bool sample_owed_ = false;
    Picos sample_due_ = 0;
    State sampler_{"input sample"};
};

}  // namespace board

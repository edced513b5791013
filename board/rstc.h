// Reset controller, after the chip's documentation.
//
// - RSTC_CR (write only, KEY 0xA5 in bits 24..31): PROCRST (bit 0) resets
//   the processor and the watchdog, PERRST (bit 2) every embedded peripheral
//   including the memory controller's remap, EXTRST (bit 3) drives NRST low
//   for 2^(ERSTL+1) slow-clock cycles. Any combination may be written at once.
//   The software reset lasts 3 slow-clock cycles (or as long as NRST is
//   driven); SRCMP reads 1 meanwhile and a CR write then has no effect. Only
//   a reset with PROCRST is reported in RSTTYP (3, software reset).
// - RSTC_SR (read only): URSTS (bit 0, a falling edge on NRST since the last
//   read, cleared by reading SR), RSTTYP (bits 8..10: 0 power-up, 2 watchdog,
//   3 software, 4 user), NRSTL (bit 16, the NRST level), SRCMP (bit 17).
// - RSTC_MR (KEY 0xA5): URSTEN (bit 0), URSTIEN (bit 4), ERSTL (bits 8..11).
//   Reset value 0; a write without the key is ignored. The key reads 0.
// - The controller's interrupt (part of the system interrupt) is URSTS with
//   URSTIEN.
// - A watchdog underflow with reset enabled resets the processor (WDRPROC =
//   1) or the processor and the peripherals with NRST (WDRPROC = 0), and is
//   reported as RSTTYP 2.
//
// The resets themselves are performed by the owner of the board (the
// processor is not in here): the controller hands it a ResetOrder at the
// moment the internal reset signals are asserted. The controller keeps its
// own state through every reset but power-on.
//
// Choices where the documentation is silent: no device on the simulated
// board has a reset input, so NRST driven low is seen only in NRSTL; and
// nothing drives NRST from outside (no reset button), so URSTS stays 0 and
// RSTTYP never reads 4 unless user_reset() is called.
#pragma once

#include <cstdint>
#include <functional>

#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/register_map.h"

namespace board {

struct ResetOrder {
    bool processor = false;
    bool peripherals = false;
    bool external = false;
    // How long the processor is held in reset from the order on.
    Picos hold = 0;
};

class Rstc : public MappedDevice, public InterruptSource {
public:
    static constexpr unsigned kSoftwareResetSlowCycles = 3;
    enum Type : uint32_t { PowerUp = 0, Watchdog = 2, Software = 3, User = 4 };

    Rstc(Clock &clock, Log &log);
    ~Rstc() override;
    Rstc(const Rstc &) = delete;
    Rstc &operator=(const Rstc &) = delete;

    void reset() override;   // power-on

    // Called with every reset the controller orders. It may run inside a bus
    // access or a clock event: the owner should perform it afterwards.
    void set_reset_request(std::function<void(const ResetOrder &)> r) { request_ = std::move(r); }

    // The watchdog's reset; processor_only reflects WDRPROC.
    void watchdog_reset(bool processor_only);
    // A low pulse on NRST from outside (a reset button): a user reset when
    // URSTEN is set, otherwise URSTS (and the interrupt with URSTIEN).
    void user_reset();
    // NRST driven from outside (a debugger's nSRST): its falling edge is
    // user_reset(); with URSTEN the processor stays in reset while it is low.
    void drive_nrst(bool low);
    bool processor_held() const { return nrst_driven_ && (mr_ & 1u); }

    uint32_t type() const { return (sr_ >> 8) & 7; }
    bool nrst_low() const { return nrst_low_; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t { CR = 0x00, SR = 0x04, MR = 0x08 };
    enum : uint32_t { PROCRST = 1u << 0, PERRST = 1u << 2, EXTRST = 1u << 3 };
    enum : uint32_t { URSTS = 1u << 0, NRSTL = 1u << 16, SRCMP = 1u << 17 };
    enum : uint32_t { URSTEN = 1u << 0, URSTIEN = 1u << 4 };
    static constexpr uint32_t kMrMask = 0x00000F11;

    Picos external_length() const;
    // busy: how long SRCMP reads 1 (0 for a reset that is no software command).
    void order(const ResetOrder &o, Picos busy);
    void update_irq();
    void software_reset_end();
    void nrst_release();
    uint32_t status() const;
    void command(uint32_t cr);

    Clock &clock_;
    Log &log_;
    std::function<void(const ResetOrder &)> request_;
    uint32_t sr_ = 0, mr_ = 0;
    bool srcmp_ = false, nrst_low_ = false, nrst_driven_ = false;
    Clock::EventId end_event_ = 0, nrst_event_ = 0;
};

}  // namespace board

#include "board/mc.h"

#include "board/bad_access.h"

namespace board {

namespace {
enum : uint32_t { RCR = 0x00, ASR = 0x04, AASR = 0x08, FMR = 0x60 };
const Rule kSingleCycle{"MC", "master clock with flash reads single-cycle (FWS = 0)", Rule::AtMost, 30, "MHz",
                        "AT91SAM7S embedded flash: 0 wait states up to 30 MHz"};
}  // namespace

void Mc::set_master_hz(double hz)
{
    master_hz_ = hz;
    check_wait_states();
}

void Mc::check_wait_states()
{
    if (flash_wait_states() == 0)
        log_.rules.check(kSingleCycle, master_hz_ / 1e6);
}

Mc::Mc(Clock &clock, Log &log, ChipFlash &flash) : log_(log), efc_(clock, log, flash)
{
    reset();
}

void Mc::reset()
{
    efc_.reset();
    remapped_ = false;
}

const char *Mc::register_name(uint32_t offset) const
{
    switch (offset) {
    case RCR: return "MC_RCR";
    case ASR: return "MC_ASR";
    case AASR: return "MC_AASR";
    default: return Efc::register_name(offset);
    }
}

uint32_t Mc::peek(uint32_t offset) const
{
    return Efc::owns(offset) ? efc_.peek(offset) : 0;
}

uint32_t Mc::read(uint32_t offset)
{
    if (Efc::owns(offset))
        return efc_.read(offset);
    switch (offset) {
    case ASR: case AASR:
        return 0;
    default:
        log_bad_read(log_, "MC", *this, offset);
        return 0;
    }
}

void Mc::write(uint32_t offset, uint32_t v)
{
    if (Efc::owns(offset)) {
        efc_.write(offset, v);
        if (offset == FMR)
            check_wait_states();
        return;
    }
    switch (offset) {
    case RCR:
        if (v & 1) {
            remapped_ = !remapped_;
            log_.warn("MC", remapped_ ? "remap: RAM now at address 0" : "remap cancelled: flash at address 0 again");
        }
        return;
    default:
        log_bad_write(log_, "MC", *this, offset, v);
        return;
    }
}

}  // namespace board

#include "board/mc.h"

#include "board/bad_access.h"

#include <string>

namespace board {

namespace {
enum : uint32_t { RCR = 0x00, ASR = 0x04, AASR = 0x08, FMR = 0x60, FCR = 0x64, FSR = 0x68 };
enum : uint32_t { FRDY = 0x1, LOCKE = 0x4, PROGE = 0x8 };
constexpr uint32_t kFmrMask = 0x00FF038D;   // FRDY, LOCKE, PROGE, NEBP, FWS, FMCN
constexpr uint32_t kFcrKey = 0x5A000000;
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

Mc::Mc(Log &log) : log_(log)
{
    reset();
}

void Mc::reset()
{
    fmr_ = 0;
    fsr_ = FRDY;
    remapped_ = false;
}

const char *Mc::register_name(uint32_t offset) const
{
    switch (offset) {
    case RCR: return "MC_RCR";
    case ASR: return "MC_ASR";
    case AASR: return "MC_AASR";
    case FMR: return "MC_FMR";
    case FCR: return "MC_FCR";
    case FSR: return "MC_FSR";
    default: return nullptr;
    }
}

uint32_t Mc::peek(uint32_t offset) const
{
    switch (offset) {
    case FMR: return fmr_;
    case FSR: return fsr_;
    default: return 0;
    }
}

uint32_t Mc::read(uint32_t offset)
{
    switch (offset) {
    case ASR: case AASR: case FMR:
        return peek(offset);
    case FSR: {
        uint32_t v = fsr_;
        fsr_ &= ~(LOCKE | PROGE);
        return v;
    }
    default:
        log_bad_read(log_, "MC", *this, offset);
        return 0;
    }
}

void Mc::write(uint32_t offset, uint32_t v)
{
    switch (offset) {
    case RCR:
        if (v & 1) {
            remapped_ = !remapped_;
            log_.warn("MC", remapped_ ? "remap: RAM now at address 0" : "remap cancelled: flash at address 0 again");
        }
        return;
    case FMR:
        fmr_ = v & kFmrMask;
        check_wait_states();
        return;
    case FCR:
        if ((v & 0xFF000000) != kFcrKey) {
            fsr_ |= PROGE;
            log_.warn("MC", "MC_FCR write of " + hex32(v) + " without key 0x5A: command not performed");
            return;
        }
        log_.warn("MC", "flash command " + std::to_string(v & 0xF) + " on page " + std::to_string((v >> 8) & 0x3FF) +
                            " not modelled: the flash is left as it is");
        return;
    default:
        log_bad_write(log_, "MC", *this, offset, v);
        return;
    }
}

}  // namespace board

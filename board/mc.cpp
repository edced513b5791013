#include "board/mc.h"

namespace board {

namespace {
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

Mc::Mc(Clock &clock, Log &log, ChipFlash &flash) : MappedDevice(log, "MC"), log_(log), efc_(clock, log, flash)
{
    regs_.add(RCR, "MC_RCR", AccessKind::WriteOnly).on_write([this](uint32_t v) {
        if (v & 1) {
            remapped_ = !remapped_;
            log_.warn("MC", remapped_ ? "remap: RAM now at address 0" : "remap cancelled: flash at address 0 again");
            map_changed();
        }
    });
    regs_.add(ASR, "MC_ASR", AccessKind::ReadOnly).field(asr_).on_read([this] {
        uint32_t v = asr_;
        asr_ &= ~(kMstMask << (SVMST_SHIFT - MST_SHIFT));
        asr_read_ = true;
        return v;
    });
    regs_.add(AASR, "MC_AASR", AccessKind::ReadOnly).field(aasr_);
    efc_.declare(regs_, [this] {
        check_wait_states();
        map_changed();
    });
    efc_.set_irq_output([this](bool level) { irq_.set(level); });
    // The flash controller's reset comes after the registers (its interrupt
    // follows MC_FMR) and logs a command it abandons.
    state_.registers(regs_)
        .field("ASR read", asr_read_, true)
        .field("remapped", remapped_)
        .part(efc_.state(), [this] { efc_.reset(); })
        .kept("master clock", master_hz_)
        .kept("irq", irq_.saved_level());
    reset();
}

void Mc::reset()
{
    state_.reset();
    map_changed();
}

void Mc::record_abort(unsigned master, uint32_t address, unsigned size, AbortType type, bool undefined, bool misaligned)
{
    uint32_t saved = asr_ & (kMstMask << (SVMST_SHIFT - MST_SHIFT));
    if (!asr_read_)
        saved |= (asr_ & kMstMask) << (SVMST_SHIFT - MST_SHIFT);
    uint32_t size_code = size == 1 ? 0 : size == 2 ? 1 : 2;
    asr_ = (undefined ? uint32_t{UNDADD} : 0u) | (misaligned ? uint32_t{MISADD} : 0u) | size_code << 8 |
           static_cast<uint32_t>(type) << 10 | 1u << (MST_SHIFT + master) | saved;
    aasr_ = address;
    asr_read_ = false;
}

}  // namespace board

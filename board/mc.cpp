#include "board/mc.h"

#include "board/bad_access.h"

#include <string>

namespace board {

namespace {
enum : uint32_t { RCR = 0x00, ASR = 0x04, AASR = 0x08, FMR = 0x60, FCR = 0x64, FSR = 0x68 };
enum : uint32_t { FRDY = 0x1, LOCKE = 0x4, PROGE = 0x8 };
constexpr uint32_t kFmrMask = 0x00FF038D;   // FRDY, LOCKE, PROGE, NEBP, FWS, FMCN
constexpr uint32_t kFcrKey = 0x5A000000;
enum : uint32_t { UNDADD = 1u << 0, MISADD = 1u << 1, MST_SHIFT = 16, SVMST_SHIFT = 24 };
constexpr uint32_t kMstMask = 3u << MST_SHIFT;
}  // namespace

Mc::Mc(Log &log) : log_(log)
{
    reset();
}

void Mc::reset()
{
    fmr_ = 0;
    fsr_ = FRDY;
    asr_ = aasr_ = 0;
    asr_read_ = true;
    remapped_ = false;
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
    case ASR: return asr_;
    case AASR: return aasr_;
    case FMR: return fmr_;
    case FSR: return fsr_;
    default: return 0;
    }
}

uint32_t Mc::read(uint32_t offset)
{
    switch (offset) {
    case ASR: {
        uint32_t v = asr_;
        asr_ &= ~(kMstMask << (SVMST_SHIFT - MST_SHIFT));
        asr_read_ = true;
        return v;
    }
    case AASR: case FMR:
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

#include "sim/jtag/tap.h"

namespace jtag {

const char *tap_state_name(TapState s)
{
    static const char *const names[] = {"Test-Logic-Reset", "Run-Test/Idle", "Select-DR-Scan", "Capture-DR",
                                        "Shift-DR",         "Exit1-DR",      "Pause-DR",       "Exit2-DR",
                                        "Update-DR",        "Select-IR-Scan", "Capture-IR",    "Shift-IR",
                                        "Exit1-IR",         "Pause-IR",      "Exit2-IR",       "Update-IR"};
    return names[static_cast<int>(s)];
}

TapState next_tap_state(TapState s, bool tms)
{
    using S = TapState;
    switch (s) {
    case S::TestLogicReset: return tms ? S::TestLogicReset : S::RunTestIdle;
    case S::RunTestIdle: return tms ? S::SelectDr : S::RunTestIdle;
    case S::SelectDr: return tms ? S::SelectIr : S::CaptureDr;
    case S::CaptureDr: return tms ? S::Exit1Dr : S::ShiftDr;
    case S::ShiftDr: return tms ? S::Exit1Dr : S::ShiftDr;
    case S::Exit1Dr: return tms ? S::UpdateDr : S::PauseDr;
    case S::PauseDr: return tms ? S::Exit2Dr : S::PauseDr;
    case S::Exit2Dr: return tms ? S::UpdateDr : S::ShiftDr;
    case S::UpdateDr: return tms ? S::SelectDr : S::RunTestIdle;
    case S::SelectIr: return tms ? S::TestLogicReset : S::CaptureIr;
    case S::CaptureIr: return tms ? S::Exit1Ir : S::ShiftIr;
    case S::ShiftIr: return tms ? S::Exit1Ir : S::ShiftIr;
    case S::Exit1Ir: return tms ? S::UpdateIr : S::PauseIr;
    case S::PauseIr: return tms ? S::Exit2Ir : S::PauseIr;
    case S::Exit2Ir: return tms ? S::UpdateIr : S::ShiftIr;
    case S::UpdateIr: return tms ? S::SelectDr : S::RunTestIdle;
    }
    return S::TestLogicReset;
}

namespace {
void shift(ShiftRegister &r, bool tdi)
{
    r.bits >>= 1;
    if (tdi) r.bits |= uint64_t{1} << (r.length - 1);
}
}  // namespace

void TapController::set_pins(bool tck, bool tms, bool tdi)
{
    if (trst_) {
        tck_ = tck;
        return;
    }
    if (tck && !tck_)
        rising(tms, tdi);
    else if (!tck && tck_)
        falling();
    tck_ = tck;
}

void TapController::set_trst(bool asserted)
{
    if (asserted && !trst_) {
        state_ = TapState::TestLogicReset;
        tdo_ = false;
        client_.tap_reset();
    }
    trst_ = asserted;
}

void TapController::rising(bool tms, bool tdi)
{
    switch (state_) {
    case TapState::CaptureDr: dr_ = client_.capture_dr(); break;
    case TapState::ShiftDr: shift(dr_, tdi); break;
    case TapState::CaptureIr: ir_ = {client_.capture_ir(), kIrLength}; break;
    case TapState::ShiftIr: shift(ir_, tdi); break;
    default: break;
    }
    TapState before = state_;
    state_ = next_tap_state(state_, tms);
    if (state_ == TapState::TestLogicReset && before != TapState::TestLogicReset) client_.tap_reset();
    if (state_ == TapState::RunTestIdle && before != TapState::RunTestIdle) client_.enter_run_test_idle();
}

void TapController::falling()
{
    switch (state_) {
    case TapState::ShiftDr: tdo_ = dr_.bits & 1; break;
    case TapState::ShiftIr: tdo_ = ir_.bits & 1; break;
    case TapState::UpdateDr: client_.update_dr(dr_); break;
    case TapState::UpdateIr: client_.update_ir(static_cast<uint32_t>(ir_.bits & 0xF)); break;
    default: break;
    }
}

}  // namespace jtag

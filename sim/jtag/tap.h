// The IEEE 1149.1 TAP controller: the sixteen-state machine clocked by TCK
// and steered by TMS, with its instruction register and the data register
// the instruction selects. The registers themselves belong to the owner
// (TapClient); the controller shifts them, least significant bit first,
// TDI entering at the top and TDO showing bit 0.
//
// As the standard has it: state changes, captures and shifts happen on the
// rising edge of TCK; TDO changes on the falling edge; the update of the
// instruction or data register happens on the falling edge in Update-IR /
// Update-DR. Entering Run-Test/Idle (the rising edge that enters it) is
// reported: the ARM7TDMI's debug logic clocks the core there. nTRST, or five rising edges with TMS high, put
// the controller in Test-Logic-Reset.
#pragma once

#include <cstdint>

namespace jtag {

enum class TapState : uint8_t {
    TestLogicReset, RunTestIdle,
    SelectDr, CaptureDr, ShiftDr, Exit1Dr, PauseDr, Exit2Dr, UpdateDr,
    SelectIr, CaptureIr, ShiftIr, Exit1Ir, PauseIr, Exit2Ir, UpdateIr,
};
const char *tap_state_name(TapState s);
TapState next_tap_state(TapState s, bool tms);

// A register of up to 64 bits as it sits between TDI and TDO.
struct ShiftRegister {
    uint64_t bits = 0;
    unsigned length = 1;
};

class TapClient {
public:
    virtual ~TapClient() = default;
    // The instruction register's capture value (its two low bits are 01).
    virtual uint32_t capture_ir() = 0;
    virtual void update_ir(uint32_t instruction) = 0;
    // The data register selected by the current instruction, loaded.
    virtual ShiftRegister capture_dr() = 0;
    virtual void update_dr(const ShiftRegister &shifted) = 0;
    virtual void enter_run_test_idle() = 0;
    // Test-Logic-Reset entered (by TMS or nTRST).
    virtual void tap_reset() = 0;
};

class TapController {
public:
    static constexpr unsigned kIrLength = 4;

    explicit TapController(TapClient &client) : client_(client) {}

    // The TCK, TMS and TDI pins as an adapter drives them.
    void set_pins(bool tck, bool tms, bool tdi);
    void set_trst(bool asserted);
    bool tdo() const { return tdo_; }
    bool tck() const { return tck_; }
    TapState state() const { return state_; }

private:
    void rising(bool tms, bool tdi);
    void falling();

    TapClient &client_;
    TapState state_ = TapState::TestLogicReset;
    bool tck_ = false, tdo_ = false, trst_ = false;
    ShiftRegister ir_{0, kIrLength}, dr_;
};

}  // namespace jtag

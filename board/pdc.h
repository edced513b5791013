// Peripheral DMA controller channel pair (one receive, one transmit channel)
// of a peripheral, after the chip's documentation. The peripheral owns one,
// maps its registers at +0x100 of its block and tells it when it can take or
// give a word; the PDC moves the words to and from memory.
//
// - RPR/RCR, TPR/TCR: pointer and counter; RNPR/RNCR, TNPR/TNCR: the next
//   buffer. Counters are 16 bits. PTCR enables and disables each channel
//   (RXTEN 0x001, RXTDIS 0x002, TXTEN 0x100, TXTDIS 0x200; a disable wins
//   over an enable in the same write); PTSR reads the enables.
// - A transmit move happens while the channel is enabled, TCR is not 0 and
//   the peripheral is ready to transmit; a receive move whenever the
//   peripheral holds a received word while the channel is enabled and RCR is
//   not 0, including a word already waiting when the channel is armed.
// - Each move advances the pointer by the word size (1 byte, 2 for wider
//   words) and decrements the counter. When a counter reaches 0 and the next
//   counter is not 0, the next pointer and counter are copied in and the next
//   counter becomes 0; otherwise the channel stops with its pointer just past
//   the buffer.
// - ENDRX / ENDTX are latches: set when RCR / TCR reaches 0 by a move and
//   kept (even when the next buffer is loaded at that moment) until RCR or
//   RNCR (TCR or TNCR) is written. RXBUFF / TXBUFE are levels: both counters
//   of the channel are 0. All four read 1 after reset.
//
// Choices where the documentation is silent:
// - A counter write that leaves both counters of the channel at 0 sets the
//   end flag instead of clearing it (nothing is in flight), as the reset
//   state shows it. A write of the next counter while the current one is 0
//   does not start the next buffer (the copy happens only when a move
//   empties the counter).
// - Each move takes kDefaultLatencyCycles master-clock cycles from its
//   trigger (bus request and grant); a busy system bus would make it longer.
// - A move that finds nothing at its address is logged (a read then gives 0).
#pragma once

#include <cstdint>
#include <string>

#include "board/bus.h"
#include "board/clock.h"
#include "board/log.h"
#include "board/register_map.h"
#include "board/state.h"

namespace board {

// What the PDC asks of the peripheral it serves.
class PdcPeripheral {
public:
    virtual ~PdcPeripheral() = default;
    virtual bool pdc_clock_on() const = 0;
    // A received word waits for the receive channel; taking it clears the
    // peripheral's ready flag as a read of its receive register does.
    virtual bool pdc_rx_ready() const = 0;
    virtual uint32_t pdc_rx_take() = 0;
    // The transmit register can take a word.
    virtual bool pdc_tx_ready() const = 0;
    virtual void pdc_tx_put(uint32_t word) = 0;
    // Bytes per word moved (1 or 2).
    virtual unsigned pdc_word_bytes() const = 0;
    // A flag may have changed: the peripheral updates its interrupt line.
    virtual void pdc_changed() = 0;
};

class Pdc {
public:
    static constexpr uint32_t kFirst = 0x100;   // RPR
    static constexpr uint64_t kDefaultLatencyCycles = 2;

    Pdc(Bus &bus, Log &log, std::string name, PdcPeripheral &peripheral);
    ~Pdc();
    Pdc(const Pdc &) = delete;
    Pdc &operator=(const Pdc &) = delete;

    // Adds the channel pair's registers (RPR at kFirst) to its peripheral's
    // map, and declares them with the rest of the channels' state.
    void declare(RegisterMap &map);
    // The channels' registers and state.
    void reset();
    State &state() { return state_; }

    // Looks whether a move is due and schedules it; the peripheral calls
    // this whenever its ready flags may have changed.
    void kick();

    bool endrx() const { return endrx_; }
    bool endtx() const { return endtx_; }
    bool rxbuff() const { return rcr_ == 0 && rncr_ == 0; }
    bool txbufe() const { return tcr_ == 0 && tncr_ == 0; }

    void set_latency_cycles(uint64_t cycles) { latency_ = cycles; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t {
        RPR = 0x100, RCR = 0x104, TPR = 0x108, TCR = 0x10C,
        RNPR = 0x110, RNCR = 0x114, TNPR = 0x118, TNCR = 0x11C,
        PTCR = 0x120, PTSR = 0x124,
    };
    enum : uint32_t { RXTEN = 0x001, RXTDIS = 0x002, TXTEN = 0x100, TXTDIS = 0x200 };

    void changed();
    void move();
    bool rx_due() const;
    bool tx_due() const;

    Bus &bus_;
    Clock &clock_;
    Log &log_;   // moves that find no memory
    std::string name_;
    PdcPeripheral &peripheral_;
    uint64_t latency_ = kDefaultLatencyCycles;
    uint32_t rpr_ = 0, rcr_ = 0, tpr_ = 0, tcr_ = 0, rnpr_ = 0, rncr_ = 0, tnpr_ = 0, tncr_ = 0;
    bool rx_en_ = false, tx_en_ = false;
    bool endrx_ = true, endtx_ = true;
    Clock::EventId event_ = 0;
    State state_;
};

}  // namespace board

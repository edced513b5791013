// Debug unit, after the chip's documentation: a UART on PA9 (DRXD) and PA10
// (DTXD), peripheral A, with a PDC channel pair and the chip's identity.
//
// - DBGU_CR: RSTRX, RSTTX (bits 2, 3: reset and disable), RXEN/RXDIS,
//   TXEN/TXDIS (bits 4..7; a disable wins), RSTSTA (bit 8: clears PARE,
//   FRAME, OVRE). DBGU_MR: PAR (bits 9..11: even, odd, space, mark, none for
//   4 and above), CHMODE (bits 14..15: normal, automatic echo, local
//   loopback, remote loopback). Characters are 8 bits with one stop bit.
// - DBGU_BRGR: CD; baud rate = MCK / (16 x CD), the baud clock off when CD is
//   0. A character takes (1 start + 8 data + parity + 1 stop) bit times on
//   the line, at the rate in force when it starts.
// - DBGU_SR: RXRDY (0), TXRDY (1), ENDRX (3), ENDTX (4), OVRE (5), FRAME (6),
//   PARE (7), TXEMPTY (9), TXBUFE (11), RXBUFF (12); COMMTX/COMMRX (30, 31:
//   the processor's debug communications channel, as its COMMTX and COMMRX
//   outputs show it: COMMTX while the channel has room for a word from the
//   processor, COMMRX while a word from the debugger waits for it). TXRDY is 1 while the transmitter
//   is enabled and THR is empty (THR moves into the shift register as soon
//   as it is idle); TXEMPTY while it is enabled and THR and the shift
//   register are both empty. RXRDY sets when a character is complete and is
//   cleared by reading RHR; a character completed while RXRDY is still set
//   sets OVRE (RHR takes the new one).
// - IER/IDR/IMR; the interrupt (part of the system interrupt) is SR & IMR.
// - DBGU_CIDR reads 0x270B0940 (this chip), DBGU_EXID 0.
// - PDC (pdc.h) at +0x100, triggered by RXRDY and TXRDY.
// - The DBGU is a system peripheral: it has no clock to enable in the PMC.
//
// The line: DTXD is driven through the PIO's peripheral function A, bit by
// bit at the bit times (idle high), so a waveform shows each frame; a
// character reaches the host (set_host_output) when its stop bit ends, and
// only if PA10 is given to the DBGU (PIO_PDR, function A), otherwise it is
// not on the pin and that is logged once. Characters from the host
// (receive_from_host) arrive back to back at the debug unit's baud rate;
// one that arrives while the receiver is disabled, the baud clock is off or
// PA9 is not given to the DBGU is lost, and that is logged once until the
// receiver can take characters again. Host characters have no parity or
// framing errors (the host side carries bytes, not line levels).
//
// Choices where the documentation is silent: THR written while the
// transmitter is disabled is lost (logged); THR written while TXRDY is 0
// replaces the waiting character (logged). TXDIS lets the character in the
// shift register and the one in THR finish.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "board/bus.h"
#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/nets.h"
#include "board/pdc.h"
#include "board/pio.h"
#include "board/register_map.h"

namespace board {

class Dbgu : public MappedDevice, public InterruptSource, private PdcPeripheral {
public:
    static constexpr uint32_t kChipId = 0x270B0940;
    static constexpr int kRxLine = net::kDbguRx;
    static constexpr int kTxLine = net::kDbguTx;

    static constexpr uint32_t RXRDY = 1u << 0, TXRDY = 1u << 1, ENDRX = 1u << 3, ENDTX = 1u << 4,
                              OVRE = 1u << 5, FRAME = 1u << 6, PARE = 1u << 7, TXEMPTY = 1u << 9,
                              TXBUFE = 1u << 11, RXBUFF = 1u << 12, COMMTX = 1u << 30, COMMRX = 1u << 31;

    Dbgu(Bus &bus, Pio &pio, Log &log);
    ~Dbgu() override;
    Dbgu(const Dbgu &) = delete;
    Dbgu &operator=(const Dbgu &) = delete;

    void reset() override;

    // The far end of the line: characters the chip sends, and characters
    // sent to the chip.
    void set_host_output(std::function<void(uint8_t)> out) { host_out_ = std::move(out); }
    void receive_from_host(uint8_t c);
    void receive_from_host(const std::string &text);
    // Characters from the host not yet received.
    size_t host_backlog() const { return rx_queue_.size() + (rx_busy_ ? 1 : 0); }
    // Whether a character from the host would be sampled now: the receiver
    // enabled, the baud clock on and PA9 given to the DBGU.
    bool receiving() const;
    // One character's time on the line at the current baud rate (0 with the
    // baud clock off).
    Picos char_time() const { return frame_bits() * bit_time(); }
    // Characters from the host lost on the chip in this run (a reset does
    // not clear the counts, which are the run's, not the chip's): overwritten in
    // RHR before the firmware read them (OVRE), or gone by while nothing
    // sampled the line.
    uint64_t overruns() const { return overruns_; }
    uint64_t unheard() const { return unheard_; }

    // Baud rate the firmware set, 0 with the baud clock off.
    double baud() const;
    uint32_t status() const;
    // The processor's COMMTX and COMMRX outputs (not changed by a reset of
    // the debug unit: they belong to the processor's debug logic).
    void set_comm_lines(bool commtx, bool commrx)
    {
        commtx_ = commtx;
        commrx_ = commrx;
        update_irq();
    }
    void set_pdc_latency_cycles(uint64_t cycles) { pdc_.set_latency_cycles(cycles); }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t {
        CR = 0x00, MR = 0x04, IER = 0x08, IDR = 0x0C, IMR = 0x10, SR = 0x14,
        RHR = 0x18, THR = 0x1C, BRGR = 0x20, CIDR = 0x40, EXID = 0x44,
    };
    enum : uint32_t {
        RSTRX = 1u << 2, RSTTX = 1u << 3, RXEN = 1u << 4, RXDIS = 1u << 5,
        TXEN = 1u << 6, TXDIS = 1u << 7, RSTSTA = 1u << 8,
    };
    enum : unsigned { Normal = 0, AutoEcho = 1, LocalLoopback = 2, RemoteLoopback = 3 };
    static constexpr uint32_t kMrMask = 0x0000CE00;
    static constexpr uint32_t kInterruptMask = 0xC0001AFB;
    static constexpr uint32_t kTx = 1u << kTxLine;

    void control(uint32_t cr);
    void write_thr(uint32_t v);
    // After every write: a character or a PDC move may start, a flag may change.
    void follow_up();
    unsigned frame_bits() const;
    Picos bit_time() const;
    void start_tx();
    void on_tx_bit();
    void tx_line(bool level);
    void start_rx();
    void on_rx_done();
    void receive_char(uint8_t c);
    bool pin_given(int line) const;
    void update_irq();
    bool commtx_ = true, commrx_ = false;
    unsigned chmode() const { return (mr_ >> 14) & 3; }

    bool pdc_clock_on() const override { return true; }
    bool pdc_rx_ready() const override { return rxrdy_; }
    uint32_t pdc_rx_take() override;
    bool pdc_tx_ready() const override { return tx_enabled_ && !thr_full_; }
    void pdc_tx_put(uint32_t word) override;
    unsigned pdc_word_bytes() const override { return 1; }
    void pdc_changed() override { update_irq(); }

    Clock &clock_;
    Pio &pio_;
    Log &log_;
    std::function<void(uint8_t)> host_out_;

    uint32_t mr_ = 0, imr_ = 0, brgr_ = 0;
    bool rx_enabled_ = false, tx_enabled_ = false;
    bool rxrdy_ = false, ovre_ = false;
    uint32_t rhr_ = 0;

    // Transmitter: THR and the shift register, one frame bit by bit.
    uint8_t thr_ = 0;
    bool thr_full_ = false;
    bool shifting_ = false;
    uint8_t shift_ = 0;
    unsigned bit_ = 0, bits_ = 0;
    Picos frame_start_ = 0, bit_time_ = 0;
    Clock::EventId tx_event_ = 0;
    bool tx_waiting_logged_ = false, tx_pin_logged_ = false;

    // Receiver: characters on their way from the host.
    std::deque<uint8_t> rx_queue_;
    bool rx_busy_ = false;
    uint8_t rx_char_ = 0;
    Clock::EventId rx_event_ = 0;
    bool rx_lost_logged_ = false;
    uint64_t overruns_ = 0, unheard_ = 0;

    Pdc pdc_;
};

}  // namespace board

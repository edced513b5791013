// SPI controller with its PDC channel pair, after the chip's documentation.
//
// Registers: CR (SPIEN, SPIDIS, SWRST), MR, RDR, TDR, SR, IER/IDR/IMR,
// CSR[0..3]; the PDC at +0x100: RPR, RCR, TPR, TCR, RNPR, RNCR, TNPR, TNCR,
// PTCR (write), PTSR (read).
//
// Transfers (master mode only; slave mode is not modelled and is logged):
// - Writing TDR clears TDRE and TXEMPTY. When the shift register is idle the
//   word moves into it at once and TDRE is set again; TXEMPTY is set when TDR
//   and the shifter are both empty.
// - A transfer of n bits (CSR.BITS: 8..16) takes n x SCBR master-clock cycles,
//   after DLYBS cycles when DLYBS is set, and is followed by 32 x DLYBCT
//   cycles when DLYBCT is set. (The chip's half-period default for DLYBS = 0
//   is not modelled: 8 x SCBR cycles per byte exactly.)
// - At its end RDR takes the received word and RDRF is set; if RDRF was
//   still set, OVRES is set too (cleared by reading SR). RDR keeps the word
//   until the next transfer ends; reading RDR clears RDRF only.
// - Every SPCK edge is an event on the virtual clock at its exact time, so
//   the nets show each bit: MOSI (PA13) and SPCK (PA14) are driven through
//   the PIO's peripheral function A, MISO (PA12) is sampled from the net on
//   the capture edge (or from MOSI with MR.LLB). CSR.CPOL sets the idle
//   level; CSR.NCPHA = 1 captures on the leading edge, 0 on the trailing one.
//   The CSR used is the one of the chip select in MR.PCS (fixed select) or
//   in TDR's PCS field (MR.PS = 1). The controller's own NPCS outputs are not
//   driven (the board selects its flash with a PIO line).
// - Bits are sent most significant first.
//
// PDC (pdc.h): triggered by RDRF and TDRE; a receive move reads RDR
// (clearing RDRF); 16-bit moves when CSR.BITS is above 8. ENDRX, ENDTX,
// RXBUFF and TXBUFE in SR are its flags.
// - SWRST resets the SPI but not the PDC registers.
//
// With the peripheral clock off (PMC id 5) nothing shifts and the PDC does
// not move; a transfer that waits for the clock is logged, and starts at the
// first register access after the clock is back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "board/bus.h"
#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/nets.h"
#include "board/pdc.h"
#include "board/pins.h"
#include "board/pio.h"
#include "board/register_map.h"

namespace board {

class Spi : public MappedDevice, public InterruptSource, public ClockInput, private PdcPeripheral {
public:
    static constexpr int kMisoLine = net::kMiso;
    static constexpr int kMosiLine = net::kMosi;
    static constexpr int kSpckLine = net::kSpck;

    // Status register bits.
    static constexpr uint32_t RDRF = 1u << 0, TDRE = 1u << 1, MODF = 1u << 2, OVRES = 1u << 3,
                              ENDRX = 1u << 4, ENDTX = 1u << 5, RXBUFF = 1u << 6, TXBUFE = 1u << 7,
                              NSSR = 1u << 8, TXEMPTY = 1u << 9, SPIENS = 1u << 16;

    Spi(Bus &bus, Pio &pio, Pins &pins, Log &log, std::string name = "SPI");
    ~Spi() override;

    uint32_t read(uint32_t offset) override;
    void reset() override;

    // A transfer the stopped clock held up starts at the next register access.
    void set_clock(bool on) override { clock_on_ = on; }

    // Master-clock cycles from a PDC trigger to its move (see pdc.h).
    void set_pdc_latency_cycles(uint64_t cycles) { pdc_.set_latency_cycles(cycles); }

    // State, for views and tests.
    uint32_t status() const;
    bool shifting() const { return shifting_; }
    uint64_t transfers() const { return transfers_; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t {
        CR = 0x00, MR = 0x04, RDR = 0x08, TDR = 0x0C, SR = 0x10,
        IER = 0x14, IDR = 0x18, IMR = 0x1C,
        CSR0 = 0x30, CSR1 = 0x34, CSR2 = 0x38, CSR3 = 0x3C,
    };
    enum : uint32_t { SPIEN = 1u << 0, SPIDIS = 1u << 1, SWRST = 1u << 7 };
    enum : uint32_t { MR_PS = 1u << 1, MR_PCSDEC = 1u << 2, MR_FDIV = 1u << 3, MR_LLB = 1u << 7 };
    enum : uint32_t { CSR_CPOL = 1u << 0, CSR_NCPHA = 1u << 1 };
    static constexpr uint32_t kMosi = 1u << kMosiLine;
    static constexpr uint32_t kSpck = 1u << kSpckLine;

    void software_reset();
    void control(uint32_t cr);
    void write_tdr(uint32_t v);
    // After every write: a transfer or a PDC move may start, a flag may change.
    void follow_up();
    void start_if_ready();
    void begin_transfer();
    void schedule_edge();
    void on_edge();
    void end_transfer();
    bool pdc_clock_on() const override { return clock_on(); }
    bool pdc_rx_ready() const override { return rdrf_; }
    uint32_t pdc_rx_take() override;
    bool pdc_tx_ready() const override { return enabled_ && !tdr_full_; }
    void pdc_tx_put(uint32_t word) override;
    unsigned pdc_word_bytes() const override { return bits_ > 8 ? 2 : 1; }
    void pdc_changed() override { update_irq(); }
    void drive_lines();
    void update_irq();
    bool clock_on() const { return clock_on_; }
    bool master() const { return (mr_ & 1u) != 0; }
    int selected_cs(uint32_t pcs) const;

    Bus &bus_;
    Clock &clock_;
    Pio &pio_;
    Pins &pins_;
    Log &log_;
    std::string name_;
    bool clock_on_ = true;

    // SPI
    bool enabled_ = false;
    uint32_t mr_ = 0, imr_ = 0, csr_[4] = {0, 0, 0, 0};
    uint32_t tdr_ = 0;
    bool tdr_full_ = false;
    uint32_t rdr_ = 0;
    bool rdrf_ = false, ovres_ = false;
    bool waiting_logged_ = false;

    // Shift register and its clock edges.
    bool shifting_ = false;
    uint32_t shift_out_ = 0, shift_in_ = 0, shift_pcs_ = 0;
    unsigned bits_ = 8, edge_ = 0;
    bool delivered_ = false;
    uint32_t csr_used_ = 0;
    Picos first_edge_ = 0;
    uint64_t half_period_fs_ = 0;
    uint64_t after_cycles_ = 0;
    bool mosi_ = true, spck_ = false;
    Clock::EventId edge_event_ = 0;
    uint64_t transfers_ = 0;

    Pdc pdc_;
    State controller_{"controller"};
};

}  // namespace board

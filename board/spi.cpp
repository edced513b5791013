#include "board/spi.h"


namespace board {

Spi::Spi(Bus &bus, Pio &pio, Pins &pins, Log &log, std::string name)
    : MappedDevice(log, name), bus_(bus), clock_(bus.clock()), pio_(pio), pins_(pins), log_(log), name_(std::move(name)),
      pdc_(bus, log, name_, *this)
{
    auto after = [this] { follow_up(); };
    auto drive_after = [this] {
        drive_lines();
        follow_up();
    };
    regs_.add(CR, "SPI_CR", AccessKind::WriteOnly).on_write([this](uint32_t v) { control(v); }).then(after);
    regs_.add(MR, "SPI_MR", AccessKind::ReadWrite).field(mr_).then(drive_after);
    regs_.add(RDR, "SPI_RDR", AccessKind::ReadOnly).field(rdr_).on_read([this] {
        rdrf_ = false;
        update_irq();
        return rdr_;
    });
    regs_.add(TDR, "SPI_TDR", AccessKind::WriteOnly).field(tdr_).on_write([this](uint32_t v) { write_tdr(v); }).then(after);
    regs_.add(SR, "SPI_SR", AccessKind::ReadOnly).value([this] { return status(); }).resets_to(ENDRX | ENDTX | RXBUFF | TXBUFE).on_read([this] {
        uint32_t v = status();
        ovres_ = false;
        update_irq();
        return v;
    });
    regs_.add(IER, "SPI_IER", AccessKind::WriteOneToSet).acts_on(imr_).then(after);
    regs_.add(IDR, "SPI_IDR", AccessKind::WriteOneToClear).acts_on(imr_).then(after);
    regs_.add(IMR, "SPI_IMR", AccessKind::ReadOnly).field(imr_);
    for (unsigned n = 0; n < 4; ++n)
        regs_.add(CSR0 + 4 * n, "SPI_CSR" + std::to_string(n), AccessKind::ReadWrite).field(csr_[n]).then(drive_after);
    pdc_.declare(regs_);
    // What SWRST resets: everything but the PDC.
    controller_.registers(regs_, 0, Pdc::kFirst)
        .field("enabled", enabled_)
        .field("TDR full", tdr_full_)
        .field("RDRF", rdrf_)
        .field("OVRES", ovres_)
        .field("waiting logged", waiting_logged_)
        .field("shifting", shifting_)
        .field("shifted out", shift_out_)
        .field("shifted in", shift_in_)
        .field("PCS shifted", shift_pcs_)
        .field("bits", bits_, 8u)
        .field("edge", edge_)
        .field("delivered", delivered_)
        .field("CSR used", csr_used_)
        .field("first edge", first_edge_)
        .field("half period", half_period_fs_)
        .field("delay after", after_cycles_)
        .field("MOSI", mosi_, true)
        .field("SPCK", spck_)
        .event(clock_, edge_event_, name_.c_str(),
               {{"SPCK edge", [this] { on_edge(); }}, {"transfer end", [this] { end_transfer(); }}});
    state_.part(controller_)
        .part(pdc_.state())
        .field("transfers", transfers_)
        .kept("clock", clock_on_)
        .kept("irq", irq_.saved_level());
    reset();
}

Spi::~Spi()
{
    clock_.cancel(edge_event_);
}

void Spi::software_reset()
{
    controller_.reset();
    drive_lines();
    update_irq();
}

void Spi::reset()
{
    state_.reset();
    drive_lines();
    update_irq();
}

uint32_t Spi::status() const
{
    uint32_t s = 0;
    if (rdrf_) s |= RDRF;
    if (enabled_ && !tdr_full_) s |= TDRE;
    if (ovres_) s |= OVRES;
    if (pdc_.endrx()) s |= ENDRX;
    if (pdc_.endtx()) s |= ENDTX;
    if (pdc_.rxbuff()) s |= RXBUFF;
    if (pdc_.txbufe()) s |= TXBUFE;
    if (enabled_ && !tdr_full_ && !shifting_) s |= TXEMPTY;
    if (enabled_) s |= SPIENS;
    return s;
}

uint32_t Spi::read(uint32_t offset)
{
    // A transfer held up by a stopped clock resumes once the clock is back.
    start_if_ready();
    pdc_.kick();
    return regs_.read(offset);
}

void Spi::control(uint32_t v)
{
    if (v & SWRST) {
        software_reset();
        return;
    }
    if (v & SPIDIS)
        enabled_ = false;   // a transfer under way still completes
    else if (v & SPIEN)
        enabled_ = true;
    drive_lines();
}

void Spi::write_tdr(uint32_t v)
{
    if (!enabled_) {
        log_.warn(name_, "TDR written (" + hex32(v) + ") while the SPI is disabled: nothing is sent");
        return;
    }
    tdr_ = v;
    tdr_full_ = true;
}

void Spi::follow_up()
{
    start_if_ready();
    pdc_.kick();
    update_irq();
}

int Spi::selected_cs(uint32_t pcs) const
{
    if (mr_ & MR_PCSDEC)
        return pcs == 0xF ? -1 : static_cast<int>(pcs / 4);
    if ((pcs & 0x1) == 0x0) return 0;
    if ((pcs & 0x3) == 0x1) return 1;
    if ((pcs & 0x7) == 0x3) return 2;
    if ((pcs & 0xF) == 0x7) return 3;
    return -1;
}

void Spi::start_if_ready()
{
    if (shifting_ || !tdr_full_ || !enabled_)
        return;
    if (!master()) {
        if (!waiting_logged_)
            log_.warn(name_, "TDR written in slave mode: slave transfers are not modelled, nothing shifts");
        waiting_logged_ = true;
        return;
    }
    if (!clock_on()) {
        if (!waiting_logged_)
            log_.warn(name_, "transfer waiting: the SPI peripheral clock is off, nothing shifts");
        waiting_logged_ = true;
        return;
    }
    begin_transfer();
}

void Spi::begin_transfer()
{
    waiting_logged_ = false;
    uint32_t pcs = (mr_ & MR_PS) ? (tdr_ >> 16) & 0xF : (mr_ >> 16) & 0xF;
    int cs = selected_cs(pcs);
    if (cs < 0) {
        log_.warn(name_, "transfer with no chip select in PCS (" + hex32(pcs) + "): clocked with CSR0");
        cs = 0;
    }
    uint32_t csr = csr_[cs];
    uint32_t scbr = (csr >> 8) & 0xFF;
    if (scbr == 0) {
        if (!waiting_logged_)
            log_.warn(name_, "SCBR of CSR" + std::to_string(cs) + " is 0 (invalid): nothing shifts");
        waiting_logged_ = true;
        return;
    }
    unsigned bits = 8 + ((csr >> 4) & 0xF);
    if (bits > 16) {
        log_.warn(name_, "reserved BITS value in CSR" + std::to_string(cs) + ": 16 bits shifted");
        bits = 16;
    }
    uint64_t cycles_per_bit = static_cast<uint64_t>(scbr) * ((mr_ & MR_FDIV) ? 32 : 1);

    tdr_full_ = false;   // the shifter takes the word: TDRE again
    shifting_ = true;
    bits_ = bits;
    csr_used_ = csr;
    shift_pcs_ = pcs;
    shift_out_ = tdr_ & ((1u << bits) - 1);
    shift_in_ = 0;
    edge_ = 0;
    delivered_ = false;
    half_period_fs_ = cycles_per_bit * clock_.master_period_fs() / 2;
    first_edge_ = clock_.now() + clock_.cycles_to_picos((csr >> 16) & 0xFF);
    after_cycles_ = 32ull * ((csr >> 24) & 0xFF);
    spck_ = (csr & CSR_CPOL) != 0;
    if (csr & CSR_NCPHA)
        mosi_ = (shift_out_ >> (bits - 1)) & 1u;   // the first bit is set up before the first edge
    drive_lines();
    schedule_edge();
}

void Spi::schedule_edge()
{
    unsigned edges = 2 * bits_;
    uint64_t slot;
    if (edge_ < edges)
        slot = (csr_used_ & CSR_NCPHA) ? edge_ + 1 : edge_;
    else
        slot = edges;
    Picos when = first_edge_ + static_cast<Picos>((static_cast<unsigned __int128>(slot) * half_period_fs_) / 1000);
    if (edge_ < edges) {
        edge_event_ = clock_.schedule_at({name_.c_str(), "SPCK edge"}, when, [this] { on_edge(); });
    } else {
        edge_event_ = clock_.schedule_at({name_.c_str(), "transfer end"}, when, [this] { end_transfer(); });
    }
}

void Spi::on_edge()
{
    bool cpol = (csr_used_ & CSR_CPOL) != 0;
    bool ncpha = (csr_used_ & CSR_NCPHA) != 0;
    bool leading = (edge_ % 2) == 0;
    unsigned bit = edge_ / 2;   // index of the bit this edge belongs to, 0 = first sent
    bool capture = ncpha ? leading : !leading;
    if (capture) {
        // The level present at the edge: the slave changed it on the other edge.
        bool in = (mr_ & MR_LLB) ? mosi_ : pins_.level(kMisoLine);
        shift_in_ = (shift_in_ << 1) | (in ? 1u : 0u);
    } else {
        unsigned next = ncpha ? bit + 1 : bit;
        if (next < bits_)
            mosi_ = (shift_out_ >> (bits_ - 1 - next)) & 1u;
    }
    spck_ = leading ? !cpol : cpol;
    ++edge_;
    drive_lines();
    schedule_edge();
}

void Spi::end_transfer()
{
    edge_event_ = 0;
    if (!delivered_) {
        rdr_ = shift_in_ | ((mr_ & MR_PS) ? shift_pcs_ << 16 : 0u);
        if (rdrf_)
            ovres_ = true;
        rdrf_ = true;
        ++transfers_;
        delivered_ = true;
        if (after_cycles_) {
            // DLYBCT: the received word is in, the next transfer waits.
            edge_event_ = clock_.schedule_in({name_.c_str(), "transfer end"}, clock_.cycles_to_picos(after_cycles_), [this] { end_transfer(); });
            pdc_.kick();
            update_irq();
            return;
        }
    }
    shifting_ = false;
    start_if_ready();
    pdc_.kick();
    update_irq();
}

uint32_t Spi::pdc_rx_take()
{
    rdrf_ = false;
    return rdr_;
}

void Spi::pdc_tx_put(uint32_t word)
{
    tdr_ = word;
    tdr_full_ = true;
    start_if_ready();
}

void Spi::drive_lines()
{
    if (!enabled_ && !shifting_) {
        pio_.set_peripheral_output(Pio::A, kMosi | kSpck, 0, 0);
        return;
    }
    if (!shifting_) {
        // Idle: the clock rests at CPOL of the chip select in MR.
        int cs = selected_cs((mr_ >> 16) & 0xF);
        spck_ = (csr_[cs < 0 ? 0 : cs] & CSR_CPOL) != 0;
    }
    uint32_t levels = (mosi_ ? kMosi : 0u) | (spck_ ? kSpck : 0u);
    pio_.set_peripheral_output(Pio::A, kMosi | kSpck, kMosi | kSpck, levels);
}

void Spi::update_irq()
{
    irq_.set((status() & imr_) != 0);
}

}  // namespace board

#include "board/dbgu.h"


namespace board {

Dbgu::Dbgu(Bus &bus, Pio &pio, Log &log)
    : MappedDevice(log, "DBGU"), clock_(bus.clock()), pio_(pio), log_(log), pdc_(bus, log, "DBGU", *this)
{
    auto after = [this] { follow_up(); };
    regs_.add(CR, "DBGU_CR", AccessKind::WriteOnly).on_write([this](uint32_t v) { control(v); }).then(after);
    regs_.add(MR, "DBGU_MR", AccessKind::ReadWrite).field(mr_, kMrMask).then(after);
    regs_.add(IER, "DBGU_IER", AccessKind::WriteOneToSet).acts_on(imr_, kInterruptMask).then(after);
    regs_.add(IDR, "DBGU_IDR", AccessKind::WriteOneToClear).acts_on(imr_).then(after);
    regs_.add(IMR, "DBGU_IMR", AccessKind::ReadOnly).field(imr_);
    regs_.add(SR, "DBGU_SR", AccessKind::ReadOnly).resets_to(ENDRX | ENDTX | TXBUFE | RXBUFF | COMMTX).value([this] { return status(); });
    regs_.add(RHR, "DBGU_RHR", AccessKind::ReadOnly).field(rhr_).on_read([this] {
        rxrdy_ = false;
        update_irq();
        return rhr_;
    });
    regs_.add(THR, "DBGU_THR", AccessKind::WriteOnly).on_write([this](uint32_t v) { write_thr(v); }).then(after);
    regs_.add(BRGR, "DBGU_BRGR", AccessKind::ReadWrite).field(brgr_, 0xFFFF).then(after);
    regs_.add(CIDR, "DBGU_CIDR", AccessKind::ReadOnly).resets_to(kChipId).value([] { return kChipId; });
    regs_.add(EXID, "DBGU_EXID", AccessKind::ReadOnly).value([] { return 0u; });
    pdc_.declare(regs_);
    // The loss counts are the run's; COMMTX and COMMRX the processor's.
    state_.registers(regs_, 0, Pdc::kFirst)
        .field("receiver enabled", rx_enabled_)
        .field("transmitter enabled", tx_enabled_)
        .field("RXRDY", rxrdy_)
        .field("OVRE", ovre_)
        .field("THR", thr_)
        .field("THR full", thr_full_)
        .field("shifting", shifting_)
        .field("shift register", shift_)
        .field("bit", bit_)
        .field("bits", bits_)
        .field("frame start", frame_start_)
        .field("bit time", bit_time_)
        .field("waiting logged", tx_waiting_logged_)
        .field("pin logged", tx_pin_logged_)
        .custom("from the host",
                [this](StateWriter &w) {
                    w.u64(rx_queue_.size());
                    for (uint8_t c : rx_queue_)
                        w.u8(c);
                },
                [this](StateReader &r) {
                    uint64_t n = r.u64();
                    if (n > r.left())
                        r.fail("DBGU: a list longer than what is left");
                    rx_queue_.clear();
                    for (uint64_t i = 0; i < n; ++i)
                        rx_queue_.push_back(r.u8());
                },
                [this] { rx_queue_.clear(); })
        .field("receiving", rx_busy_)
        .field("received", rx_char_)
        .field("loss logged", rx_lost_logged_)
        .part(pdc_.state())
        .kept("COMMTX", commtx_)
        .kept("COMMRX", commrx_)
        .kept("overruns", overruns_)
        .kept("unheard", unheard_)
        .kept("irq", irq_.saved_level())
        .event(clock_, tx_event_, "DBGU", {{"transmit bit", [this] { on_tx_bit(); }}})
        .event(clock_, rx_event_, "DBGU", {{"character received", [this] { on_rx_done(); }}});
    reset();
}

Dbgu::~Dbgu()
{
    clock_.cancel(tx_event_);
    clock_.cancel(rx_event_);
}

void Dbgu::reset()
{
    state_.reset();
    pio_.set_peripheral_output(Pio::A, kTx, 0, 0);
    update_irq();
}

uint32_t Dbgu::status() const
{
    uint32_t s = 0;
    if (rxrdy_) s |= RXRDY;
    if (tx_enabled_ && !thr_full_) s |= TXRDY;
    if (pdc_.endrx()) s |= ENDRX;
    if (pdc_.endtx()) s |= ENDTX;
    if (ovre_) s |= OVRE;
    if (tx_enabled_ && !thr_full_ && !shifting_) s |= TXEMPTY;
    if (pdc_.txbufe()) s |= TXBUFE;
    if (pdc_.rxbuff()) s |= RXBUFF;
    if (commtx_) s |= COMMTX;
    if (commrx_) s |= COMMRX;
    return s;
}

void Dbgu::control(uint32_t v)
{
    if (v & RSTRX) {
        rx_enabled_ = false;
        rxrdy_ = false;
    }
    if (v & RSTTX) {
        tx_enabled_ = false;
        thr_full_ = false;
        if (shifting_) {
            clock_.cancel(tx_event_);
            tx_event_ = 0;
            shifting_ = false;
        }
    }
    if (v & RXDIS)
        rx_enabled_ = false;
    else if ((v & RXEN) && !(v & RSTRX))
        rx_enabled_ = true;
    if (v & TXDIS)
        tx_enabled_ = false;
    else if ((v & TXEN) && !(v & RSTTX))
        tx_enabled_ = true;
    if (v & RSTSTA)
        ovre_ = false;
    if (rx_enabled_)
        rx_lost_logged_ = false;
    if (!shifting_)
        tx_line(true);   // idle: the line rests high while the transmitter drives it
}

void Dbgu::write_thr(uint32_t v)
{
    if (!tx_enabled_) {
        log_.warn("DBGU", "DBGU_THR written (" + hex32(v) + ") while the transmitter is disabled: the character is lost");
        return;
    }
    if (thr_full_)
        log_.warn("DBGU", "DBGU_THR written (" + hex32(v) + ") while TXRDY is 0: the waiting character is lost");
    thr_ = static_cast<uint8_t>(v);
    thr_full_ = true;
}

void Dbgu::follow_up()
{
    start_tx();
    pdc_.kick();
    update_irq();
}

double Dbgu::baud() const
{
    return brgr_ == 0 ? 0.0 : clock_.master_hz() / (16.0 * brgr_);
}

unsigned Dbgu::frame_bits() const
{
    bool parity = ((mr_ >> 9) & 7) < 4;
    return 1 + 8 + (parity ? 1 : 0) + 1;
}

Picos Dbgu::bit_time() const
{
    return clock_.cycles_to_picos(16ull * brgr_);
}

bool Dbgu::receiving() const
{
    return brgr_ != 0 && rx_enabled_ && pin_given(kRxLine);
}

bool Dbgu::pin_given(int line) const
{
    uint32_t bit = 1u << line;
    return !(pio_.psr() & bit) && !(pio_.absr() & bit);
}

void Dbgu::tx_line(bool level)
{
    bool driving = tx_enabled_ || shifting_;
    // Local loopback holds DTXD high whatever is sent.
    if (chmode() == LocalLoopback || chmode() == RemoteLoopback)
        level = true;
    pio_.set_peripheral_output(Pio::A, kTx, driving ? kTx : 0u, level ? kTx : 0u);
}

void Dbgu::start_tx()
{
    if (shifting_ || !thr_full_)
        return;
    if (brgr_ == 0) {
        if (!tx_waiting_logged_)
            log_.warn("DBGU", "character waiting in DBGU_THR: the baud clock is off (DBGU_BRGR.CD = 0), nothing is sent");
        tx_waiting_logged_ = true;
        return;
    }
    tx_waiting_logged_ = false;
    shift_ = thr_;
    thr_full_ = false;
    shifting_ = true;
    bits_ = frame_bits();
    bit_ = 0;
    frame_start_ = clock_.now();
    bit_time_ = bit_time();
    tx_line(false);   // start bit
    tx_event_ = clock_.schedule_at({"DBGU", "transmit bit"}, frame_start_ + bit_time_, [this] { on_tx_bit(); });
}

void Dbgu::on_tx_bit()
{
    tx_event_ = 0;
    ++bit_;
    if (bit_ < bits_) {
        bool level;
        if (bit_ <= 8) {
            level = (shift_ >> (bit_ - 1)) & 1u;
        } else if (bit_ == 9 && bits_ == 11) {
            unsigned par = (mr_ >> 9) & 7;
            bool odd_ones = __builtin_popcount(shift_) & 1;
            level = par == 0 ? odd_ones : par == 1 ? !odd_ones : par == 3;
        } else {
            level = true;   // stop bit
        }
        tx_line(level);
        tx_event_ = clock_.schedule_at({"DBGU", "transmit bit"}, frame_start_ + (bit_ + 1) * bit_time_, [this] { on_tx_bit(); });
        return;
    }
    // The stop bit has ended: the character is complete.
    shifting_ = false;
    uint8_t c = shift_;
    switch (chmode()) {
    case LocalLoopback:
        receive_char(c);
        break;
    case Normal:
        if (!pin_given(kTxLine)) {
            if (!tx_pin_logged_)
                log_.warn("DBGU", "character sent while PA10 is not given to the DBGU (PIO_PDR, function A): it is not on the pin");
            tx_pin_logged_ = true;
        } else if (host_out_) {
            host_out_(c);
        }
        break;
    default:   // the echo modes connect the pin to the receive line instead
        break;
    }
    start_tx();
    pdc_.kick();
    update_irq();
}

void Dbgu::receive_from_host(uint8_t c)
{
    rx_queue_.push_back(c);
    start_rx();
}

void Dbgu::receive_from_host(const std::string &text)
{
    for (char c : text)
        rx_queue_.push_back(static_cast<uint8_t>(c));
    start_rx();
}

void Dbgu::start_rx()
{
    if (rx_busy_ || rx_queue_.empty())
        return;
    if (!receiving()) {
        // Nobody samples the line: the characters go by unseen.
        if (!rx_lost_logged_)
            log_.warn("DBGU", std::to_string(rx_queue_.size()) + " character(s) from the host lost: " +
                                  (brgr_ == 0 ? "the baud clock is off (DBGU_BRGR.CD = 0)"
                                   : !rx_enabled_ ? "the receiver is disabled"
                                                  : "PA9 is not given to the DBGU (PIO_PDR, function A)"));
        rx_lost_logged_ = true;
        unheard_ += rx_queue_.size();
        rx_queue_.clear();
        return;
    }
    rx_char_ = rx_queue_.front();
    rx_queue_.pop_front();
    rx_busy_ = true;
    rx_event_ = clock_.schedule_in({"DBGU", "character received"}, frame_bits() * bit_time(), [this] { on_rx_done(); });
}

void Dbgu::on_rx_done()
{
    rx_event_ = 0;
    rx_busy_ = false;
    uint8_t c = rx_char_;
    switch (chmode()) {
    case Normal:
        receive_char(c);
        break;
    case AutoEcho:
        receive_char(c);
        if (host_out_)
            host_out_(c);
        break;
    case RemoteLoopback:
        if (host_out_)
            host_out_(c);
        break;
    default:   // local loopback: the receive line is not connected
        break;
    }
    start_rx();
    pdc_.kick();
    update_irq();
}

void Dbgu::receive_char(uint8_t c)
{
    if (!rx_enabled_)
        return;
    if (rxrdy_) {
        ovre_ = true;
        ++overruns_;
    }
    rhr_ = c;
    rxrdy_ = true;
}

uint32_t Dbgu::pdc_rx_take()
{
    rxrdy_ = false;
    return rhr_;
}

void Dbgu::pdc_tx_put(uint32_t word)
{
    thr_ = static_cast<uint8_t>(word);
    thr_full_ = true;
    start_tx();
}

void Dbgu::update_irq()
{
    bool level = (status() & imr_) != 0;
    irq_.set(level);
}

}  // namespace board

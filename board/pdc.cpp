#include "board/pdc.h"

namespace board {

Pdc::Pdc(Bus &bus, Log &log, std::string name, PdcPeripheral &peripheral)
    : bus_(bus), clock_(bus.clock()), log_(log), name_(std::move(name)), peripheral_(peripheral), state_(name_ + " PDC")
{
}

Pdc::~Pdc()
{
    clock_.cancel(event_);
}

void Pdc::reset()
{
    state_.reset();
}

void Pdc::declare(RegisterMap &map)
{
    auto changed = [this] { this->changed(); };
    auto rx_counter = [this](uint32_t &counter) {
        return [this, &counter](uint32_t v) {
            counter = v & 0xFFFF;
            endrx_ = rcr_ == 0 && rncr_ == 0;
        };
    };
    auto tx_counter = [this](uint32_t &counter) {
        return [this, &counter](uint32_t v) {
            counter = v & 0xFFFF;
            endtx_ = tcr_ == 0 && tncr_ == 0;
        };
    };
    map.add(RPR, "PDC_RPR", AccessKind::ReadWrite).field(rpr_).then(changed);
    map.add(RCR, "PDC_RCR", AccessKind::ReadWrite).field(rcr_, 0xFFFF).on_write(rx_counter(rcr_)).then(changed);
    map.add(TPR, "PDC_TPR", AccessKind::ReadWrite).field(tpr_).then(changed);
    map.add(TCR, "PDC_TCR", AccessKind::ReadWrite).field(tcr_, 0xFFFF).on_write(tx_counter(tcr_)).then(changed);
    map.add(RNPR, "PDC_RNPR", AccessKind::ReadWrite).field(rnpr_).then(changed);
    map.add(RNCR, "PDC_RNCR", AccessKind::ReadWrite).field(rncr_, 0xFFFF).on_write(rx_counter(rncr_)).then(changed);
    map.add(TNPR, "PDC_TNPR", AccessKind::ReadWrite).field(tnpr_).then(changed);
    map.add(TNCR, "PDC_TNCR", AccessKind::ReadWrite).field(tncr_, 0xFFFF).on_write(tx_counter(tncr_)).then(changed);
    map.add(PTCR, "PDC_PTCR", AccessKind::WriteOnly).on_write([this](uint32_t v) {
        if (v & RXTDIS) rx_en_ = false;
        else if (v & RXTEN) rx_en_ = true;
        if (v & TXTDIS) tx_en_ = false;
        else if (v & TXTEN) tx_en_ = true;
    }).then(changed);
    map.add(PTSR, "PDC_PTSR", AccessKind::ReadOnly).value([this] { return (rx_en_ ? RXTEN : 0u) | (tx_en_ ? TXTEN : 0u); });
    // The latency is the board's setting, not the chip's state.
    state_.registers(map, kFirst)
        .field("receive enabled", rx_en_)
        .field("transmit enabled", tx_en_)
        .field("ENDRX", endrx_, true)
        .field("ENDTX", endtx_, true)
        .kept("latency", latency_)
        .event(clock_, event_, name_.c_str(), {{"PDC move", [this] { move(); }}});
}

void Pdc::changed()
{
    kick();
    peripheral_.pdc_changed();
}

bool Pdc::rx_due() const
{
    return rx_en_ && rcr_ != 0 && peripheral_.pdc_rx_ready();
}

bool Pdc::tx_due() const
{
    return tx_en_ && tcr_ != 0 && peripheral_.pdc_tx_ready();
}

void Pdc::kick()
{
    if (event_ && clock_.pending(event_))
        return;
    if (!peripheral_.pdc_clock_on() || (!rx_due() && !tx_due()))
        return;
    event_ = clock_.schedule_in({name_.c_str(), "PDC move"}, clock_.cycles_to_picos(latency_), [this] { move(); });
}

void Pdc::move()
{
    event_ = 0;
    Memory *memory = bus_.memory();
    unsigned size = peripheral_.pdc_word_bytes();
    if (rx_due()) {
        uint32_t word = peripheral_.pdc_rx_take();
        for (unsigned i = 0; i < size; ++i) {
            if (!memory || !memory->write8(rpr_ + i, static_cast<uint8_t>(word >> (8 * i))))
                log_.warn(name_, "PDC receive channel: nothing at " + hex32(rpr_ + i) + " to write to");
        }
        rpr_ += size;
        if (--rcr_ == 0) {
            endrx_ = true;
            if (rncr_ != 0) {
                rpr_ = rnpr_;
                rcr_ = rncr_;
                rncr_ = 0;
            }
        }
    }
    if (tx_due()) {
        uint32_t word = 0;
        for (unsigned i = 0; i < size; ++i) {
            uint8_t byte = 0;
            if (!memory || !memory->read8(tpr_ + i, byte))
                log_.warn(name_, "PDC transmit channel: nothing at " + hex32(tpr_ + i) + " to read from");
            word |= static_cast<uint32_t>(byte) << (8 * i);
        }
        tpr_ += size;
        if (--tcr_ == 0) {
            endtx_ = true;
            if (tncr_ != 0) {
                tpr_ = tnpr_;
                tcr_ = tncr_;
                tncr_ = 0;
            }
        }
        peripheral_.pdc_tx_put(word);
    }
    kick();
    peripheral_.pdc_changed();
}

}  // namespace board

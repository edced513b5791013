#include "board/pdc.h"

namespace board {

namespace {
enum : uint32_t {
    RPR = 0x100, RCR = 0x104, TPR = 0x108, TCR = 0x10C,
    RNPR = 0x110, RNCR = 0x114, TNPR = 0x118, TNCR = 0x11C,
    PTCR = 0x120, PTSR = 0x124,
};
enum : uint32_t { RXTEN = 0x001, RXTDIS = 0x002, TXTEN = 0x100, TXTDIS = 0x200 };
}  // namespace

Pdc::Pdc(Bus &bus, Log &log, std::string name, PdcPeripheral &peripheral)
    : bus_(bus), clock_(bus.clock()), log_(log), name_(std::move(name)), peripheral_(peripheral)
{
}

Pdc::~Pdc()
{
    clock_.cancel(event_);
}

void Pdc::reset()
{
    clock_.cancel(event_);
    event_ = 0;
    rpr_ = rcr_ = tpr_ = tcr_ = rnpr_ = rncr_ = tnpr_ = tncr_ = 0;
    rx_en_ = tx_en_ = false;
    endrx_ = endtx_ = true;
}

const char *Pdc::register_name(uint32_t offset)
{
    switch (offset) {
    case RPR: return "PDC_RPR";
    case RCR: return "PDC_RCR";
    case TPR: return "PDC_TPR";
    case TCR: return "PDC_TCR";
    case RNPR: return "PDC_RNPR";
    case RNCR: return "PDC_RNCR";
    case TNPR: return "PDC_TNPR";
    case TNCR: return "PDC_TNCR";
    case PTCR: return "PDC_PTCR";
    case PTSR: return "PDC_PTSR";
    default: return nullptr;
    }
}

uint32_t Pdc::peek(uint32_t offset) const
{
    switch (offset) {
    case RPR: return rpr_;
    case RCR: return rcr_;
    case TPR: return tpr_;
    case TCR: return tcr_;
    case RNPR: return rnpr_;
    case RNCR: return rncr_;
    case TNPR: return tnpr_;
    case TNCR: return tncr_;
    case PTSR: return (rx_en_ ? RXTEN : 0u) | (tx_en_ ? TXTEN : 0u);
    default: return 0;
    }
}

uint32_t Pdc::read(uint32_t offset)
{
    if (offset == PTCR || !register_name(offset)) {
        log_.warn(name_, offset == PTCR ? "read of write-only PDC_PTCR" : "read of unknown register at offset " + hex32(offset));
        return 0;
    }
    return peek(offset);
}

void Pdc::write(uint32_t offset, uint32_t v)
{
    switch (offset) {
    case RPR: rpr_ = v; break;
    case RCR: rcr_ = v & 0xFFFF; endrx_ = rcr_ == 0 && rncr_ == 0; break;
    case RNPR: rnpr_ = v; break;
    case RNCR: rncr_ = v & 0xFFFF; endrx_ = rcr_ == 0 && rncr_ == 0; break;
    case TPR: tpr_ = v; break;
    case TCR: tcr_ = v & 0xFFFF; endtx_ = tcr_ == 0 && tncr_ == 0; break;
    case TNPR: tnpr_ = v; break;
    case TNCR: tncr_ = v & 0xFFFF; endtx_ = tcr_ == 0 && tncr_ == 0; break;
    case PTCR:
        if (v & RXTDIS) rx_en_ = false;
        else if (v & RXTEN) rx_en_ = true;
        if (v & TXTDIS) tx_en_ = false;
        else if (v & TXTEN) tx_en_ = true;
        break;
    default:
        log_.warn(name_, "write of " + hex32(v) + (offset == PTSR ? " to read-only PDC_PTSR" : " to unknown register at offset " + hex32(offset)));
        return;
    }
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
    event_ = clock_.schedule_in(clock_.cycles_to_picos(latency_), [this] { move(); });
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

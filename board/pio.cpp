#include "board/pio.h"

#include "board/bad_access.h"

namespace board {

namespace {
enum : uint32_t {
    PER = 0x00, PDR = 0x04, PSR = 0x08,
    OER = 0x10, ODR = 0x14, OSR = 0x18,
    IFER = 0x20, IFDR = 0x24, IFSR = 0x28,
    SODR = 0x30, CODR = 0x34, ODSR = 0x38, PDSR = 0x3C,
    IER = 0x40, IDR = 0x44, IMR = 0x48, ISR = 0x4C,
    MDER = 0x50, MDDR = 0x54, MDSR = 0x58,
    PPUDR = 0x60, PPUER = 0x64, PPUSR = 0x68,
    ASR = 0x70, BSR = 0x74, ABSR = 0x78,
    OWER = 0xA0, OWDR = 0xA4, OWSR = 0xA8,
};
}

Pio::Pio(Pins &pins, Clock &clock, Log &log, std::string name)
    : pins_(pins), clock_(clock), log_(log), name_(std::move(name)), source_(pins.add_source(name_))
{
    pins_.add_listener([this](uint32_t changed, uint32_t levels) { on_lines_changed(changed, levels); });
    reset();
}

Pio::~Pio() { clock_.cancel(sample_event_); }

void Pio::reset()
{
    psr_ = 0xFFFFFFFF;
    osr_ = ifsr_ = odsr_ = imr_ = isr_ = mdsr_ = ppusr_ = absr_ = owsr_ = 0;
    pins_.set_pullups(~ppusr_);
    update_drive();
    // Lines settling at power-on are not input changes.
    clock_.cancel(sample_event_);
    sample_event_ = 0;
    sample_owed_ = false;
    pdsr_sample_ = pins_.levels();
    isr_ = 0;
    update_irq();
}

const char *Pio::register_name(uint32_t offset) const
{
    switch (offset) {
    case PER: return "PIO_PER";
    case PDR: return "PIO_PDR";
    case PSR: return "PIO_PSR";
    case OER: return "PIO_OER";
    case ODR: return "PIO_ODR";
    case OSR: return "PIO_OSR";
    case IFER: return "PIO_IFER";
    case IFDR: return "PIO_IFDR";
    case IFSR: return "PIO_IFSR";
    case SODR: return "PIO_SODR";
    case CODR: return "PIO_CODR";
    case ODSR: return "PIO_ODSR";
    case PDSR: return "PIO_PDSR";
    case IER: return "PIO_IER";
    case IDR: return "PIO_IDR";
    case IMR: return "PIO_IMR";
    case ISR: return "PIO_ISR";
    case MDER: return "PIO_MDER";
    case MDDR: return "PIO_MDDR";
    case MDSR: return "PIO_MDSR";
    case PPUDR: return "PIO_PPUDR";
    case PPUER: return "PIO_PPUER";
    case PPUSR: return "PIO_PPUSR";
    case ASR: return "PIO_ASR";
    case BSR: return "PIO_BSR";
    case ABSR: return "PIO_ABSR";
    case OWER: return "PIO_OWER";
    case OWDR: return "PIO_OWDR";
    case OWSR: return "PIO_OWSR";
    default: return nullptr;
    }
}

uint32_t Pio::peek(uint32_t offset) const
{
    switch (offset) {
    case PSR: return psr_;
    case OSR: return osr_;
    case IFSR: return ifsr_;
    case ODSR: return odsr_;
    case PDSR: return clock_on() ? pins_.levels() : pdsr_sample_;
    case IMR: return imr_;
    case ISR: return isr();
    case MDSR: return mdsr_;
    case PPUSR: return ppusr_;
    case ABSR: return absr_;
    case OWSR: return owsr_;
    default: return 0;
    }
}

uint32_t Pio::read(uint32_t offset)
{
    switch (offset) {
    case PDSR:
        if (clock_on())
            pdsr_sample_ = pins_.levels();
        return pdsr_sample_;
    case ISR: {
        settle(false);
        uint32_t v = isr_;
        isr_ = 0;
        update_irq();
        return v;
    }
    case PSR: case OSR: case IFSR: case ODSR: case IMR: case MDSR: case PPUSR: case ABSR: case OWSR:
        return peek(offset);
    default:
        log_bad_read(log_, name_, *this, offset);
        return 0;
    }
}

void Pio::write(uint32_t offset, uint32_t v)
{
    switch (offset) {
    case PER: psr_ |= v; break;
    case PDR: psr_ &= ~v; break;
    case OER: osr_ |= v; break;
    case ODR: osr_ &= ~v; break;
    case IFER: ifsr_ |= v; break;
    case IFDR: ifsr_ &= ~v; break;
    case SODR: odsr_ |= v; break;
    case CODR: odsr_ &= ~v; break;
    case ODSR: odsr_ = (odsr_ & ~owsr_) | (v & owsr_); break;
    case IER: settle(true); imr_ |= v; update_irq(); return;
    case IDR: settle(true); imr_ &= ~v; update_irq(); return;
    case MDER: mdsr_ |= v; break;
    case MDDR: mdsr_ &= ~v; break;
    case PPUDR: ppusr_ |= v; pins_.set_pullups(~ppusr_); return;
    case PPUER: ppusr_ &= ~v; pins_.set_pullups(~ppusr_); return;
    case ASR: absr_ &= ~v; break;
    case BSR: absr_ |= v; break;
    case OWER: owsr_ |= v; return;
    case OWDR: owsr_ &= ~v; return;
    default:
        log_bad_write(log_, name_, *this, offset, v);
        return;
    }
    update_drive();
}

void Pio::set_peripheral_output(Function f, uint32_t mask, uint32_t driven, uint32_t levels)
{
    periph_driven_[f] = (periph_driven_[f] & ~mask) | (driven & mask);
    periph_levels_[f] = (periph_levels_[f] & ~mask) | (levels & mask);
    update_drive();
}

void Pio::update_drive()
{
    uint32_t pio_out = psr_ & osr_;
    // Open-drain lines drive only their low level.
    uint32_t pio_driven = pio_out & ~(mdsr_ & odsr_);
    uint32_t func_a = ~psr_ & ~absr_;
    uint32_t func_b = ~psr_ & absr_;
    uint32_t driven = pio_driven | (func_a & periph_driven_[A]) | (func_b & periph_driven_[B]);
    uint32_t levels = (pio_driven & odsr_) | (func_a & periph_levels_[A]) | (func_b & periph_levels_[B]);
    pins_.drive(source_, 0xFFFFFFFF, driven, levels);
}

void Pio::on_lines_changed(uint32_t changed, uint32_t levels)
{
    if (sample_owed_) {
        if (clock_.now() >= sample_due_) {
            // Nothing changed between the sample's time and this change:
            // the lines stood as they were just before it.
            isr_ |= (levels ^ changed) ^ before_sample_;
            sample_owed_ = false;
            update_irq();
        } else if (changed & imr_) {
            schedule_sample(sample_due_);
        }
    }
    if (!clock_on())
        return;
    pdsr_sample_ = levels;
    if (sample_event_ || sample_owed_)
        return;
    before_sample_ = levels ^ changed;
    Picos due = clock_.now() + clock_.cycles_to_picos(1);
    if (changed & imr_) {
        schedule_sample(due);
    } else {
        sample_owed_ = true;
        sample_due_ = due;
    }
}

void Pio::schedule_sample(Picos when)
{
    sample_owed_ = false;
    sample_event_ = clock_.schedule_at(when, [this] {
        sample_event_ = 0;
        sample();
    });
}

void Pio::sample()
{
    if (!clock_on())
        return;
    isr_ |= pins_.levels() ^ before_sample_;
    update_irq();
}

uint32_t Pio::owed_sample() const
{
    // Owed only while the clock ran from the change on (set_clock), so
    // nothing but time decides it.
    if (!sample_owed_ || clock_.now() < sample_due_)
        return 0;
    return pins_.levels() ^ before_sample_;
}

void Pio::settle(bool to_event)
{
    if (!sample_owed_)
        return;
    if (clock_.now() >= sample_due_) {
        isr_ |= owed_sample();
        sample_owed_ = false;
        update_irq();
    } else if (to_event) {
        schedule_sample(sample_due_);
    }
}

void Pio::set_clock(bool on)
{
    if (on == clock_on_)
        return;
    settle(true);
    clock_on_ = on;
}

void Pio::update_irq()
{
    bool level = (isr_ & imr_) != 0;
    if (level == irq_)
        return;
    irq_ = level;
    if (irq_out_)
        irq_out_(level);
}

}  // namespace board

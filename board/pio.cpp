#include "board/pio.h"


namespace board {

Pio::Pio(Pins &pins, Clock &clock, Log &log, std::string name)
    : MappedDevice(log, name), pins_(pins), clock_(clock), name_(std::move(name)), source_(pins.add_source(name_))
{
    auto drive = [this] { update_drive(); };
    auto pullups = [this] { pins_.set_pullups(~ppusr_); };
    auto irq = [this] { update_irq(); };
    auto add = [this](uint32_t offset, const char *name, AccessKind access) -> Register & {
        return regs_.add(offset, std::string("PIO_") + name, access);
    };
    add(PER, "PER", AccessKind::WriteOneToSet).acts_on(psr_).then(drive);
    add(PDR, "PDR", AccessKind::WriteOneToClear).acts_on(psr_).then(drive);
    add(PSR, "PSR", AccessKind::ReadOnly).resets_to(0xFFFFFFFF).field(psr_);
    add(OER, "OER", AccessKind::WriteOneToSet).acts_on(osr_).then(drive);
    add(ODR, "ODR", AccessKind::WriteOneToClear).acts_on(osr_).then(drive);
    add(OSR, "OSR", AccessKind::ReadOnly).field(osr_);
    add(IFER, "IFER", AccessKind::WriteOneToSet).acts_on(ifsr_).then(drive);
    add(IFDR, "IFDR", AccessKind::WriteOneToClear).acts_on(ifsr_).then(drive);
    add(IFSR, "IFSR", AccessKind::ReadOnly).field(ifsr_);
    add(SODR, "SODR", AccessKind::WriteOneToSet).acts_on(odsr_).then(drive).directly<&Pio::set_outputs>(*this);
    add(CODR, "CODR", AccessKind::WriteOneToClear).acts_on(odsr_).then(drive).directly<&Pio::clear_outputs>(*this);
    add(ODSR, "ODSR", AccessKind::ReadWrite)
        .field(odsr_)
        .on_write([this](uint32_t v) { odsr_ = (odsr_ & ~owsr_) | (v & owsr_); })
        .then(drive)
        .directly<&Pio::write_outputs>(*this);
    add(PDSR, "PDSR", AccessKind::ReadOnly).value([this] { return clock_on() ? pins_.levels() : pdsr_sample_; }).on_read([this] {
        if (clock_on())
            pdsr_sample_ = pins_.levels();
        return pdsr_sample_;
    });
    add(IER, "IER", AccessKind::WriteOneToSet).acts_on(imr_).on_write([this](uint32_t v) {
        settle(true);
        imr_ |= v;
    }).then(irq);
    add(IDR, "IDR", AccessKind::WriteOneToClear).acts_on(imr_).on_write([this](uint32_t v) {
        settle(true);
        imr_ &= ~v;
    }).then(irq);
    add(IMR, "IMR", AccessKind::ReadOnly).field(imr_);
    add(ISR, "ISR", AccessKind::ReadOnly).field(isr_).value([this] { return isr(); }).on_read([this] {
        settle(false);
        uint32_t v = isr_;
        isr_ = 0;
        update_irq();
        return v;
    });
    add(MDER, "MDER", AccessKind::WriteOneToSet).acts_on(mdsr_).then(drive);
    add(MDDR, "MDDR", AccessKind::WriteOneToClear).acts_on(mdsr_).then(drive);
    add(MDSR, "MDSR", AccessKind::ReadOnly).field(mdsr_);
    // PPUSR bit 1 means the pull-up is disabled.
    add(PPUDR, "PPUDR", AccessKind::WriteOneToSet).acts_on(ppusr_).then(pullups);
    add(PPUER, "PPUER", AccessKind::WriteOneToClear).acts_on(ppusr_).then(pullups);
    add(PPUSR, "PPUSR", AccessKind::ReadOnly).field(ppusr_);
    // ABSR bit 1 selects function B.
    add(ASR, "ASR", AccessKind::WriteOneToClear).acts_on(absr_).then(drive);
    add(BSR, "BSR", AccessKind::WriteOneToSet).acts_on(absr_).then(drive);
    add(ABSR, "ABSR", AccessKind::ReadOnly).field(absr_);
    add(OWER, "OWER", AccessKind::WriteOneToSet).acts_on(owsr_);
    add(OWDR, "OWDR", AccessKind::WriteOneToClear).acts_on(owsr_);
    add(OWSR, "OWSR", AccessKind::ReadOnly).field(owsr_);
    pins_.set_controller(this);
    // What the peripherals put out and the clock are theirs and the PMC's
    // to set, through set_peripheral_output() and set_clock().
    sampler_.field("before", before_sample_)
        .field("owed", sample_owed_)
        .field("due", sample_due_)
        .event(clock_, sample_event_, name_.c_str(), {{"input sample", [this] { on_sample_event(); }}});
    state_.registers(regs_)
        .field("PDSR sample", pdsr_sample_)
        .part(sampler_)
        .kept("clock", clock_on_)
        .kept("peripheral drive", periph_driven_)
        .kept("peripheral levels", periph_levels_)
        .kept("irq", irq_.saved_level());
    reset();
}

Pio::~Pio()
{
    pins_.set_controller(nullptr);
    clock_.cancel(sample_event_);
}

void Pio::reset()
{
    state_.reset();
    pins_.set_pullups(~ppusr_);
    update_drive();
    // Lines settling at power-on are not input changes.
    sampler_.reset();
    pdsr_sample_ = pins_.levels();
    update_irq();
}

void Pio::set_peripheral_output(Function f, uint32_t mask, uint32_t driven, uint32_t levels)
{
    periph_driven_[f] = (periph_driven_[f] & ~mask) | (driven & mask);
    periph_levels_[f] = (periph_levels_[f] & ~mask) | (levels & mask);
    update_drive();
}

void Pio::set_outputs(uint32_t bits)
{
    output(odsr_ | bits);
}

void Pio::clear_outputs(uint32_t bits)
{
    output(odsr_ & ~bits);
}

void Pio::write_outputs(uint32_t levels)
{
    output((odsr_ & ~owsr_) | (levels & owsr_));
}

void Pio::output(uint32_t odsr)
{
    // A line the controller drives push-pull is driven whatever ODSR
    // holds and takes its level from it: only the lines whose level moves
    // go to the pins. An open-drain line drives or lets go.
    const uint32_t moved = (odsr ^ odsr_) & psr_ & osr_;
    odsr_ = odsr;
    if (moved & mdsr_) [[unlikely]]
        return update_drive();
    pins_.drive_levels(source_, moved, odsr);
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

void Pio::lines_changed(uint32_t changed, uint32_t levels)
{
    // Mostly a line the controller drives itself, changed again long after
    // its last change: that change's sample is due, nothing waits on the
    // clock, and this one is owed its sample in turn.
    if (sample_owed_ && clock_on_ && !sample_event_ && !(changed & imr_)) [[likely]] {
        const Picos now = clock_.now();
        if (now >= sample_due_) {
            const uint32_t before = levels ^ changed;
            isr_ |= before ^ before_sample_;
            pdsr_sample_ = levels;
            before_sample_ = before;
            sample_due_ = now + clock_.cycle_picos();
            update_irq();
            return;
        }
    }
    lines_changed_otherwise(changed, levels);
}

void Pio::lines_changed_otherwise(uint32_t changed, uint32_t levels)
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
    Picos due = clock_.now() + clock_.cycle_picos();
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
    sample_event_ = clock_.schedule_at({name_.c_str(), "input sample"}, when, [this] { on_sample_event(); });
}

void Pio::on_sample_event()
{
    sample_event_ = 0;
    sample();
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
    irq_.set((isr_ & imr_) != 0);
}

}  // namespace board

#include "board/board.h"

namespace board {

Board::Board()
{
    for (unsigned i = 0; i < kChipBlockCount; ++i) {
        const ChipBlock &block = kChipBlocks[i];
        if (!block.model)
            continue;
        Device &model = block.model(*this);
        bus.map(block.base, block.size, model, block.name);
        if (auto *source = dynamic_cast<InterruptSource *>(&model)) {
            if (block.system_irq != ChipBlock::kNone)
                source->set_irq_output(system_irq.input(static_cast<SystemIrq::Source>(block.system_irq)));
            else if (block.id != ChipBlock::kNone)
                source->set_irq_output([this, id = block.id](bool level) { aic.set_source(static_cast<unsigned>(id), level); });
        }
        if (auto *clocked = dynamic_cast<ClockInput *>(&model); clocked && block.id != ChipBlock::kNone) {
            clocked->set_clock(pmc.peripheral_clock(static_cast<unsigned>(block.id)));
            pmc.add_peripheral_clock_listener([clocked, id = block.id](uint32_t pcsr) { clocked->set_clock((pcsr >> id) & 1u); });
        }
    }
    bus.map_background(PeripheralSpace::kBase, PeripheralSpace::kSize, peripheral_space);
    rstc.set_reset_request([this](const ResetOrder &o) { reset_order_ = o; });
    wdt.set_reset_request([this] { rstc.watchdog_reset(wdt.processor_reset_only()); });
    pmc.add_master_listener([this](double hz) { mc.set_master_hz(hz); });
    mc.set_master_hz(pmc.master_hz());
}

void Board::reset()
{
    clock.reset();
    bus.state().reset();
    // The keys let go before the port resets, so that it samples the lines
    // as they stand; the display and the serial flash see the lines the
    // port leaves them.
    keys.reset();
    bus.reset_devices();
    lcd.reset();
    flash.reset();
    reset_order_.reset();
}

std::optional<ResetOrder> Board::take_reset_order()
{
    auto o = reset_order_;
    reset_order_.reset();
    return o;
}

void Board::perform_reset(const ResetOrder &order)
{
    if (order.peripherals)
        bus.reset_devices(&rstc);
    else if (order.processor)
        wdt.reset();
}

std::vector<State *> Board::parts()
{
    return {&bus.state(),   &pa.state(),   &system_irq.state(), &aic.state(),        &pmc.state(),
            &wdt.state(),   &mc.state(),   &rstc.state(),       &pit.state(),        &rtt.state(),
            &vreg.state(),  &pioa.state(), &dbgu.state(),       &spi.state(),        &peripheral_space.state(),
            &chip_flash.state(), &lcd.state(), &flash.state(),  &keys.state()};
}

std::string Board::state_layout()
{
    std::string out;
    for (State *part : parts())
        out += part->layout();
    for (State *part : attached_)
        out += part->layout();
    return out;
}

void Board::save(StateWriter &w)
{
    clock.save(w);
    // Member by member: the order's padding is not state.
    w.u8(reset_order_.has_value());
    if (reset_order_) {
        w.u8(reset_order_->processor);
        w.u8(reset_order_->peripherals);
        w.u8(reset_order_->external);
        w.u64(reset_order_->hold);
    }
    for (State *part : parts())
        part->save(w);
    w.u32(static_cast<uint32_t>(attached_.size()));
    for (State *part : attached_)
        w.text(part->name());
    for (State *part : attached_)
        part->save(w);
}

void Board::restore(StateReader &r)
{
    clock.restore(r);
    reset_order_.reset();
    if (r.u8()) {
        ResetOrder o;
        o.processor = r.u8();
        o.peripherals = r.u8();
        o.external = r.u8();
        o.hold = r.u64();
        reset_order_ = o;
    }
    for (State *part : parts())
        part->restore(r);
    // A run set up otherwise (a serial line, a JTAG port) has other parts:
    // say which, rather than which value did not match.
    std::string saved, here;
    for (uint32_t i = 0, n = r.u32(); i < n; ++i)
        saved += (i ? ", " : "") + r.text();
    for (size_t i = 0; i < attached_.size(); ++i)
        here += (i ? ", " : "") + attached_[i]->name();
    if (saved != here)
        r.fail("it was saved with the parts " + saved + "; this run has " + here);
    for (State *part : attached_)
        part->restore(r);
    clock.finish_restore();
}

}  // namespace board

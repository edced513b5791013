#include "board/board.h"

namespace board {

Board::Board()
{
    bus.map(kPioaBase, 0x200, pioa, "PIOA");
    bus.map(kAicBase, 0x200, aic, "AIC");
    bus.map(kPmcBase, 0x100, pmc, "PMC");
    bus.map(kWdtcBase, 0x10, wdt, "WDTC");
    bus.map(kMcBase, 0x100, mc, "MC");
    bus.map(kSpiBase, kSpiSize, spi, "SPI");
    bus.map(kDbguBase, 0x200, dbgu, "DBGU");
    bus.map(kRstcBase, 0x10, rstc, "RSTC");
    bus.map(kRttBase, 0x10, rtt, "RTT");
    bus.map(kPitBase, 0x10, pit, "PIT");
    bus.map(kVregBase, 0x10, vreg, "VREG");
    bus.map_background(PeripheralSpace::kBase, PeripheralSpace::kSize, peripheral_space);
    pioa.set_clock(pmc.peripheral_clock(kIdPioa));
    pmc.set_peripheral_clock_listener([this](uint32_t pcsr) { pioa.set_clock((pcsr >> kIdPioa) & 1u); });
    pioa.set_irq_output([this](bool level) { aic.set_source(kIdPioa, level); });
    spi.set_clock_query([this] { return pmc.peripheral_clock(kIdSpi); });
    spi.set_irq_output([this](bool level) { aic.set_source(kIdSpi, level); });
    dbgu.set_irq_output(system_irq.input(SystemIrq::Dbgu));
    pit.set_irq_output(system_irq.input(SystemIrq::Pit));
    rtt.set_irq_output(system_irq.input(SystemIrq::Rtt));
    rstc.set_irq_output(system_irq.input(SystemIrq::Rstc));
    mc.efc().set_irq_output(system_irq.input(SystemIrq::Mc));
    pmc.set_irq_output(system_irq.input(SystemIrq::Pmc));
    wdt.set_irq_output(system_irq.input(SystemIrq::Wdt));
    rstc.set_reset_request([this](const ResetOrder &o) { reset_order_ = o; });
    wdt.set_reset_request([this] { rstc.watchdog_reset(wdt.processor_reset_only()); });
    pmc.set_master_listener([this](double hz) { mc.set_master_hz(hz); });
    mc.set_master_hz(pmc.master_hz());
}

void Board::reset()
{
    clock.reset();
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

}  // namespace board

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
    pioa.set_clock_query([this] { return pmc.peripheral_clock(kIdPioa); });
    pioa.set_irq_output([this](bool level) { aic.set_source(kIdPioa, level); });
    spi.set_clock_query([this] { return pmc.peripheral_clock(kIdSpi); });
    spi.set_irq_output([this](bool level) { aic.set_source(kIdSpi, level); });
    pmc.set_master_listener([this](double hz) { mc.set_master_hz(hz); });
    mc.set_master_hz(pmc.master_hz());
}

void Board::reset()
{
    clock.reset();
    bus.reset_devices();
    lcd.reset();
    flash.reset();
}

}  // namespace board

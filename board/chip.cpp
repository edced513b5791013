#include "board/chip.h"

#include "board/board.h"

namespace board {

namespace {
constexpr int kNone = ChipBlock::kNone;
template <auto Member>
Device &member(Board &b)
{
    return b.*Member;
}
}  // namespace

const ChipBlock kChipBlocks[] = {
    {"AIC", kAicBase, 0x200, kNone, kNone, member<&Board::aic>},
    {"DBGU", kDbguBase, 0x200, kNone, SystemIrq::Dbgu, member<&Board::dbgu>},
    {"PIOA", kPioaBase, 0x200, kIdPioa, kNone, member<&Board::pioa>},
    {"PMC", kPmcBase, 0x100, kNone, SystemIrq::Pmc, member<&Board::pmc>},
    {"RSTC", kRstcBase, 0x10, kNone, SystemIrq::Rstc, member<&Board::rstc>},
    {"RTT", kRttBase, 0x10, kNone, SystemIrq::Rtt, member<&Board::rtt>},
    {"PIT", kPitBase, 0x10, kNone, SystemIrq::Pit, member<&Board::pit>},
    {"WDTC", kWdtcBase, 0x10, kNone, SystemIrq::Wdt, member<&Board::wdt>},
    {"VREG", kVregBase, 0x10, kNone, kNone, member<&Board::vreg>},
    {"MC", kMcBase, 0x100, kNone, SystemIrq::Mc, member<&Board::mc>},
    {"SPI", kSpiBase, kSpiSize, kIdSpi, kNone, member<&Board::spi>},
    {"ADC", 0xFFFD8000, 0x4000, 4, kNone, nullptr},
    {"USART0", 0xFFFC0000, 0x4000, 6, kNone, nullptr},
    {"USART1", 0xFFFC4000, 0x4000, 7, kNone, nullptr},
    {"SSC", 0xFFFD4000, 0x4000, 8, kNone, nullptr},
    {"TWI", 0xFFFB8000, 0x4000, 9, kNone, nullptr},
    {"PWMC", 0xFFFCC000, 0x4000, 10, kNone, nullptr},
    {"UDP", 0xFFFB0000, 0x4000, 11, kNone, nullptr},
    {"TC", 0xFFFA0000, 0x4000, 12, kNone, nullptr},   // three channels: identifiers 12..14
};
const unsigned kChipBlockCount = sizeof kChipBlocks / sizeof kChipBlocks[0];

const ChipBlock *chip_block_at(uint32_t address)
{
    for (const ChipBlock &b : kChipBlocks)
        if (address - b.base < b.size)
            return &b;
    return nullptr;
}

}  // namespace board

#include "sim/tools/board_waves.h"

namespace simtools {

namespace {
struct Line {
    int pin;
    const char *name;
};
// SPI lines are drawn from the transfers, not from these nets.
constexpr Line kLines[] = {
    {5, "KEY_INC"}, {6, "KEY_DEC"}, {7, "KEY_CLR"}, {11, "FLASH_CS"}, {16, "LED"},
    {17, "LCD_RS"}, {18, "LCD_RW"}, {19, "LCD_E"}, {20, "LCD_D4"}, {21, "LCD_D5"}, {22, "LCD_D6"}, {23, "LCD_D7"},
};
}  // namespace

BoardWaves::BoardWaves(board::Pins &pa, const board::Clock &clock, std::ostream &out, board::Picos timescale_ps)
    : clock_(clock), vcd_(out, timescale_ps)
{
    for (int &w : line_wire_) w = -1;
    uint32_t levels = pa.levels();
    for (const Line &l : kLines) line_wire_[l.pin] = vcd_.add_wire("PA", l.name, (levels >> l.pin) & 1u);
    miso_ = vcd_.add_wire("SPI", "MISO", (levels >> 12) & 1u);
    mosi_ = vcd_.add_wire("SPI", "MOSI", (levels >> 13) & 1u);
    spck_ = vcd_.add_wire("SPI", "SPCK", true);
    nirq_ = vcd_.add_wire("CPU", "nIRQ", true);
    vcd_.start();
    pa.add_listener([this](uint32_t changed, uint32_t levels) { on_lines(changed, levels); });
}

void BoardWaves::on_lines(uint32_t changed, uint32_t levels)
{
    if (finished_) return;
    board::Picos now = clock_.now();
    for (int pin = 0; pin < 32; ++pin)
        if (((changed >> pin) & 1u) && line_wire_[pin] >= 0) vcd_.change(now, line_wire_[pin], (levels >> pin) & 1u);
    if (now > kHoldBack) vcd_.flush(now - kHoldBack);
}

void BoardWaves::spi_transfer(board::Picos start, board::Picos end, uint8_t mosi, uint8_t miso)
{
    if (finished_ || end <= start) return;
    board::Picos span = end - start;
    for (int bit = 0; bit < 8; ++bit) {
        board::Picos fall = start + span * (2 * bit) / 16;
        board::Picos rise = start + span * (2 * bit + 1) / 16;
        vcd_.change(fall, spck_, false);
        vcd_.change(fall, mosi_, (mosi >> (7 - bit)) & 1u);
        vcd_.change(fall, miso_, (miso >> (7 - bit)) & 1u);
        vcd_.change(rise, spck_, true);
    }
}

void BoardWaves::set_nirq_level(bool level)
{
    if (!finished_) vcd_.change(clock_.now(), nirq_, level);
}

void BoardWaves::finish()
{
    if (finished_) return;
    vcd_.finish(clock_.now());
    finished_ = true;
}

}  // namespace simtools

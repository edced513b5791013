#include "sim/tools/board_waves.h"

namespace simtools {

namespace {
struct Line {
    int pin;
    const char *scope, *name;
};
constexpr Line kLines[] = {
    {5, "PA", "KEY_INC"}, {6, "PA", "KEY_DEC"}, {7, "PA", "KEY_CLR"}, {11, "PA", "FLASH_CS"}, {16, "PA", "LED"},
    {12, "SPI", "MISO"}, {13, "SPI", "MOSI"}, {14, "SPI", "SPCK"},
    {17, "LCD", "RS"}, {18, "LCD", "RW"}, {19, "LCD", "E"},
    {20, "LCD", "D4"}, {21, "LCD", "D5"}, {22, "LCD", "D6"}, {23, "LCD", "D7"},
};
}  // namespace

BoardWaves::BoardWaves(board::Pins &pa, const board::Clock &clock, std::ostream &out, board::Picos timescale_ps)
    : clock_(clock), vcd_(out, timescale_ps)
{
    for (int &w : line_wire_) w = -1;
    uint32_t levels = pa.levels();
    for (const Line &l : kLines) line_wire_[l.pin] = vcd_.add_wire(l.scope, l.name, (levels >> l.pin) & 1u);
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
    vcd_.flush(now);
}

void BoardWaves::set_nirq_level(bool level)
{
    if (finished_) return;
    vcd_.change(clock_.now(), nirq_, level);
    vcd_.flush(clock_.now());
}

void BoardWaves::finish()
{
    if (finished_) return;
    vcd_.finish(clock_.now());
    finished_ = true;
}

}  // namespace simtools

#include "sim/tools/board_waves.h"

namespace simtools {

namespace {
struct Line {
    int pin;
    unsigned group;
    const char *scope, *name;
};
constexpr Line kLines[] = {
    {5, kWavesKeys, "PA", "KEY_INC"}, {6, kWavesKeys, "PA", "KEY_DEC"}, {7, kWavesKeys, "PA", "KEY_CLR"},
    {11, kWavesSpi, "PA", "FLASH_CS"}, {16, kWavesLed, "PA", "LED"},
    {12, kWavesSpi, "SPI", "MISO"}, {13, kWavesSpi, "SPI", "MOSI"}, {14, kWavesSpi, "SPI", "SPCK"},
    {17, kWavesLcd, "LCD", "RS"}, {18, kWavesLcd, "LCD", "RW"}, {19, kWavesLcd, "LCD", "E"},
    {20, kWavesLcd, "LCD", "D4"}, {21, kWavesLcd, "LCD", "D5"}, {22, kWavesLcd, "LCD", "D6"}, {23, kWavesLcd, "LCD", "D7"},
};
}  // namespace

bool parse_wave_groups(const std::string &text, unsigned &groups, std::string &error)
{
    groups = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string word = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (word == "lcd") groups |= kWavesLcd;
        else if (word == "spi") groups |= kWavesSpi;
        else if (word == "led") groups |= kWavesLed;
        else if (word == "keys") groups |= kWavesKeys;
        else if (word == "irq") groups |= kWavesIrq;
        else if (word == "all") groups |= kWavesAll;
        else {
            error = "unknown signal group '" + word + "' (use lcd, spi, led, keys, irq or all, separated by commas)";
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

BoardWaves::BoardWaves(board::Pins &pa, const board::Clock &clock, std::ostream &out, unsigned groups,
                       board::Picos timescale_ps)
    : clock_(clock), vcd_(out, timescale_ps)
{
    for (int &w : line_wire_) w = -1;
    uint32_t levels = pa.levels(), watched = 0;
    for (const Line &l : kLines) {
        if (!(groups & l.group)) continue;
        line_wire_[l.pin] = vcd_.add_wire(l.scope, l.name, (levels >> l.pin) & 1u);
        watched |= 1u << l.pin;
    }
    if (groups & kWavesIrq) nirq_ = vcd_.add_wire("CPU", "nIRQ", true);
    vcd_.start();
    pa.add_listener([this](uint32_t changed, uint32_t levels) { on_lines(changed, levels); }, watched);
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
    if (finished_ || nirq_ < 0) return;
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

#include "sim/tools/board_waves.h"

#include "board/nets.h"

namespace simtools {

namespace {
// The waveform's signal groups, by the names the nets (board/nets.h) and
// the command line give them.
struct Group {
    const char *name;
    unsigned bit;
};
constexpr Group kGroups[] = {
    {"lcd", kWavesLcd}, {"spi", kWavesSpi}, {"led", kWavesLed}, {"keys", kWavesKeys}, {"irq", kWavesIrq}, {"all", kWavesAll},
};

unsigned group_bit(const std::string &name)
{
    for (const Group &g : kGroups)
        if (name == g.name)
            return g.bit;
    return 0;
}
}  // namespace

std::string wave_group_list()
{
    std::string list;
    for (size_t i = 0; i < std::size(kGroups); ++i)
        list += (i == 0 ? "" : i + 1 == std::size(kGroups) ? " or " : ", ") + std::string(kGroups[i].name);
    return list;
}

bool parse_wave_groups(const std::string &text, unsigned &groups, std::string &error)
{
    groups = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string word = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        unsigned bit = group_bit(word);
        if (!bit) {
            error = "unknown signal group '" + word + "' (use " + wave_group_list() + ", separated by commas)";
            return false;
        }
        groups |= bit;
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
    for (const board::Net &n : board::kBoardNets) {
        if (!(groups & group_bit(n.group))) continue;
        line_wire_[n.line] = vcd_.add_wire(n.scope, n.name, (levels >> n.line) & 1u);
        watched |= 1u << n.line;
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

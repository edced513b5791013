#include "sim/tools/vcd_writer.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace simtools {

VcdWriter::VcdWriter(std::ostream &out, board::Picos timescale_ps) : out_(out), timescale_(timescale_ps)
{
    board::Picos t = timescale_ps;
    while (t > 1 && t % 10 == 0) t /= 10;
    if (t != 1 || timescale_ps == 0) throw std::invalid_argument("VCD timescale must be a power of ten picoseconds");
}

std::string VcdWriter::code_for(int index)
{
    // Identifier codes are printable ASCII from '!' to '~'.
    std::string code;
    do {
        code += static_cast<char>('!' + index % 94);
        index /= 94;
    } while (index > 0);
    return code;
}

int VcdWriter::add_wire(const std::string &scope, const std::string &name, bool initial)
{
    if (started_) throw std::logic_error("VCD wire added after the header");
    wires_.push_back({scope, name, code_for(static_cast<int>(wires_.size())), initial});
    return static_cast<int>(wires_.size() - 1);
}

void VcdWriter::start()
{
    static const char *const units[] = {"ps", "ns", "us", "ms", "s"};
    board::Picos t = timescale_;
    int exp = 0;
    while (t >= 10) {
        t /= 10;
        ++exp;
    }
    int mult = 1;
    for (int i = 0; i < exp % 3; ++i) mult *= 10;
    out_ << "$version boardsim $end\n$timescale " << mult << " " << units[exp / 3] << " $end\n";
    std::string scope;
    for (const Wire &w : wires_) {
        if (w.scope != scope) {
            if (!scope.empty()) out_ << "$upscope $end\n";
            scope = w.scope;
            out_ << "$scope module " << scope << " $end\n";
        }
        out_ << "$var wire 1 " << w.code << " " << w.name << " $end\n";
    }
    if (!scope.empty()) out_ << "$upscope $end\n";
    out_ << "$enddefinitions $end\n#0\n$dumpvars\n";
    for (const Wire &w : wires_) out_ << (w.value ? '1' : '0') << w.code << "\n";
    out_ << "$end\n";
    started_ = true;
}

void VcdWriter::change(board::Picos time, int wire, bool level)
{
    uint64_t tick = time / timescale_;
    if (tick < flushed_tick_) {
        ++late_;
        tick = flushed_tick_;
    }
    held_.push_back({tick, sequence_++, wire, level});
}

void VcdWriter::flush(board::Picos up_to)
{
    if (!started_) start();
    uint64_t limit = up_to / timescale_;
    auto ready = std::stable_partition(held_.begin(), held_.end(), [&](const Change &c) { return c.tick <= limit; });
    std::vector<Change> now(held_.begin(), ready);
    held_.erase(held_.begin(), ready);
    std::sort(now.begin(), now.end(),
              [](const Change &a, const Change &b) { return a.tick != b.tick ? a.tick < b.tick : a.sequence < b.sequence; });
    for (size_t i = 0; i < now.size();) {
        uint64_t tick = now[i].tick;
        std::map<int, bool> last;   // per wire, the last level given within this tick
        std::vector<int> order;
        for (; i < now.size() && now[i].tick == tick; ++i) {
            if (!last.count(now[i].wire)) order.push_back(now[i].wire);
            last[now[i].wire] = now[i].level;
        }
        bool stamped = false;
        for (int w : order) {
            if (wires_[w].value == last[w]) continue;
            if (!stamped && tick != last_written_tick_) out_ << "#" << tick << "\n";
            stamped = true;
            wires_[w].value = last[w];
            out_ << (last[w] ? '1' : '0') << wires_[w].code << "\n";
            ++written_;
        }
        if (stamped) last_written_tick_ = tick;
    }
    flushed_tick_ = std::max(flushed_tick_, limit);
}

void VcdWriter::finish(board::Picos end)
{
    if (finished_) return;
    flush(UINT64_MAX);
    uint64_t tick = std::max<uint64_t>(end / timescale_, last_written_tick_);
    if (tick != last_written_tick_ || written_ == 0) out_ << "#" << tick << "\n";
    out_.flush();
    finished_ = true;
}

}  // namespace simtools

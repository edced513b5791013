#include "sim/gdb_target.h"

#include <csignal>
#include <sstream>

#include "sim/memory_map.h"
#include "sim/tools/trace.h"

namespace sim {

namespace {
bool overlaps(uint32_t a, uint32_t alen, uint32_t b, uint32_t blen)
{
    return uint64_t(a) < uint64_t(b) + blen && uint64_t(b) < uint64_t(a) + alen;
}
}  // namespace

MachineDebugTarget::MachineDebugTarget(Session &session) : session_(session) {}

MachineDebugTarget::~MachineDebugTarget() { clear_all(); }

void MachineDebugTarget::clear_all()
{
    for (auto &[address, count] : breakpoints_) session_.machine.remove_breakpoint(address);
    breakpoints_.clear();
    watchpoints_.clear();
    update_hooks();
}

uint32_t MachineDebugTarget::read_register(int n) { return session_.machine.cpu().reg(n); }

void MachineDebugTarget::write_register(int n, uint32_t value)
{
    Cpu &cpu = session_.machine.cpu();
    if (n != 15) {
        cpu.set_reg(n, value);
        return;
    }
    // A new pc (jump, call, "set $pc", "continue ADDR") runs in the state
    // its bit 0 or its function's symbol gives, else in the present one. The
    // core takes bit 0 of a pc write as the T bit, as BX does.
    const ElfImage *image = session_.machine.image();
    std::optional<bool> symbol = image ? image->thumb_at(value & ~1u) : std::nullopt;
    bool thumb = (value & 1u) ? true : symbol.value_or(cpu.thumb());
    cpu.set_reg(15, thumb ? (value & ~1u) | 1u : value & ~3u);
}

bool MachineDebugTarget::read_memory(uint32_t address, uint8_t *out, uint32_t length)
{
    return session_.machine.peek(address, out, length);
}

bool MachineDebugTarget::write_memory(uint32_t address, const uint8_t *data, uint32_t length)
{
    return session_.machine.poke(address, data, length);
}

bool MachineDebugTarget::set_breakpoint(uint32_t address, bool)
{
    address &= ~1u;
    if (breakpoints_[address]++ == 0) session_.machine.add_breakpoint(address);
    return true;
}

bool MachineDebugTarget::clear_breakpoint(uint32_t address, bool)
{
    address &= ~1u;
    auto it = breakpoints_.find(address);
    if (it == breakpoints_.end()) return false;
    if (--it->second == 0) {
        breakpoints_.erase(it);
        session_.machine.remove_breakpoint(address);
    }
    return true;
}

bool MachineDebugTarget::set_watchpoint(uint32_t address, uint32_t length, simtools::WatchKind kind)
{
    // RAM only: a peripheral register changes on its own, and flash does not change.
    if (address < MemoryMap::kRamBase || uint64_t(address) + length > uint64_t(MemoryMap::kRamBase) + MemoryMap::kRamSize)
        return false;
    ++watchpoints_[{address, length, kind}];
    update_hooks();
    return true;
}

bool MachineDebugTarget::clear_watchpoint(uint32_t address, uint32_t length, simtools::WatchKind kind)
{
    auto it = watchpoints_.find({address, length, kind});
    if (it == watchpoints_.end()) return false;
    if (--it->second == 0) watchpoints_.erase(it);
    update_hooks();
    return true;
}

void MachineDebugTarget::update_hooks()
{
    uc_engine *uc = session_.machine.cpu().uc();
    bool want = !watchpoints_.empty();
    if (want && !access_hook_) {
        uc_hook_add(uc, &access_hook_, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(on_access), this,
                    MemoryMap::kRamBase, MemoryMap::kRamBase + MemoryMap::kRamSize - 1);
        uc_hook_add(uc, &block_hook_, UC_HOOK_BLOCK, reinterpret_cast<void *>(on_block), this, 1, 0);
    } else if (!want && access_hook_) {
        uc_hook_del(uc, access_hook_);
        uc_hook_del(uc, block_hook_);
        access_hook_ = block_hook_ = 0;
    }
}

void MachineDebugTarget::on_access(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    auto *self = static_cast<MachineDebugTarget *>(user);
    if (self->hit_) return;
    bool write = type == UC_MEM_WRITE;
    for (const auto &[key, count] : self->watchpoints_) {
        auto [a, len, kind] = key;
        if (!overlaps(a, len, static_cast<uint32_t>(address), static_cast<uint32_t>(size))) continue;
        if ((kind == simtools::WatchKind::Write && !write) || (kind == simtools::WatchKind::Read && write)) continue;
        // Stopping here would leave pc at the start of the block, whose
        // stores are done, and run them again: the stop waits for the next block.
        self->hit_ = simtools::StopEvent{simtools::StopCause::Watchpoint, kind, static_cast<uint32_t>(address), 5};
        return;
    }
}

void MachineDebugTarget::on_block(uc_engine *, uint64_t, uint32_t, void *user)
{
    auto *self = static_cast<MachineDebugTarget *>(user);
    if (self->hit_) self->session_.machine.request_stop();
}

std::optional<simtools::StopEvent> MachineDebugTarget::after_run(size_t faults_before)
{
    if (hit_) {
        auto ev = *hit_;
        hit_.reset();
        return ev;
    }
    const auto &faults = session_.machine.faults();
    if (faults.size() > faults_before) {
        bool undefined = faults.back().what.find("undefined") != std::string::npos;
        return simtools::StopEvent{simtools::StopCause::Fault, simtools::WatchKind::Write, 0, undefined ? SIGILL : SIGSEGV};
    }
    return std::nullopt;
}

simtools::StopEvent MachineDebugTarget::step()
{
    size_t faults = session_.machine.faults().size();
    session_.machine.step();
    if (auto ev = after_run(faults)) return *ev;
    return {simtools::StopCause::Step};
}

simtools::StopEvent MachineDebugTarget::run_slice()
{
    size_t faults = session_.machine.faults().size();
    Machine::Stop stop = slice_end_ ? session_.machine.run_until(std::min(*slice_end_, session_.board.clock.now() + kSlice))
                                    : session_.machine.run_for(kSlice);
    if (auto ev = after_run(faults)) return *ev;
    if (stop == Machine::Stop::Breakpoint) return {simtools::StopCause::Breakpoint};
    return {};
}

bool MachineDebugTarget::monitor(const std::string &command, std::string &output)
{
    std::istringstream in(command);
    std::string verb, arg;
    in >> verb >> arg;
    if (verb == "press" || verb == "release") {
        auto key = Keys::find(arg);
        if (!key) {
            output = "no key '" + arg + "' (KEY_INC, KEY_DEC, KEY_CLR)\n";
            return false;
        }
        if (verb == "press")
            session_.keys.press(*key);
        else
            session_.keys.release(*key);
        output = std::string(Keys::kKeys[*key].name) + (verb == "press" ? " pressed\n" : " released\n");
        return true;
    }
    if (verb == "time") {
        output = "virtual time " + simtools::format_time(session_.board.clock.now()) + " s, " +
                 std::to_string(session_.machine.cycles()) + " cycles\n";
        return true;
    }
    output = "monitor commands: press KEY, release KEY (KEY_INC, KEY_DEC, KEY_CLR), time\n";
    return verb == "help";
}

}  // namespace sim

// A tiny machine for exercising the debugger protocol without a CPU: flash
// from 0x00100000, RAM from 0x00200000, and one peripheral register at
// 0xFFFFF44C that, like an interrupt status register, clears when read.
// Every "instruction" is two bytes long; the one at 0x00100010 increments the
// word at 0x00200000, and the program loops from 0x00100040 back to the start.
#pragma once

#include <atomic>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "sim/tools/debug_target.h"

namespace testing_support {

class FakeTarget : public simtools::DebugTarget {
public:
    static constexpr uint32_t kFlash = 0x00100000, kRam = 0x00200000, kStatus = 0xFFFFF44C;
    static constexpr uint32_t kIncrementAt = 0x00100010, kLoopEnd = 0x00100040;

    std::vector<uint8_t> flash = std::vector<uint8_t>(0x1000), ram = std::vector<uint8_t>(0x1000);
    uint32_t regs[kRegisters] = {};
    uint32_t status = 0x20;      // a latched key change
    int status_reads = 0;        // reads with side effects
    std::atomic<uint64_t> executed{0};   // read by the test while the server runs the target
    uint64_t slice = 1000;
    std::set<uint32_t> breakpoints;
    std::set<std::tuple<uint32_t, uint32_t, simtools::WatchKind>> watchpoints;

    FakeTarget()
    {
        regs[15] = kFlash;
        regs[13] = kRam + 0x800;
        regs[kCpsr] = 0x000000D3;
        for (size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<uint8_t>(i);
    }

    uint32_t read_register(int n) override { return regs[n]; }
    void write_register(int n, uint32_t v) override { regs[n] = v; }

    bool read_memory(uint32_t a, uint8_t *out, uint32_t n) override
    {
        for (uint32_t i = 0; i < n; ++i)
            if (!peek8(a + i, out[i])) return false;
        return true;
    }
    bool write_memory(uint32_t a, const uint8_t *d, uint32_t n) override
    {
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t *p = at(a + i);
            if (!p) return false;
        }
        for (uint32_t i = 0; i < n; ++i) *at(a + i) = d[i];
        return true;
    }
    bool set_breakpoint(uint32_t a, bool) override { return breakpoints.insert(a).second || true; }
    bool clear_breakpoint(uint32_t a, bool) override { return breakpoints.erase(a) == 1; }
    bool set_watchpoint(uint32_t a, uint32_t l, simtools::WatchKind k) override
    {
        if (a < kRam || a >= kRam + ram.size()) return false;   // RAM only, as on the board
        watchpoints.insert({a, l, k});
        return true;
    }
    bool clear_watchpoint(uint32_t a, uint32_t l, simtools::WatchKind k) override
    {
        return watchpoints.erase({a, l, k}) == 1;
    }

    simtools::StopEvent step() override
    {
        simtools::StopEvent ev = execute();
        if (ev.cause == simtools::StopCause::None) ev.cause = simtools::StopCause::Step;
        return ev;
    }
    simtools::StopEvent run_slice() override
    {
        for (uint64_t i = 0; i < slice; ++i) {
            simtools::StopEvent ev = execute();
            if (ev.cause != simtools::StopCause::None) return ev;
            if (breakpoints.count(regs[15])) return {simtools::StopCause::Breakpoint};
        }
        return {};
    }

    bool monitor(const std::string &command, std::string &output) override
    {
        if (command != "status") return simtools::DebugTarget::monitor(command, output);
        output = "status " + std::to_string(status) + "\n";
        return true;
    }

    // A read as the CPU makes it, with the register's side effect.
    uint32_t cpu_read_status()
    {
        ++status_reads;
        uint32_t v = status;
        status = 0;
        return v;
    }

private:
    simtools::StopEvent execute()
    {
        uint32_t pc = regs[15];
        ++executed;
        regs[15] = pc + 2 >= kLoopEnd ? kFlash : pc + 2;
        if (pc == kIncrementAt) {
            uint32_t v;
            std::memcpy(&v, ram.data(), 4);
            ++v;
            std::memcpy(ram.data(), &v, 4);
            for (auto &[a, l, k] : watchpoints)
                if (k != simtools::WatchKind::Read && a < kRam + 4 && a + l > kRam)
                    return {simtools::StopCause::Watchpoint, k, kRam};
        }
        return {};
    }
    uint8_t *at(uint32_t a)
    {
        if (a >= kFlash && a < kFlash + flash.size()) return &flash[a - kFlash];
        if (a >= kRam && a < kRam + ram.size()) return &ram[a - kRam];
        return nullptr;
    }
    bool peek8(uint32_t a, uint8_t &v)
    {
        if (uint8_t *p = at(a)) {
            v = *p;
            return true;
        }
        if (a >= kStatus && a < kStatus + 4) {
            v = static_cast<uint8_t>(status >> (8 * (a - kStatus)));
            return true;
        }
        return false;
    }
};

}  // namespace testing_support

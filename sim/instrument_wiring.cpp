#include "sim/instrument_wiring.h"

#include <array>
#include <memory>
#include <optional>

#include "sim/memory_map.h"

namespace sim {

void attach_instruments(simtools::Instruments &in, Session &s)
{
    Machine &m = s.machine;
    board::Board &b = s.board;
    in.set_pc_source([&m] { return m.cpu().pc(); });
    in.set_time_source([&m] { return m.cycles(); },
                       [&m, &b] { return b.clock.now() + b.clock.cycles_to_picos(m.cycles() - b.clock.cycles()); });
    b.aic.add_listener([&in](bool nirq, bool) { in.nirq(nirq); });

    in.set_stack_region(MemoryMap::kRamBase, MemoryMap::kRamBase + MemoryMap::kRamSize);
    std::optional<uint32_t> main_entry;
    if (const ElfImage *image = m.image())
        if (auto a = image->address_of("main")) main_entry = *a & ~1u;

    if (!in.wants_blocks()) return;
    // Exceptions are taken between blocks: the first block after one is at
    // its vector, in its mode, with the interrupted state in SPSR.
    auto counts = std::make_shared<std::array<uint64_t, 6>>();
    m.set_block_observer([&in, &m, counts, main_entry](uint32_t address, uint32_t size) mutable {
        Cpu &cpu = m.cpu();
        for (int e = 0; e < 6; ++e) {
            uint64_t n = m.exceptions_taken(static_cast<Exception>(e));
            if (n == (*counts)[e]) continue;
            (*counts)[e] = n;
            // IRQ and FIQ save the interrupted instruction's address + 4.
            in.exception(cpu.cpsr(), cpu.reg(14) - 4, cpu.spsr());
        }
        if (main_entry && address == *main_entry) {
            // The start-up code ran on a temporary stack; the program's own starts here.
            in.restart_stack(cpu.cpsr());
            main_entry.reset();
        }
        in.block(address, cpu.cpsr(), cpu.reg(13));
        // The instructions of the block, listed as it starts: the emulator
        // runs a block to its end unless an abort cuts it short.
        if (in.wants_instructions())
            if (const uint8_t *code = m.memory().host(address, size))
                for (uint32_t off = 0; off < size;)
                    off += static_cast<uint32_t>(in.instruction(address + off, code + off, size - off, cpu.thumb()));
    });
}

}  // namespace sim

#include "sim/instrument_wiring.h"

#include <array>
#include <memory>
#include <optional>

#include "sim/fault_locator.h"
#include "sim/memory_map.h"

namespace sim {

void attach_instruments(simtools::Instruments &in, Session &s)
{
    Machine &m = s.machine;
    board::Board &b = s.board;
    // The emulator shows pc at the start of the block during an access; the
    // instruction is found by decoding the block, as for a data abort. The
    // accesses of one block come in program order, so each search starts
    // after the instruction found for the one before.
    struct Block {
        uint32_t start = 0, size = 0, next = 0;
    };
    auto block = std::make_shared<Block>();
    in.set_pc_source([&m, block](uint32_t address) {
        Cpu &cpu = m.cpu();
        uint32_t regs[16];
        for (int i = 0; i < 16; ++i) regs[i] = cpu.reg(i);
        bool thumb = cpu.thumb();
        for (uint32_t from : {block->next, block->start}) {
            if (from < block->start || from >= block->start + block->size) continue;
            uint32_t size = block->start + block->size - from;
            if (const uint8_t *code = m.memory().host(from, size))
                if (auto at = find_faulting_access(code, from, size, thumb, regs, address)) {
                    block->next = *at + (thumb ? 2 : 4);
                    return *at;
                }
        }
        return cpu.pc();
    });
    in.set_time_source([&m] { return m.cycles(); },
                       [&m, &b] { return b.clock.now() + b.clock.cycles_to_picos(m.cycles() - b.clock.cycles()); });
    b.aic.add_listener([&in](bool nirq, bool) { in.nirq(nirq); });

    in.set_stack_region(MemoryMap::kRamBase, MemoryMap::kRamBase + MemoryMap::kRamSize);
    in.set_rules(&b.log.rules);
    std::optional<uint32_t> main_entry;
    if (const ElfImage *image = m.image())
        if (auto a = image->address_of("main")) main_entry = *a & ~1u;

    if (!in.wants_blocks()) return;
    // Exceptions are taken between blocks: the first block after one is at
    // its vector, in its mode, with the interrupted state in SPSR.
    auto counts = std::make_shared<std::array<uint64_t, 6>>();
    m.set_block_observer([&in, &m, counts, main_entry, block](uint32_t address, uint32_t size) mutable {
        *block = {address, size, address};
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

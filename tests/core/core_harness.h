// A bare ARM7TDMI on a tiny bus for the core's directed tests: 64 KiB of
// "flash" at 0 (read-only to the core, configurable wait states, 32-bit
// fetches), 64 KiB of RAM at 0x00200000, a peripheral window at 0xFFF00000
// whose accesses are logged with their cycle, and nothing anywhere else
// (accesses there abort). Programs are assembled from source text with the
// cross assembler and linked at 0.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/core/arm7tdmi.h"

namespace coretest {

constexpr uint32_t kRam = 0x00200000;
constexpr uint32_t kIo = 0xFFF00000;
// A store here ends the run (Stop::Requested).
constexpr uint32_t kHalt = 0xFFF0FFF0;
// A store here drops nIRQ and nFIQ (an interrupt handler's acknowledge).
constexpr uint32_t kAcknowledge = 0xFFF00200;
// Reads of this register count up: the core's cycle count / 16 (a timer).
constexpr uint32_t kTimer = 0xFFF00100;

struct BusAccess {
    uint32_t address;
    unsigned size;
    bool write;
    uint32_t value;
    uint64_t cycle;
};

class TestBus : public sim::CoreBus {
public:
    bool read(uint32_t address, unsigned size, uint64_t cycle, uint32_t &value, unsigned &wait) override;
    bool write(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait) override;
    bool aborts_misaligned() const override { return abort_misaligned; }
    void aborted(const sim::AbortInfo &info) override { aborts.push_back(info); }

    sim::Arm7tdmi *core = nullptr;
    std::vector<BusAccess> log;
    std::vector<sim::AbortInfo> aborts;
    std::map<uint32_t, uint32_t> io;   // peripheral registers by address
    unsigned io_wait = 0;
    uint32_t raise_irq_at = 0;   // a store here asserts nIRQ
    bool abort_misaligned = false;
    // A word stored in the peripheral window opens a port for its address
    // (as the simulator's bus does), which takes the later ones while there
    // are no wait states, and refuses every third (as an event due would).
    bool ports = false;
    unsigned port_calls = 0;

private:
    static bool store_at_port(const Port &p, uint64_t cycle, uint32_t value);
};

struct Program {
    std::vector<uint8_t> image;
    std::map<std::string, uint32_t> symbols;
};

// Assembles and links `source` at address 0 (ARM unless it says `.thumb`).
// Fails the test (and returns an empty program) when the toolchain refuses it.
Program assemble(const std::string &source);

class Board {
public:
    explicit Board(const std::string &source, uint8_t flash_wait_n = 0, uint8_t flash_wait_s = 0);
    void map(uint8_t flash_wait_n, uint8_t flash_wait_s, bool read_buffer = true);
    // The program copied into RAM, which then shows at 0 as well as at its
    // own address (as after the memory controller's remap): code that
    // stores into itself. Resets the core.
    void code_in_ram();

    uint32_t at(const std::string &label) const;
    // Runs until the store to kHalt (or `limit` cycles); returns the stop.
    sim::Arm7tdmi::Stop run(uint64_t limit = 1'000'000);
    // Runs to `label` (a breakpoint), from wherever the core is.
    void run_to(const std::string &label);
    uint32_t ram_word(uint32_t address) const;
    void set_ram_word(uint32_t address, uint32_t value);

    Program program;
    std::vector<uint8_t> flash = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> ram = std::vector<uint8_t>(0x10000);
    TestBus bus;
    sim::Arm7tdmi core{bus};
};

// Vectors, an IRQ handler counting its calls at 0x00200000 (then running
// `in_handler`, with r12 = 0x00200000), and stacks for IRQ and supervisor
// mode; the start goes on after it.
inline std::string irq_counting_start(const std::string &in_handler = "")
{
    return R"(
        b reset
        .rept 5
        b .
        .endr
        b irq
        b .
    irq:
        stmfd sp!, {r11, r12}
        ldr r12, =0xFFF00200
        str r12, [r12]
        ldr r12, =0x00200000
        ldr r11, [r12]
        add r11, r11, #1
        str r11, [r12]
    )" + in_handler + R"(
        ldmfd sp!, {r11, r12}
        subs pc, lr, #4
    reset:
        msr cpsr_c, #0xD2
        ldr sp, =0x00208000
        msr cpsr_c, #0x53
        ldr sp, =0x00210000
    )";
}

// That start entering Thumb code at `main` (which ends with a store to kHalt).
inline std::string irq_counting_program(const std::string &thumb_main)
{
    return irq_counting_start() + R"(
        adr r0, main + 1
        bx r0
        .ltorg
        .thumb
        .thumb_func
    main:
    )" + thumb_main + R"(
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
    done:
        b done
        .ltorg
    )";
}

// The firmware's delay loops, instruction for instruction.
inline const std::string kFirmwareDelays = "\n.include \"" SOURCE_DIR "/tests/core/firmware_delays.s\"\n";

}  // namespace coretest

// What the differential test sets up and compares on both CPUs: the whole
// register file (every mode's bank and SPSR), and the memory the generated
// code may touch. The layout below is shared by the generator and both
// runners.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace diff {

constexpr uint32_t kCodeBase = 0x00100000;
constexpr uint32_t kCodeSize = 0x1000;
// General data accesses land in the first half of the data window; each
// mode's stack pointer starts in the second half, far enough apart that the
// stack operations of one sequence stay inside that mode's slice.
constexpr uint32_t kDataBase = 0x00200000;
constexpr uint32_t kDataSize = 0x8000;
constexpr uint32_t kGeneralSize = 0x4000;

// Modes with a bank of their own besides the user registers, in the order
// of the arrays below.
enum BankedMode { kFiq, kIrq, kSvc, kAbt, kUnd, kBankedModes };
uint32_t mode_bits(BankedMode m);
const char *bank_name(BankedMode m);

struct CpuState {
    uint32_t cpsr = 0;
    uint32_t pc = 0;
    uint32_t low[8] = {};          // r0-r7, shared by every mode
    uint32_t user[7] = {};         // r8-r14 of user and system mode
    uint32_t fiq[7] = {};          // r8-r14 of FIQ mode
    uint32_t sp_lr[kBankedModes][2] = {};  // r13, r14 of IRQ, SVC, ABT, UND (FIQ's unused: in fiq[])
    uint32_t spsr[kBankedModes] = {};
};

struct MachineState {
    CpuState cpu;
    std::vector<uint8_t> data;     // kDataSize bytes at kDataBase
    std::vector<uint8_t> code;     // kCodeSize bytes at kCodeBase
};

// Where a run ended: the registers and data memory, or why it went wrong
// (an exception, a fault, the end never reached).
struct Outcome {
    CpuState cpu;
    std::vector<uint8_t> data;
    std::vector<uint8_t> code;     // sequences may rewrite their own code
    std::string error;
};

// One named 32-bit value of the state ("r3", "cpsr", "r13_irq", "spsr_fiq",
// "mem[00200104]"), for comparisons and reports.
struct Field {
    std::string name;
    uint32_t value;
};
std::vector<Field> fields(const CpuState &s);

// The register interface both CPUs offer; the banks are reached by
// switching CPSR modes, as a debugger does.
class RegisterAccess {
public:
    virtual ~RegisterAccess() = default;
    virtual uint32_t reg(int n) = 0;
    virtual void set_reg(int n, uint32_t v) = 0;
    virtual uint32_t cpsr() = 0;
    virtual void set_cpsr(uint32_t v) = 0;
    virtual uint32_t spsr() = 0;
    virtual void set_spsr(uint32_t v) = 0;
};
void load_registers(RegisterAccess &cpu, const CpuState &s);
CpuState read_registers(RegisterAccess &cpu);

}  // namespace diff

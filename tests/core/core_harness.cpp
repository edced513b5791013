#include "tests/core/core_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace coretest {

bool TestBus::read(uint32_t address, unsigned size, uint64_t cycle, uint32_t &value, unsigned &wait)
{
    if ((address & 0xFFF00000) != kIo) return false;
    auto it = io.find(address);
    value = address == kTimer ? static_cast<uint32_t>(cycle / 16) : it == io.end() ? 0 : it->second;
    wait = io_wait;
    log.push_back({address, size, false, value, cycle});
    return true;
}

bool TestBus::write(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait)
{
    if ((address & 0xFFF00000) != kIo) return false;
    wait = io_wait;
    if (address == kHalt) {
        if (core) core->request_stop();
        return true;
    }
    if (address == kAcknowledge && core) core->set_interrupt_lines(false, false);
    if (raise_irq_at && address == raise_irq_at && core) core->set_interrupt_lines(true, false);
    io[address] = value;
    log.push_back({address, size, true, value, cycle});
    if (ports && size == 4 && !(address & 3)) port_entry(address) = Port{address, &TestBus::store_at_port, this};
    return true;
}

bool TestBus::store_at_port(const Port &p, uint64_t cycle, uint32_t value)
{
    TestBus &b = *static_cast<TestBus *>(p.owner);
    unsigned wait;
    return !b.io_wait && ++b.port_calls % 3 != 0 && b.write(p.address, 4, cycle, value, wait);
}

namespace {

std::string run_tool(const std::string &command)
{
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return "cannot run " + command;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    int status = pclose(p);
    return status == 0 ? std::string() : out.empty() ? "failed: " + command : out;
}

}  // namespace

namespace {

Program assemble_now(const std::string &source)
{
    Program prog;
    char dir[] = "/tmp/coretestXXXXXX";
    if (!mkdtemp(dir)) {
        ADD_FAILURE() << "no scratch directory";
        return prog;
    }
    std::string d = dir;
    {
        std::ofstream s(d + "/p.s");
        s << "\t.syntax unified\n\t.text\n\t.global _start\n_start:\n" << source << "\n";
    }
    std::string err = run_tool("arm-none-eabi-as -mcpu=arm7tdmi -o " + d + "/p.o " + d + "/p.s");
    if (err.empty()) err = run_tool("arm-none-eabi-ld -Ttext=0 -e _start -o " + d + "/p.elf " + d + "/p.o");
    if (err.empty()) err = run_tool("arm-none-eabi-objcopy -O binary " + d + "/p.elf " + d + "/p.bin");
    if (!err.empty()) {
        ADD_FAILURE() << "assembling the test program: " << err;
    } else {
        std::ifstream bin(d + "/p.bin", std::ios::binary);
        prog.image.assign(std::istreambuf_iterator<char>(bin), {});
        FILE *p = popen(("arm-none-eabi-nm " + d + "/p.elf").c_str(), "r");
        char line[256];
        while (p && fgets(line, sizeof line, p)) {
            unsigned long value;
            char type, name[200];
            if (sscanf(line, "%lx %c %199s", &value, &type, name) == 3) prog.symbols[name] = static_cast<uint32_t>(value);
        }
        if (p) pclose(p);
    }
    run_tool("rm -rf " + d);
    return prog;
}

}  // namespace

// Tests that compare runs of one program (with and without fast-forward, an
// interrupt at each of many cycles) would otherwise assemble it again for
// every run: four tool launches each.
Program assemble(const std::string &source)
{
    static std::map<std::string, Program> assembled;
    auto it = assembled.find(source);
    if (it != assembled.end()) return it->second;
    Program prog = assemble_now(source);
    if (!prog.image.empty()) assembled.emplace(source, prog);
    return prog;
}

Board::Board(const std::string &source, uint8_t flash_wait_n, uint8_t flash_wait_s)
{
    bus.core = &core;
    program = assemble(source);
    std::memcpy(flash.data(), program.image.data(), std::min(program.image.size(), flash.size()));
    map(flash_wait_n, flash_wait_s);
    core.reset();
}

void Board::map(uint8_t flash_wait_n, uint8_t flash_wait_s, bool read_buffer)
{
    sim::MemoryRegion f;
    f.base = 0;
    f.size = static_cast<uint32_t>(flash.size());
    f.host = flash.data();
    f.writable = false;
    f.wait_n = flash_wait_n;
    f.wait_s = flash_wait_s;
    f.read_buffer = read_buffer;
    sim::MemoryRegion r;
    r.base = kRam;
    r.size = static_cast<uint32_t>(ram.size());
    r.host = ram.data();
    core.set_regions({f, r});
}

void Board::code_in_ram()
{
    std::memcpy(ram.data(), flash.data(), std::min(program.image.size(), ram.size()));
    sim::MemoryRegion low{0, static_cast<uint32_t>(ram.size()), ram.data(), true, 0, 0, false};
    sim::MemoryRegion own{kRam, static_cast<uint32_t>(ram.size()), ram.data(), true, 0, 0, false};
    core.set_regions({low, own});
    core.reset();
}

uint32_t Board::at(const std::string &label) const
{
    auto it = program.symbols.find(label);
    if (it == program.symbols.end()) {
        ADD_FAILURE() << "no label " << label;
        return 0xFFFFFFFF;
    }
    return it->second;
}

sim::Arm7tdmi::Stop Board::run(uint64_t limit) { return core.run(core.cycles() + limit); }

void Board::run_to(const std::string &label)
{
    core.set_breakpoints({at(label)});
    sim::Arm7tdmi::Stop stop = core.run(core.cycles() + 1'000'000);
    core.set_breakpoints({});
    EXPECT_EQ(stop, sim::Arm7tdmi::Stop::Breakpoint) << "did not reach " << label;
}

uint32_t Board::ram_word(uint32_t address) const
{
    uint32_t v;
    std::memcpy(&v, ram.data() + (address - kRam), 4);
    return v;
}

void Board::set_ram_word(uint32_t address, uint32_t value) { std::memcpy(ram.data() + (address - kRam), &value, 4); }

}  // namespace coretest

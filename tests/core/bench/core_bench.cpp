// Host speed of the core on its own: guest instructions per host second
// running Thumb code of the firmware's kind, with and without its delay
// loops, and with and without delay-loop fast-forward (whose cycle and
// instruction counts must come out identical). Prints; never fails on speed.
// Times are the process's CPU time (the machine may be shared).
//
//   core_bench [rounds]     (default 200)
#include <ctime>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "sim/core/arm7tdmi.h"

namespace {

constexpr uint32_t kFlash = 0x00100000, kRam = 0x00200000, kHalt = 0xFFF0FFF0;
constexpr double kClockHz = 48e6;
constexpr uint64_t kSlice = 4800;   // run() returns as at device events 100 us apart

class Bus : public sim::CoreBus {
public:
    bool read(uint32_t, unsigned, uint64_t, uint32_t &value, unsigned &wait) override
    {
        value = 0;
        wait = 0;
        return false;
    }
    bool write(uint32_t address, unsigned, uint64_t, uint32_t value, unsigned &wait) override
    {
        wait = 0;
        if (address != kHalt) return false;
        result = value;
        core->request_stop();
        return true;
    }
    sim::Arm7tdmi *core = nullptr;
    uint32_t result = 0;
};

struct Result {
    uint64_t instructions, cycles;
    uint32_t checksum;
    double seconds;
};

Result run(const std::vector<uint8_t> &image, unsigned rounds, bool delays, bool fast_forward)
{
    std::vector<uint8_t> flash(0x40000), ram(0x10000);
    std::copy(image.begin(), image.end(), flash.begin());
    Bus bus;
    sim::Arm7tdmi core(bus);
    bus.core = &core;
    core.set_regions({{kFlash, static_cast<uint32_t>(flash.size()), flash.data(), false, 1, 1, true},
                      {kRam, static_cast<uint32_t>(ram.size()), ram.data(), true, 0, 0, false}});
    core.reset();
    core.set_fast_forward(fast_forward);
    core.set_reg(15, kFlash);
    core.set_reg(0, rounds);
    core.set_reg(1, delays ? 1 : 0);
    std::clock_t start = std::clock();
    while (core.run(core.cycles() + kSlice) != sim::Arm7tdmi::Stop::Requested) {
    }
    double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    return {core.instructions(), core.cycles(), bus.result, seconds};
}

void print(const char *name, const Result &r)
{
    std::printf("%-34s %12" PRIu64 " instr %13" PRIu64 " cycles %8.3f s %8.1f MIPS  %7.1fx real time\n", name,
                r.instructions, r.cycles, r.seconds, r.instructions / r.seconds / 1e6,
                r.cycles / kClockHz / r.seconds);
}

}  // namespace

int main(int argc, char **argv)
{
    unsigned rounds = 200;
    if (argc > 2 || (argc == 2 && (rounds = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0))) == 0)) {
        std::fprintf(stderr, "usage: core_bench [rounds]   (rounds: a positive number)\n");
        return 2;
    }
    std::ifstream in(BENCH_IMAGE, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
    if (image.empty()) {
        std::fprintf(stderr, "core_bench: cannot read the guest image %s\n", BENCH_IMAGE);
        return 1;
    }
    std::printf("guest: Thumb from flash (1 wait state, word fetches), %u rounds, run() every %" PRIu64 " cycles\n",
                rounds, kSlice);
    print("compute only", run(image, rounds, false, true));
    Result exact = run(image, rounds / 10 + 1, true, false);
    Result fast = run(image, rounds / 10 + 1, true, true);
    print("with delay loops, every iteration", exact);
    print("with delay loops, fast-forward", fast);
    bool same = exact.instructions == fast.instructions && exact.cycles == fast.cycles && exact.checksum == fast.checksum;
    std::printf("fast-forward: %s cycles, instructions and result\n", same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}

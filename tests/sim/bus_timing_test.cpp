// Peripheral accesses reach the bus at the cycle their instruction makes
// them. On the real image, the display's E pulse (PA19 high, then low, from
// toggle_e) and a serial flash chip-select low period (PA11, from SROM_Read)
// last on the bus exactly as long as the instructions between the two
// stores take by the ARM7TDMI's cycle table, counted here on their own from
// each instruction's encoding and the memory each of its accesses reached:
// Thumb code from flash at one wait state through the flash's read buffers
// (as the datasheet's figure for FWS = 1 shows them: sequential fetches are
// single-cycle but the first), RAM and peripherals without wait states.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <vector>

#include "sim/machine/machine.h"

namespace bus_timing_test {

namespace {

using sim::Machine;

constexpr uint32_t kSodr = 0xFFFFF430, kCodr = 0xFFFFF434;
constexpr uint32_t kLcdE = 1u << 19, kFlashCs = 1u << 11;

bool in_flash(uint32_t a) { return a < 0x00040000 || (a >= 0x00100000 && a < 0x00140000); }

// What ran, with the cost of each data access as the memory it reached charges it.
struct Recorder : sim::ExecutionObserver {
    struct Insn {
        uint32_t pc, encoding, next;
        bool thumb;
        uint32_t data = 0;          // cycles of its data accesses
        bool flash_read = false;    // one of them read the flash
    };
    std::vector<Insn> ran;
    Insn pending{};
    bool exceptions = false;
    struct Store {
        size_t insn;
        uint32_t pc, address, value;
    };
    std::vector<Store> stores;   // to peripherals

    void executed(uint32_t pc, bool thumb, uint32_t encoding, bool, uint32_t, uint32_t next_pc) override
    {
        pending.pc = pc;
        pending.thumb = thumb;
        pending.encoding = encoding;
        pending.next = next_pc;
        ran.push_back(pending);
        pending = Insn{};
    }
    void exception(sim::Exception, uint32_t, uint32_t) override { exceptions = true; }
    void repeated(uint32_t, uint32_t, bool, uint64_t, uint64_t) override { ADD_FAILURE() << "fast-forward while counting"; }
    void accessed(uint32_t pc, uint32_t address, unsigned, bool write, uint32_t value) override
    {
        pending.data += (in_flash(address) && !write) ? 2 : 1;
        pending.flash_read = pending.flash_read || (in_flash(address) && !write);
        if (write && address >= 0xF0000000u) stores.push_back({ran.size(), pc, address, value});
    }
};

// The flash's two read buffers at one wait state: a read takes 2 cycles; a
// halfword of the word held takes 1; fetching a word's second half starts
// reading the next word, whose fetch then waits for what is left of that
// read. A data read of the flash takes the buffers.
struct FlashFetches {
    static constexpr uint32_t kNone = ~0u;
    uint32_t word = kNone, ahead = kNone;
    uint64_t ready = 0, t = 0;
    void fetch(uint32_t a)
    {
        const uint32_t w = (a & ~3u) % 0x00100000u;   // the flash at 0 is the flash at 0x00100000
        uint64_t start = t, free = t;
        if (w == word) {
            t += 1;
        } else if (w == ahead) {
            t = std::max(t + 1, ready);
            free = ready;
            word = w;
            ahead = kNone;
        } else {
            t += 2;
            free = t;
            word = w;
            ahead = kNone;
        }
        if ((a & 2) && ahead != w + 4) {
            ahead = w + 4;
            ready = std::max(start, free) + 2;
        }
    }
};

// The documented table for the Thumb instructions of this firmware, with
// every code fetch through the buffers; `fetch` gets the cost of the
// instruction's own first fetch (which comes before its data access).
uint32_t thumb_cycles(const Recorder::Insn &i, FlashFetches &f, uint32_t &fetch)
{
    const uint64_t t0 = f.t;
    uint32_t a = i.pc, h = i.encoding & 0xFFFF;
    auto refill = [&] {                                          // N of the target, S of the next
        f.fetch(i.next);
        f.fetch(i.next + 2);
    };
    auto data = [&] {
        f.t += i.data;
        if (i.flash_read) f.word = f.ahead = FlashFetches::kNone;
    };
    bool taken = i.next != a + 2;
    f.fetch(a + 4);                                              // S (or N before a store) of a + 4
    fetch = static_cast<uint32_t>(f.t - t0);
    if ((h & 0xF800) == 0x4800 || (h & 0xF000) == 0x5000 || (h & 0xE000) == 0x6000 || (h & 0xF000) == 0x8000 ||
        (h & 0xF000) == 0x9000) {
        bool load = (h & 0xF800) == 0x4800 || ((h & 0xF000) == 0x5000 ? ((h >> 9) & 7) >= 3 : (h & 0x0800) != 0);
        data();
        f.t += load ? 1 : 0;                                     // 1S+1N+1I / 2N
    } else if ((h & 0xF600) == 0xB400 || (h & 0xF000) == 0xC000) {   // PUSH/POP, LDMIA/STMIA
        bool load = h & 0x0800;
        data();
        if (load) f.t += 1;
        if (load && (h & 0xF600) == 0xB400 && (h & 0x0100)) refill();
    } else if ((h & 0xF000) == 0xD000 && (h & 0x0F00) < 0x0E00) {
        if (taken) refill();
    } else if ((h & 0xF800) == 0xE000 || (h & 0xF800) == 0xF800 || (h & 0xFF80) == 0x4700) {
        refill();
    } else if ((h & 0xFC00) == 0x4000) {
        unsigned op = (h >> 6) & 0xF;
        EXPECT_NE(op, 13u) << "MUL: operand-dependent, not counted here";
        if (op == 2 || op == 3 || op == 4 || op == 7) f.t += 1;  // shift by register: +1I
    } else if ((h & 0xFC00) == 0x4400 && (h & 0x87) == 0x87 && ((h >> 8) & 3) != 1) {   // MOV/ADD pc
        refill();
    }
    return static_cast<uint32_t>(f.t - t0);
}

struct Firmware {
    board::Board board;
    Machine machine{board};
    Firmware()
    {
        std::string error;
        auto image = sim::ElfImage::load(std::string(FIRMWARE_DIR) + "/program.elf", error);
        EXPECT_TRUE(image) << error;
        if (image) machine.load(*image);
    }

    // Runs to the first call of `function`, then until the pin store to
    // `end_reg` follows one to `start_reg` made by it, counting; returns
    // {bus time between them, counted time}.
    std::pair<board::Picos, board::Picos> measure(const std::string &function, uint32_t start_reg, uint32_t end_reg,
                                                  uint32_t bits)
    {
        auto made_by = [&](uint32_t pc) { return machine.describe(pc).rfind(function, 0) == 0; };
        auto entry = machine.image()->address_of(function);
        EXPECT_TRUE(entry) << "no " << function << " in the image";
        if (!entry) return {0, 1};
        machine.add_breakpoint(*entry & ~1u);
        EXPECT_EQ(machine.run_for(10 * board::kPicosPerSecond), Machine::Stop::Breakpoint);
        machine.remove_breakpoint(*entry & ~1u);
        Recorder r;
        machine.set_exact(true);
        machine.set_execution_observer(&r);
        board.bus.set_recording(true);
        // The bus's record and the observer's see the same stores in the same order.
        auto store = [&](uint32_t reg, size_t start, bool first_of_function) {
            const auto &seen = board.bus.recorded();
            size_t n = 0;
            for (size_t k = 0; k < seen.size(); ++k) {
                if (!seen[k].write || seen[k].address < 0xF0000000u) continue;
                const auto &st = r.stores[n++];
                if (k >= start && seen[k].address == reg && seen[k].value == bits && (!first_of_function || made_by(st.pc)))
                    return k;
            }
            return seen.size();
        };
        size_t first = 0, last = 0;
        for (int slice = 0; slice < 2000; ++slice) {
            machine.run_for(board::kPicosPerMs);
            first = store(start_reg, 0, true);
            last = store(end_reg, first + 1, false);
            if (last < board.bus.recorded().size()) break;
        }
        machine.remove_execution_observer(&r);
        const auto &seen = board.bus.recorded();
        EXPECT_LT(last, seen.size()) << "no complete pulse";
        EXPECT_FALSE(r.exceptions) << "an exception in the counted stretch";
        if (last >= seen.size()) return {0, 1};

        size_t i0 = r.ran.size(), i1 = r.ran.size();
        for (const auto &st : r.stores) {
            if (st.value != bits) continue;
            if (i0 == r.ran.size() && st.address == start_reg && made_by(st.pc)) i0 = st.insn;
            else if (i0 != r.ran.size() && st.address == end_reg) {
                i1 = st.insn;
                break;
            }
        }
        EXPECT_LT(i1, r.ran.size()) << "the stores were not seen";
        // The buffers' state at i0 follows from the instructions before it.
        // From the first store's data cycle to the second's: the
        // instructions from the first up to the second, less the first's
        // fetch, plus the second's.
        uint64_t cycles = 0;
        FlashFetches fetches;
        for (size_t k = 0; k <= i1 && k < r.ran.size(); ++k) {
            if (!r.ran[k].thumb) {
                fetches = FlashFetches{};
                continue;
            }
            uint32_t fetch = 0, c = thumb_cycles(r.ran[k], fetches, fetch);
            if (k == i0) cycles -= fetch;
            if (k >= i0) cycles += k == i1 ? fetch : c;
        }
        return {seen[last].time - seen[first].time, board.clock.cycles_to_picos(cycles)};
    }
};

TEST(BusTiming, DisplayEnablePulseLastsAsLongAsTheCodeBetweenItsEdges)
{
    Firmware f;
    // Counted by hand from the image's toggle_e and lcd_e_delay (Thumb, flash,
    // one wait state, through the read buffers): the SODR store's data cycle
    // 1; bl 1 + 5 (its target's word is read anew); movs 1; sub sp 1; six
    // passes of str 2, ldr 3, cmp 1, bls taken 3, nop 1, ldr 3, adds 1, b 5
    // (19 each); the last check str 2, ldr 3, cmp 1, bls 1, add 1, bx lr 5;
    // ldr literal 4 (its read takes the buffers); the CODR store's fetch 2
    // (a whole read again): 142 cycles (190 without the buffers).
    auto [bus, counted] = f.measure("_Z8toggle_ev", kSodr, kCodr, kLcdE);
    EXPECT_NEAR(double(bus), double(counted), 1.0);
    EXPECT_NEAR(double(bus), double(f.board.clock.cycles_to_picos(142)), 1.0);
}

TEST(BusTiming, FlashChipSelectLowLastsAsLongAsTheCodeThatFramesTheRead)
{
    Firmware f;
    auto [bus, counted] = f.measure("_Z9SROM_Readj", kCodr, kSodr, kFlashCs);
    EXPECT_NEAR(double(bus), double(counted), 1.0);
    EXPECT_GT(bus, 100 * board::kPicosPerNs);
}

}  // namespace

}  // namespace bus_timing_test

// Peripheral accesses reach the bus at the cycle their instruction makes
// them. On the real image, the display's E pulse (PA19 high, then low, from
// toggle_e) and a serial flash chip-select low period (PA11, from SROM_Read)
// last on the bus exactly as long as the instructions between the two
// stores take by the ARM7TDMI's cycle table, counted here on their own from
// each instruction's encoding and the memory each of its accesses reached:
// Thumb code from flash at one wait state (a sequential fetch pays only for
// the first halfword of a word), RAM and peripherals without wait states.
#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "sim/machine/machine.h"

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
        if (write && address >= 0xF0000000u) stores.push_back({ran.size(), pc, address, value});
    }
};

// The documented table for the Thumb instructions of this firmware.
uint32_t thumb_cycles(const Recorder::Insn &i)
{
    uint32_t a = i.pc, h = i.encoding & 0xFFFF;
    uint32_t fetch_s = (a & 2) ? 1 : 2;                          // S fetch of a + 4
    uint32_t fetch_n = 2;                                        // N fetch (stores)
    uint32_t refill = 2 + ((i.next & 2) ? 2 : 1);                // N of the target, S of the next
    bool taken = i.next != a + 2;
    if ((h & 0xF800) == 0x4800 || (h & 0xF000) == 0x5000 || (h & 0xE000) == 0x6000 || (h & 0xF000) == 0x8000 ||
        (h & 0xF000) == 0x9000) {
        bool load = (h & 0xF800) == 0x4800 || ((h & 0xF000) == 0x5000 ? ((h >> 9) & 7) >= 3 : (h & 0x0800) != 0);
        return load ? fetch_s + i.data + 1 : fetch_n + i.data;  // 1S+1N+1I / 2N
    }
    if ((h & 0xF600) == 0xB400 || (h & 0xF000) == 0xC000) {     // PUSH/POP, LDMIA/STMIA
        bool load = h & 0x0800;
        bool pc = (h & 0xF600) == 0xB400 && (h & 0x0100) && load;
        return load ? fetch_s + i.data + 1 + (pc ? refill : 0) : fetch_n + i.data;
    }
    if ((h & 0xF000) == 0xD000 && (h & 0x0F00) < 0x0E00) return fetch_s + (taken ? refill : 0);
    if ((h & 0xF800) == 0xE000 || (h & 0xF800) == 0xF800 || (h & 0xFF80) == 0x4700) return fetch_s + refill;
    if ((h & 0xFC00) == 0x4000) {
        unsigned op = (h >> 6) & 0xF;
        EXPECT_NE(op, 13u) << "MUL: operand-dependent, not counted here";
        return fetch_s + ((op == 2 || op == 3 || op == 4 || op == 7) ? 1 : 0);   // shift by register: +1I
    }
    if ((h & 0xFC00) == 0x4400 && (h & 0x87) == 0x87 && ((h >> 8) & 3) != 1) return fetch_s + refill;   // MOV/ADD pc
    return fetch_s;
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

        // The instructions from the one that made the first store up to the
        // one that made the second: both accesses sit at the same place in
        // their store (after its fetch), so the time between them is the
        // sum of the instructions from the first up to the second.
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
        uint64_t cycles = 0;
        for (size_t k = i0; k < i1 && k < r.ran.size(); ++k) {
            EXPECT_TRUE(r.ran[k].thumb) << std::hex << r.ran[k].pc;
            cycles += thumb_cycles(r.ran[k]);
        }
        return {seen[last].time - seen[first].time, board.clock.cycles_to_picos(cycles)};
    }
};

TEST(BusTiming, DisplayEnablePulseLastsAsLongAsTheCodeBetweenItsEdges)
{
    Firmware f;
    // Counted by hand from the image's toggle_e and lcd_e_delay (Thumb, flash,
    // one wait state): the SODR store's data cycle 1; bl 1 + 5; movs 1; sub
    // sp 2; six passes of str 3, ldr 4, cmp 1, bls taken 6, nop 1, ldr 4,
    // adds 1, b 6 (26 each); the last check str 3, ldr 4, cmp 1, bls 2, add
    // 1, bx lr 6; ldr literal 4; the CODR store's fetch 2: 190 cycles.
    auto [bus, counted] = f.measure("_Z8toggle_ev", kSodr, kCodr, kLcdE);
    EXPECT_NEAR(double(bus), double(counted), 1.0);
    EXPECT_NEAR(double(bus), double(f.board.clock.cycles_to_picos(190)), 1.0);
}

TEST(BusTiming, FlashChipSelectLowLastsAsLongAsTheCodeThatFramesTheRead)
{
    Firmware f;
    auto [bus, counted] = f.measure("_Z9SROM_Readj", kCodr, kSodr, kFlashCs);
    EXPECT_NEAR(double(bus), double(counted), 1.0);
    EXPECT_GT(bus, 100 * board::kPicosPerNs);
}

}  // namespace

// Every model's register declarations against the chip's documented register
// maps (reset values and access kinds), and peek as a pure observer: a board
// that has been peeked all over answers every read exactly as one that has
// not.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "board/board.h"

namespace register_map_test {

namespace {

using board::AccessKind;
using board::Board;
using board::MappedDevice;

struct Fact {
    const char *name;   // "AIC_SMR[]" stands for AIC_SMR[0] .. AIC_SMR[count - 1]
    unsigned count;
    uint32_t reset;
    AccessKind access;
};
constexpr AccessKind RO = AccessKind::ReadOnly, WO = AccessKind::WriteOnly, RW = AccessKind::ReadWrite,
                     W1S = AccessKind::WriteOneToSet, W1C = AccessKind::WriteOneToClear, KEY = AccessKind::Keyed,
                     KRW = AccessKind::KeyedReadWrite;
// A value that depends on the board around the block (pin levels), not checked.
constexpr uint32_t kVaries = 0xDEADBEEF;

const Fact kPdc[] = {
    {"PDC_RPR", 1, 0, RW}, {"PDC_RCR", 1, 0, RW}, {"PDC_TPR", 1, 0, RW}, {"PDC_TCR", 1, 0, RW},
    {"PDC_RNPR", 1, 0, RW}, {"PDC_RNCR", 1, 0, RW}, {"PDC_TNPR", 1, 0, RW}, {"PDC_TNCR", 1, 0, RW},
    {"PDC_PTCR", 1, 0, WO}, {"PDC_PTSR", 1, 0, RO},
};

// The chip's register maps, block by block.
const std::map<std::string, std::vector<Fact>> kDatasheet = {
    {"AIC", {{"AIC_SMR[]", 32, 0, RW}, {"AIC_SVR[]", 32, 0, RW}, {"AIC_IVR", 1, 0, RW}, {"AIC_FVR", 1, 0, RO},
             {"AIC_ISR", 1, 0, RO}, {"AIC_IPR", 1, 0, RO}, {"AIC_IMR", 1, 0, RO}, {"AIC_CISR", 1, 0, RO},
             {"AIC_IECR", 1, 0, W1S}, {"AIC_IDCR", 1, 0, W1C}, {"AIC_ICCR", 1, 0, W1C}, {"AIC_ISCR", 1, 0, W1S},
             {"AIC_EOICR", 1, 0, WO}, {"AIC_SPU", 1, 0, RW}, {"AIC_DCR", 1, 0, RW}, {"AIC_FFER", 1, 0, W1S},
             {"AIC_FFDR", 1, 0, W1C}, {"AIC_FFSR", 1, 0, RO}}},
    {"DBGU", {{"DBGU_CR", 1, 0, WO}, {"DBGU_MR", 1, 0, RW}, {"DBGU_IER", 1, 0, W1S}, {"DBGU_IDR", 1, 0, W1C},
              {"DBGU_IMR", 1, 0, RO}, {"DBGU_SR", 1, 0x40001818, RO}, {"DBGU_RHR", 1, 0, RO}, {"DBGU_THR", 1, 0, WO},
              {"DBGU_BRGR", 1, 0, RW}, {"DBGU_CIDR", 1, 0x270B0940, RO}, {"DBGU_EXID", 1, 0, RO}}},
    {"PIOA", {{"PIO_PER", 1, 0, W1S}, {"PIO_PDR", 1, 0, W1C}, {"PIO_PSR", 1, 0xFFFFFFFF, RO},
              {"PIO_OER", 1, 0, W1S}, {"PIO_ODR", 1, 0, W1C}, {"PIO_OSR", 1, 0, RO},
              {"PIO_IFER", 1, 0, W1S}, {"PIO_IFDR", 1, 0, W1C}, {"PIO_IFSR", 1, 0, RO},
              {"PIO_SODR", 1, 0, W1S}, {"PIO_CODR", 1, 0, W1C}, {"PIO_ODSR", 1, 0, RW}, {"PIO_PDSR", 1, kVaries, RO},
              {"PIO_IER", 1, 0, W1S}, {"PIO_IDR", 1, 0, W1C}, {"PIO_IMR", 1, 0, RO}, {"PIO_ISR", 1, 0, RO},
              {"PIO_MDER", 1, 0, W1S}, {"PIO_MDDR", 1, 0, W1C}, {"PIO_MDSR", 1, 0, RO},
              {"PIO_PPUDR", 1, 0, W1S}, {"PIO_PPUER", 1, 0, W1C}, {"PIO_PPUSR", 1, 0, RO},
              {"PIO_ASR", 1, 0, W1C}, {"PIO_BSR", 1, 0, W1S}, {"PIO_ABSR", 1, 0, RO},
              {"PIO_OWER", 1, 0, W1S}, {"PIO_OWDR", 1, 0, W1C}, {"PIO_OWSR", 1, 0, RO}}},
    {"PMC", {{"PMC_SCER", 1, 0, W1S}, {"PMC_SCDR", 1, 0, W1C}, {"PMC_SCSR", 1, 0x1, RO},
             {"PMC_PCER", 1, 0, W1S}, {"PMC_PCDR", 1, 0, W1C}, {"PMC_PCSR", 1, 0, RO},
             {"PMC_MOR", 1, 0, RW}, {"PMC_MCFR", 1, 0, RO}, {"PMC_PLLR", 1, 0x3F00, RW}, {"PMC_MCKR", 1, 0, RW},
             {"PMC_PCK0", 1, 0, RW}, {"PMC_PCK1", 1, 0, RW}, {"PMC_PCK2", 1, 0, RW},
             {"PMC_IER", 1, 0, W1S}, {"PMC_IDR", 1, 0, W1C}, {"PMC_SR", 1, 0x08, RO}, {"PMC_IMR", 1, 0, RO}}},
    {"RSTC", {{"RSTC_CR", 1, 0, KEY}, {"RSTC_SR", 1, 0x00010000, RO}, {"RSTC_MR", 1, 0, KRW}}},
    {"RTT", {{"RTT_MR", 1, 0x00008000, RW}, {"RTT_AR", 1, 0xFFFFFFFF, RW}, {"RTT_VR", 1, 0, RO}, {"RTT_SR", 1, 0, RO}}},
    {"PIT", {{"PIT_MR", 1, 0x000FFFFF, RW}, {"PIT_SR", 1, 0, RO}, {"PIT_PIVR", 1, 0, RO}, {"PIT_PIIR", 1, 0, RO}}},
    {"WDTC", {{"WDTC_WDCR", 1, 0, KEY}, {"WDTC_WDMR", 1, 0x3FFF2FFF, RW}, {"WDTC_WDSR", 1, 0, RO}}},
    {"VREG", {{"VREG_MR", 1, 0, RW}}},
    {"MC", {{"MC_RCR", 1, 0, WO}, {"MC_ASR", 1, 0, RO}, {"MC_AASR", 1, 0, RO},
            {"MC_FMR", 1, 0, RW}, {"MC_FCR", 1, 0, KEY}, {"MC_FSR", 1, 0x1, RO}}},
    {"SPI", {{"SPI_CR", 1, 0, WO}, {"SPI_MR", 1, 0, RW}, {"SPI_RDR", 1, 0, RO}, {"SPI_TDR", 1, 0, WO},
             {"SPI_SR", 1, 0xF0, RO}, {"SPI_IER", 1, 0, W1S}, {"SPI_IDR", 1, 0, W1C}, {"SPI_IMR", 1, 0, RO},
             {"SPI_CSR0", 1, 0, RW}, {"SPI_CSR1", 1, 0, RW}, {"SPI_CSR2", 1, 0, RW}, {"SPI_CSR3", 1, 0, RW}}},
};
const char *const kWithPdc[] = {"DBGU", "SPI"};

struct Block {
    const char *name;
    uint32_t base;
    MappedDevice *device;
};
std::vector<Block> blocks(Board &b)
{
    return {{"AIC", board::kAicBase, &b.aic},   {"DBGU", board::kDbguBase, &b.dbgu}, {"PIOA", board::kPioaBase, &b.pioa},
            {"PMC", board::kPmcBase, &b.pmc},   {"RSTC", board::kRstcBase, &b.rstc}, {"RTT", board::kRttBase, &b.rtt},
            {"PIT", board::kPitBase, &b.pit},   {"WDTC", board::kWdtcBase, &b.wdt},  {"VREG", board::kVregBase, &b.vreg},
            {"MC", board::kMcBase, &b.mc},      {"SPI", board::kSpiBase, &b.spi}};
}

std::map<std::string, Fact> expand(const std::string &block)
{
    std::vector<Fact> facts = kDatasheet.at(block);
    for (const char *with : kWithPdc)
        if (block == with)
            facts.insert(facts.end(), std::begin(kPdc), std::end(kPdc));
    std::map<std::string, Fact> out;
    for (const Fact &f : facts) {
        std::string name = f.name;
        if (f.count == 1) {
            out[name] = f;
            continue;
        }
        for (unsigned n = 0; n < f.count; ++n)
            out[name.substr(0, name.size() - 1) + std::to_string(n) + "]"] = f;
    }
    return out;
}

TEST(RegisterMapTest, EveryModelDeclaresTheChipsRegistersWithTheirResetValuesAndAccess)
{
    Board b;
    b.reset();
    for (const Block &block : blocks(b)) {
        SCOPED_TRACE(block.name);
        std::map<std::string, Fact> facts = expand(block.name);
        for (const board::Register &r : block.device->registers().registers()) {
            SCOPED_TRACE(r.name);
            auto it = facts.find(r.name);
            ASSERT_NE(it, facts.end()) << "declared but not in the chip's map";
            const Fact f = it->second;
            facts.erase(it);
            EXPECT_EQ(r.access, f.access) << board::access_name(r.access) << " declared, " << board::access_name(f.access) << " documented";
            if (f.reset != kVaries) {
                EXPECT_EQ(r.reset, f.reset);
            }
            // The declaration must be complete enough for every access it allows.
            bool stored = r.storage || r.compute;
            if (board::readable(r.access)) {
                EXPECT_TRUE(stored) << "readable without a value";
            }
            if (r.access == AccessKind::ReadWrite || r.access == AccessKind::KeyedReadWrite) {
                EXPECT_TRUE(r.storage || r.write_hook) << "writable without storage or hook";
            }
            if (r.access == AccessKind::WriteOneToSet || r.access == AccessKind::WriteOneToClear) {
                EXPECT_TRUE(r.target || r.write_hook);
            }
            if (board::keyed(r.access)) {
                EXPECT_NE(r.key, 0u);
            }
            // After reset the register shows what its declaration says.
            uint32_t value = 0;
            ASSERT_TRUE(b.bus.peek(block.base + r.offset, value));
            if (board::readable(r.access) && f.reset != kVaries) {
                EXPECT_EQ(value, r.reset) << "peek after reset";
            }
            EXPECT_EQ(b.bus.describe(block.base + r.offset), std::string(block.name) + "." + r.name);
        }
        for (const auto &[name, f] : facts)
            ADD_FAILURE() << name << " is in the chip's map but not declared";
    }
}

TEST(RegisterMapTest, RefusedAccessesAreLoggedAndChangeNothing)
{
    Board b;
    size_t before = b.log.entries().size();
    b.bus.write(board::kPitBase + 0x04, 1);           // PIT_SR: read-only
    EXPECT_EQ(b.bus.read(board::kAicBase + 0x130), 0u);   // AIC_EOICR: write-only
    b.bus.write(board::kRstcBase + 0x08, 0x00000001);   // RSTC_MR without its key
    b.bus.write(board::kAicBase + 0x1F0, 1);          // no register there
    EXPECT_EQ(b.log.entries().size(), before + 4);
    EXPECT_TRUE(b.log.contains("write of 0x00000001 to read-only PIT_SR"));
    EXPECT_TRUE(b.log.contains("read of write-only AIC_EOICR"));
    EXPECT_TRUE(b.log.contains("RSTC_MR write of 0x00000001 without key 0xA5: ignored"));
    EXPECT_TRUE(b.log.contains("to unknown register at offset 0x000001F0"));
    EXPECT_EQ(b.bus.read(board::kRstcBase + 0x08), 0u);
}

// A board in the middle of everything a peek could disturb: flags waiting
// to be cleared by a read, an interrupt in the AIC, a transfer and a flash
// command under way, a character on the serial line.
void drive(Board &b)
{
    auto w = [&b](uint32_t a, uint32_t v) { b.bus.write(a, v); };
    w(board::kPmcBase + 0x10, (1u << board::kIdPioa) | (1u << board::kIdSpi));
    w(board::kPitBase, 0x03000010);                 // PIT: short period, interrupt on
    w(board::kRttBase, 0x00070001);                 // RTT: fast, both interrupts, restart
    w(board::kAicBase + 0x04, 0x20);                // AIC_SMR[1]: edge
    w(board::kAicBase + 0x120, 0x26);               // IECR: system, PIOA, SPI
    w(board::kPioaBase + 0x40, 0xFFFFFFFF);         // PIO_IER: every change
    w(board::kPioaBase + 0x10, 0x00000100);         // OER
    w(board::kPioaBase + 0x30, 0x00000100);         // SODR: a change to latch
    w(board::kPioaBase + 0x74 - 4, 0x00007600);     // PIO_ASR: SPI and DBGU lines
    w(board::kPioaBase + 0x04, 0x00007600);         // PIO_PDR
    w(board::kSpiBase + 0x04, 0x11);                // SPI master
    w(board::kSpiBase + 0x30, 0x209);
    w(board::kSpiBase + 0x00, 0x01);
    w(board::kSpiBase + 0x14, 0x3FF);
    w(board::kSpiBase + 0x0C, 0x5A);                // a byte to shift
    w(board::kDbguBase + 0x20, 2);                  // DBGU_BRGR
    w(board::kDbguBase + 0x00, 0x50);               // RXEN, TXEN
    w(board::kDbguBase + 0x1C, 'x');                // THR
    w(board::kMcBase + 0x60, 0x00300100);           // MC_FMR
    w(board::kMcBase + 0x64, 0x5A000001);           // FCR: write page 0
    w(board::kMcBase + 0x64, 0x00000001);           // without the key: PROGE
    b.dbgu.receive_from_host("ok");
    b.clock.advance_cycles(100);
    b.bus.read(board::kSpiBase + 0x10);
    b.clock.advance_cycles(57);
}

TEST(RegisterMapTest, PeekingEveryRegisterChangesNothingAReadCouldSee)
{
    Board peeked, untouched;
    drive(peeked);
    drive(untouched);
    size_t log_before = peeked.log.entries().size();
    for (int pass = 0; pass < 2; ++pass)
        for (const Block &block : blocks(peeked))
            for (const board::Register &r : block.device->registers().registers()) {
                uint32_t v;
                peeked.bus.peek(block.base + r.offset, v);
            }
    EXPECT_EQ(peeked.log.entries().size(), log_before) << "a peek logged something";
    EXPECT_EQ(peeked.clock.queue_size(), untouched.clock.queue_size()) << "a peek scheduled or dropped an event";
    // The same reads, in the same order, on both boards.
    for (size_t i = 0; i < blocks(peeked).size(); ++i) {
        const Block a = blocks(peeked)[i], u = blocks(untouched)[i];
        for (const board::Register &r : a.device->registers().registers()) {
            if (!board::readable(r.access))
                continue;
            SCOPED_TRACE(std::string(a.name) + "." + r.name);
            EXPECT_EQ(peeked.bus.read(a.base + r.offset), untouched.bus.read(u.base + r.offset));
        }
    }
    EXPECT_EQ(peeked.aic.nirq(), untouched.aic.nirq());
    EXPECT_EQ(peeked.pa.levels(), untouched.pa.levels());
}

}  // namespace

}  // namespace register_map_test

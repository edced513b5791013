// Exceptions as the ARM7TDMI takes them: every kind entered from ARM and
// from Thumb state with its mode, masks, SPSR and documented return link,
// and left again with the documented return instruction; the priorities
// when several are due at one boundary; the FIQ bank.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/core/core_harness.h"
#include "tests/core/refusing_bus.h"

namespace exception_test {

namespace {

using sim::Exception;
using sim::kCpsrF;
using sim::kCpsrI;
using sim::kCpsrT;

constexpr uint32_t kUser = 0x10, kFiq = 0x11, kIrq = 0x12, kSvc = 0x13, kAbt = 0x17, kUnd = 0x1B;
constexpr uint32_t kFlags = 0xA0000000;   // N and C: seen to survive entry and return
// Nothing answers here until a test pages it in (a prefetch or data abort
// handler's fix-up, as under demand paging).
constexpr uint32_t kPage = 0x00400000;

// Each vector holds its handler's whole body: return as the documented
// idiom for that exception says.
const char *const kVectors = R"(
        b reset
        movs pc, lr             @ undefined instruction: resume after it
        movs pc, lr             @ SWI: resume after it
        subs pc, lr, #4         @ prefetch abort: retry the instruction
        subs pc, lr, #8         @ data abort: retry the instruction
        nop
        subs pc, lr, #4         @ IRQ: resume the interrupted instruction
        subs pc, lr, #4         @ FIQ
    reset: b reset
)";

// Code at 0 in writable memory, RAM, and an empty page that aborts every
// access until paged in.
class ExceptionBoard : public coretest::RefusingBus {
public:
    explicit ExceptionBoard(const std::string &source, const std::string &vectors = kVectors)
        : program_(coretest::assemble(vectors + source))
    {
        std::memcpy(code_.data(), program_.image.data(), std::min(program_.image.size(), code_.size()));
        map(false);
        core.reset();
    }
    void aborted(const sim::AbortInfo &) override
    {
        if (on_abort)
            on_abort();
    }

    uint32_t at(const std::string &label) const
    {
        auto it = program_.symbols.find(label);
        EXPECT_NE(it, program_.symbols.end()) << "no label " << label;
        return it == program_.symbols.end() ? 0xFFFFFFFF : it->second;
    }
    void page_in(const std::vector<uint32_t> &words)
    {
        size_t i = 0;
        for (uint32_t w : words)
            std::memcpy(page_.data() + 4 * i++, &w, 4);
        map(true);
    }
    // Steps until the next instruction is at `pc`.
    void step_to(uint32_t pc, unsigned limit = 40)
    {
        for (unsigned n = 0; core.pc() != pc && n < limit; ++n)
            core.step();
        ASSERT_EQ(core.pc(), pc) << sim::format_registers(core.registers());
    }
    void start(const std::string &label, uint32_t cpsr)
    {
        core.set_cpsr(cpsr);
        core.set_reg(15, at(label));
    }

    sim::Arm7tdmi core{*this};
    std::function<void()> on_abort;

private:
    void map(bool page)
    {
        std::vector<sim::MemoryRegion> regions = {{0, static_cast<uint32_t>(code_.size()), code_.data()},
                                                  {coretest::kRam, static_cast<uint32_t>(ram_.size()), ram_.data()}};
        if (page)
            regions.push_back({kPage, static_cast<uint32_t>(page_.size()), page_.data()});
        core.set_regions(regions);
    }
    coretest::Program program_;
    std::vector<uint8_t> code_ = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> ram_ = std::vector<uint8_t>(0x1000);
    std::vector<uint8_t> page_ = std::vector<uint8_t>(0x1000);
};

struct EntryCase {
    const char *name;
    Exception kind;
    bool thumb;
    const char *source;         // "code" raises the exception, "resume" follows its return
    uint32_t link_from_code;    // LR = code + this (or kPage + 4 for a prefetch abort)
    std::vector<uint32_t> page;   // paged in after the entry; empty: nothing
    uint32_t resume_r0;
};

void PrintTo(const EntryCase &c, std::ostream *os) { *os << c.name; }

uint32_t entry_mode(Exception e)
{
    switch (e) {
    case Exception::Undefined: return kUnd;
    case Exception::SoftwareInterrupt: return kSvc;
    case Exception::PrefetchAbort:
    case Exception::DataAbort: return kAbt;
    case Exception::Irq: return kIrq;
    case Exception::Fiq: return kFiq;
    }
    return 0;
}

class ExceptionEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ExceptionEntry, EntersWithTheDocumentedLinkAndReturnsToTheRightInstruction)
{
    const EntryCase &c = GetParam();
    ExceptionBoard b(c.source);
    uint32_t old = kUser | kFlags | (c.thumb ? kCpsrT : 0);
    b.start("code", old);
    b.core.set_reg(1, kPage);
    b.core.set_reg(2, kPage | 1);
    b.core.set_interrupt_lines(c.kind == Exception::Irq, c.kind == Exception::Fiq);
    uint64_t before = b.core.exceptions_taken(c.kind);

    b.step_to(sim::vector_of(c.kind));
    uint32_t masks = kCpsrI | (c.kind == Exception::Fiq ? kCpsrF : 0);
    EXPECT_EQ(b.core.cpsr(), kFlags | masks | entry_mode(c.kind)) << "ARM state, the mode, the masks; flags kept";
    EXPECT_EQ(b.core.spsr(), old);
    uint32_t link = c.kind == Exception::PrefetchAbort ? kPage + 4 : b.at("code") + c.link_from_code;
    EXPECT_EQ(b.core.reg(14), link);
    EXPECT_EQ(b.core.exceptions_taken(c.kind), before + 1);

    b.core.set_interrupt_lines(false, false);
    if (!c.page.empty())
        b.page_in(c.page);
    uint32_t back = c.kind == Exception::PrefetchAbort ? kPage
                    : c.kind == Exception::DataAbort || c.kind == Exception::Irq || c.kind == Exception::Fiq
                        ? b.at("code")
                        : b.at("code") + (c.thumb ? 2 : 4);
    b.core.step();
    EXPECT_EQ(b.core.pc(), back) << "the handler's return";
    EXPECT_EQ(b.core.cpsr(), old) << "CPSR restored from the SPSR";
    b.step_to(c.kind == Exception::PrefetchAbort ? kPage + (c.thumb ? 2 : 4) : b.at("resume"));
    EXPECT_EQ(b.core.reg(0), c.resume_r0);
}

const uint32_t kLoaded = 0x12345678;

INSTANTIATE_TEST_SUITE_P(
    BothStates, ExceptionEntry,
    ::testing::Values(
        EntryCase{"ArmSwi", Exception::SoftwareInterrupt, false, "code: swi 0x12\n mov r0, #1\n resume: b resume", 4, {}, 1},
        EntryCase{"ThumbSwi", Exception::SoftwareInterrupt, true, ".thumb\n code: swi 0x12\n movs r0, #1\n resume: b resume", 2, {}, 1},
        EntryCase{"ArmUndefined", Exception::Undefined, false, "code: .word 0xe7f000f0\n mov r0, #1\n resume: b resume", 4, {}, 1},
        EntryCase{"ThumbUndefined", Exception::Undefined, true, ".thumb\n code: .hword 0xde00\n movs r0, #1\n resume: b resume", 2, {}, 1},
        // The page holds "mov r0, #1; b ." (ARM) or "movs r0, #1; b ." (Thumb).
        EntryCase{"ArmPrefetchAbort", Exception::PrefetchAbort, false, "code: mov pc, r1\n resume: b resume", 0, {0xE3A00001, 0xEAFFFFFE}, 1},
        EntryCase{"ThumbPrefetchAbort", Exception::PrefetchAbort, true, ".thumb\n code: bx r2\n resume: b resume", 0, {0xE7FE2001}, 1},
        EntryCase{"ArmDataAbort", Exception::DataAbort, false, "code: ldr r0, [r1]\n resume: b resume", 8, {kLoaded}, kLoaded},
        EntryCase{"ThumbDataAbort", Exception::DataAbort, true, ".thumb\n code: ldr r0, [r1]\n resume: b resume", 8, {kLoaded}, kLoaded},
        EntryCase{"ArmIrq", Exception::Irq, false, "code: mov r0, #1\n resume: b resume", 4, {}, 1},
        EntryCase{"ThumbIrq", Exception::Irq, true, ".thumb\n code: movs r0, #1\n resume: b resume", 4, {}, 1},
        EntryCase{"ArmFiq", Exception::Fiq, false, "code: mov r0, #1\n resume: b resume", 4, {}, 1},
        EntryCase{"ThumbFiq", Exception::Fiq, true, ".thumb\n code: movs r0, #1\n resume: b resume", 4, {}, 1}),
    [](const ::testing::TestParamInfo<EntryCase> &info) { return std::string(info.param.name); });

TEST(ExceptionReset, EntersSupervisorArmStateWithBothInterruptsMaskedAtZero)
{
    ExceptionBoard b("code: nop");
    b.start("code", kFiq | kFlags | kCpsrT);
    b.core.step();
    b.core.reset();
    EXPECT_EQ(b.core.cpsr(), kSvc | kCpsrI | kCpsrF);
    EXPECT_EQ(b.core.pc(), 0u);
    EXPECT_EQ(b.core.cycles(), 0u);
}

// When several exceptions are due at one boundary the ARM7TDMI takes the
// highest first (reset, data abort, FIQ, IRQ, prefetch abort, undefined and
// SWI); the entry of one masks what it must, so the others follow in order.
TEST(ExceptionPriority, FiqBeforeIrqAndIrqOnlyAfterTheFiqHandlerReturns)
{
    ExceptionBoard b("code: mov r0, #1\n resume: b resume");
    b.start("code", kUser);
    b.core.set_interrupt_lines(true, true);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x1Cu);
    EXPECT_EQ(b.core.cpsr() & 0x1F, kFiq);
    EXPECT_EQ(b.core.reg(14), b.at("code") + 4);
    b.core.set_interrupt_lines(true, false);
    b.core.step();   // the FIQ handler returns; IRQ is unmasked again
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x18u) << "IRQ taken before the interrupted instruction runs";
    EXPECT_EQ(b.core.reg(14), b.at("code") + 4);
    EXPECT_EQ(b.core.spsr(), kUser);
    EXPECT_EQ(b.core.reg(0), 0u);
}

TEST(ExceptionPriority, DataAbortEntersFirstThenAFiqDueAtTheSameTimeBeforeItsHandlerRuns)
{
    ExceptionBoard b("code: ldr r0, [r1]\n resume: b resume");
    b.start("code", kUser);
    b.core.set_reg(1, kPage);
    b.on_abort = [&] { b.core.set_interrupt_lines(false, true); };
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x10u);
    EXPECT_EQ(b.core.cpsr(), kAbt | kCpsrI) << "abort entry leaves FIQ enabled";
    EXPECT_EQ(b.core.reg(14), b.at("code") + 8);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x1Cu) << "the FIQ before the abort handler's first instruction";
    EXPECT_EQ(b.core.reg(14), 0x10u + 4) << "its return resumes the abort handler";
    EXPECT_EQ(b.core.spsr(), kAbt | kCpsrI);
    b.core.set_interrupt_lines(false, false);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x10u);
    EXPECT_EQ(b.core.cpsr(), kAbt | kCpsrI);
    EXPECT_EQ(b.core.reg(14), b.at("code") + 8) << "the abort's own link untouched by the FIQ";
}

TEST(ExceptionPriority, IrqBeforeAnUndefinedInstructionThatIsThenTrappedOnReturn)
{
    ExceptionBoard b("code: .word 0xe7f000f0\n resume: b resume");
    b.start("code", kUser);
    b.core.set_interrupt_lines(true, false);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x18u);
    EXPECT_EQ(b.core.reg(14), b.at("code") + 4);
    b.core.set_interrupt_lines(false, false);
    b.core.step();
    EXPECT_EQ(b.core.pc(), b.at("code"));
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x04u);
    EXPECT_EQ(b.core.cpsr() & 0x1F, kUnd);
    EXPECT_EQ(b.core.reg(14), b.at("code") + 4);
}

TEST(ExceptionPriority, IrqBeforeAPrefetchAbortOfTheSameInstruction)
{
    ExceptionBoard b("code: mov pc, r1");
    b.start("code", kUser);
    b.core.set_reg(1, kPage);
    b.core.step();   // the jump into the empty page
    b.core.set_interrupt_lines(true, false);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x18u) << "the aborted fetch is not executed before the IRQ";
    EXPECT_EQ(b.core.reg(14), kPage + 4);
    EXPECT_EQ(b.core.exceptions_taken(Exception::PrefetchAbort), 0u);
}

// The two halves of a Thumb BL are two instructions: an interrupt may come
// between them, and the call still reaches its target on return (the
// half-built address waits in the interrupted mode's lr, which IRQ mode
// does not touch).
TEST(ThumbBlPair, AnIrqBetweenItsHalvesLeavesTheCallIntact)
{
    ExceptionBoard b(R"(
        .thumb
        code: bl target
        resume: b resume
        .thumb_func
        target: b target
    )");
    b.start("code", kUser | kCpsrT);
    b.core.step();
    b.core.set_interrupt_lines(true, false);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x18u);
    EXPECT_EQ(b.core.reg(14), b.at("code") + 2 + 4) << "the second half's address + 4";
    b.core.set_interrupt_lines(false, false);
    b.step_to(b.at("target") & ~1u);
    EXPECT_EQ(b.core.cpsr(), kUser | kCpsrT);
    EXPECT_EQ(b.core.reg(14), b.at("resume") | 1);
}

TEST(FiqBank, HandlerUsesItsOwnR8ToR14AndTheInterruptedCodeKeepsItsOwn)
{
    std::string vectors = kVectors;
    vectors.replace(vectors.find("subs pc, lr, #4         @ FIQ"), 29, "b fiq_handler");
    ExceptionBoard b(R"(
        code: mov r0, #1
        resume: b resume
        fiq_handler:
            mov r8, #8
            mov r9, #9
            mov r10, #10
            mov r11, #11
            mov r12, #12
            mov r13, #13
            subs pc, lr, #4
    )", vectors);
    b.start("code", kSvc);
    for (int r = 8; r <= 14; ++r)
        b.core.set_reg(r, 0x100 + r);
    b.core.set_interrupt_lines(false, true);
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x1Cu);
    b.core.set_interrupt_lines(false, false);
    b.step_to(b.at("resume"));
    EXPECT_EQ(b.core.cpsr(), kSvc);
    EXPECT_EQ(b.core.reg(0), 1u);
    for (int r = 8; r <= 14; ++r) {
        EXPECT_EQ(b.core.reg(r), 0x100u + r) << "r" << r << " of the interrupted code";
        EXPECT_EQ(b.core.banked(sim::Mode::User, r), r <= 12 ? 0x100u + r : 0u) << "user r" << r;
    }
    for (int r = 8; r <= 13; ++r)
        EXPECT_EQ(b.core.banked(sim::Mode::Fiq, r), static_cast<uint32_t>(r)) << "FIQ r" << r;
    EXPECT_EQ(b.core.banked(sim::Mode::Fiq, 14), b.at("code") + 4);
}

// Encodings the ARM7TDMI does not have (later architectures' instructions,
// coprocessor instructions with no coprocessor to accept them) take the
// undefined instruction trap instead of doing anything.
struct Encoding {
    const char *name;
    bool thumb;
    uint32_t bits;
};

void PrintTo(const Encoding &e, std::ostream *os) { *os << e.name; }

class UndefinedEncoding : public ::testing::TestWithParam<Encoding> {};

TEST_P(UndefinedEncoding, TakesTheUndefinedInstructionTrap)
{
    const Encoding &e = GetParam();
    ExceptionBoard b(e.thumb ? ".thumb\n code: .hword " + std::to_string(e.bits) + "\n nop\n"
                             : "code: .word " + std::to_string(e.bits) + "\n nop\n");
    b.start("code", kUser | (e.thumb ? kCpsrT : 0));
    for (int r = 0; r < 13; ++r)
        b.core.set_reg(r, coretest::kRam + 0x100);   // any address an access would use is memory
    b.core.step();
    EXPECT_EQ(b.core.pc(), 0x04u);
    EXPECT_EQ(b.core.cpsr(), kUnd | kCpsrI);
    EXPECT_EQ(b.core.reg(14), b.at("code") + (e.thumb ? 2 : 4));
    for (int r = 0; r < 13; ++r)
        EXPECT_EQ(b.core.reg(r), coretest::kRam + 0x100) << "r" << r << " written";
}

INSTANTIATE_TEST_SUITE_P(
    LaterArchitecturesAndCoprocessors, UndefinedEncoding,
    ::testing::Values(Encoding{"ArmBlxRegister", false, 0xE12FFF31},   // blx r1
                      Encoding{"ArmClz", false, 0xE16F0F11},           // clz r0, r1
                      Encoding{"ArmQadd", false, 0xE1012050},          // qadd r2, r0, r1
                      Encoding{"ArmSmlabb", false, 0xE1003281},        // smlabb r0, r1, r2, r3
                      Encoding{"ArmLdrd", false, 0xE1C020D0},          // ldrd r2, [r0]
                      Encoding{"ArmStrd", false, 0xE1C020F0},          // strd r2, [r0]
                      Encoding{"ArmBkpt", false, 0xE1200070},          // bkpt 0
                      Encoding{"ArmPermanentlyUndefined", false, 0xE7F000F0},
                      Encoding{"ArmCdp", false, 0xEE000100},           // cdp p1, ...
                      Encoding{"ArmMrcP15", false, 0xEE110F10},        // mrc p15, 0, r0, c1, c0, 0
                      Encoding{"ArmMcrP15", false, 0xEE010F10},        // mcr p15, 0, r0, c1, c0, 0
                      Encoding{"ArmLdc", false, 0xED900100},           // ldc p1, c0, [r0]
                      Encoding{"ArmStc", false, 0xED800100},           // stc p1, c0, [r0]
                      // Coprocessor 14 has the debug channel's registers and nothing else.
                      Encoding{"ArmMcrP14Control", false, 0xEE000E10},  // mcr p14, 0, r0, c0, c0, 0
                      Encoding{"ArmMrcP14C2", false, 0xEE120E10},       // mrc p14, 0, r0, c2, c0, 0
                      Encoding{"ArmMrcP14Opcode1", false, 0xEE300E10},  // mrc p14, 1, r0, c0, c0, 0
                      Encoding{"ArmMrcP14Opcode2", false, 0xEE100E30},  // mrc p14, 0, r0, c0, c0, 1
                      Encoding{"ArmMrcP14CRm", false, 0xEE110E11},      // mrc p14, 0, r0, c1, c1, 0
                      Encoding{"ArmMrcP13", false, 0xEE110D10},         // mrc p13, 0, r0, c1, c0, 0
                      Encoding{"ArmCdpP14", false, 0xEE001E00},         // cdp p14, 0, c1, c0, c0, 0
                      Encoding{"ArmLdcP14", false, 0xED905E00},         // ldc p14, c5, [r0]
                      Encoding{"ThumbBkpt", true, 0xBE00},
                      Encoding{"ThumbBlxRegister", true, 0x4788},      // blx r1
                      Encoding{"ThumbBlxSuffix", true, 0xE800},        // second half of blx (immediate)
                      Encoding{"ThumbUndefinedConditionalBranch", true, 0xDE00}),
    [](const ::testing::TestParamInfo<Encoding> &info) { return std::string(info.param.name); });

}  // namespace

}  // namespace exception_test

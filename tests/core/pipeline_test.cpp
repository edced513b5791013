// Code that stores into itself, against the ARM7TDMI's three-stage
// pipeline: the two instructions after a store were fetched before its data
// cycle, so they run as they were when execution reaches them in sequence,
// and as stored once anything refills the pipeline. Results reasoned from
// the pipeline (the oracle of the differential test does not model it).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/core/core_harness.h"

namespace pipeline_test {

using coretest::Board;
using coretest::kRam;

namespace {

uint32_t word_at(const std::vector<uint8_t> &memory, uint32_t address)
{
    uint32_t v;
    std::memcpy(&v, memory.data() + address, 4);
    return v;
}

// The end of a run, then the encodings the programs below store.
const std::string kHaltThenReplacement = R"(
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
    replacement:
        mov r5, #1
        mov r6, #2
        mov r7, #3
        .ltorg
)";

// STM at A rewrites A+4, A+8 and A+12: the first two were fetched, the
// third is fetched after the store. The second time round every one runs
// as stored.
const std::string kArmStm = R"(
        mov r8, #0
        adr r0, replacement
        ldmia r0, {r1-r3}
        adr r4, patched
    again:
        stmia r4, {r1-r3}
    patched:
        mov r5, #10
        mov r6, #20
        mov r7, #30
        add r8, r8, #1
        cmp r8, #1
        moveq r9, r5
        moveq r10, r6
        moveq r11, r7
        beq again
)" + kHaltThenReplacement;

class Encodings : public sim::ExecutionObserver {
public:
    void executed(uint32_t pc, bool, uint32_t encoding, bool, uint32_t, uint32_t) override { ran.push_back({pc, encoding}); }
    void exception(sim::Exception, uint32_t, uint32_t) override {}
    void repeated(uint32_t, uint32_t, bool, uint64_t, uint64_t) override {}
    void accessed(uint32_t, uint32_t, unsigned, bool, uint32_t) override {}
    std::vector<std::pair<uint32_t, uint32_t>> ran;
};

enum class Driver { Run, Observed, Stepped };

class ArmStmIntoTheNextInstructions : public ::testing::TestWithParam<Driver> {};

TEST_P(ArmStmIntoTheNextInstructions, RunAsFetchedUntilTheLoopComesRound)
{
    Board b(kArmStm);
    b.code_in_ram();
    Encodings seen;
    if (GetParam() == Driver::Observed) b.core.set_observer(&seen);
    if (GetParam() == Driver::Stepped) {
        for (int i = 0; i < 200 && b.core.pc() != b.at("replacement"); ++i) b.core.step();
    } else {
        ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    }
    EXPECT_EQ(b.core.reg(9), 10u) << "the next instruction, fetched before the store";
    EXPECT_EQ(b.core.reg(10), 20u) << "the one after, fetched in the store's first cycle";
    EXPECT_EQ(b.core.reg(11), 3u) << "the third, fetched after the store";
    EXPECT_EQ(b.core.reg(5), 1u);
    EXPECT_EQ(b.core.reg(6), 2u);
    EXPECT_EQ(b.core.reg(7), 3u);
    if (GetParam() != Driver::Observed) return;
    // The observer is told the encoding that ran, not what memory holds.
    const uint32_t patched = b.at("patched"), replacement = b.at("replacement");
    std::vector<uint32_t> told;
    for (auto [pc, encoding] : seen.ran)
        if (pc == patched || pc == patched + 4 || pc == patched + 8) told.push_back(encoding);
    std::vector<uint32_t> expected = {word_at(b.flash, patched),         word_at(b.flash, patched + 4),
                                      word_at(b.flash, replacement + 8), word_at(b.flash, replacement),
                                      word_at(b.flash, replacement + 4), word_at(b.flash, replacement + 8)};
    EXPECT_EQ(told, expected);
}

INSTANTIATE_TEST_SUITE_P(Core, ArmStmIntoTheNextInstructions,
                         ::testing::Values(Driver::Run, Driver::Observed, Driver::Stepped),
                         [](const ::testing::TestParamInfo<Driver> &info) {
                             return info.param == Driver::Run ? "Run" : info.param == Driver::Observed ? "Observed"
                                                                                                      : "Stepped";
                         });

TEST(CorePipeline, SwapAndByteStoresHoldAndABranchRefetches)
{
    Board b(R"(
        adr r0, replacement
        ldmia r0, {r1, r3}
        adr r4, s1
        swp r2, r1, [r4]            @ rewrites the next instruction
    s1: mov r5, #10
        adr r4, s2
        strb r1, [r4]               @ the immediate of the one after the next
        nop
    s2: mov r6, #20
        adr r4, s3
        str r3, [r4]                @ the one after the next, but
        b s3                        @ a branch refills the pipeline, even to there
    s3: mov r7, #30
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
    replacement:
        mov r5, #1
        mov r7, #3
        .ltorg
    )");
    b.code_in_ram();
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(2), word_at(b.flash, b.at("s1"))) << "SWP loads the old encoding";
    EXPECT_EQ(b.core.reg(5), 10u);
    EXPECT_EQ(b.core.reg(6), 20u);
    EXPECT_EQ(b.core.reg(7), 3u);
    EXPECT_EQ(b.ram_word(kRam + b.at("s2")) & 0xFF, word_at(b.flash, b.at("replacement")) & 0xFF);
}

// In Thumb state the two halfwords after the store were fetched: a halfword
// store into the second half of a word, a word store over the second
// instruction after it and the third.
TEST(CorePipeline, ThumbStoresIntoTheNextTwoHalfwords)
{
    Board b(R"(
        adr r0, thumb_code + 1
        bx r0
        .thumb
        .balign 4
    thumb_code:
        adr r0, replacement
        ldrh r1, [r0]
        ldr r2, [r0, #4]
        ldr r3, =t_b
        ldr r4, =t_a
        movs r0, #0
        .balign 4
    again:
        strh r1, [r4]               @ the next one, the second half of this word
    t_a:
        movs r5, #10
        str r2, [r3]                @ the one after the next, and the third
        nop
    t_b:
        movs r6, #20
        movs r7, #30
        adds r0, #1
        cmp r0, #1
        bne done
        mov r8, r5
        mov r9, r6
        mov r10, r7
        b again
    done:
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
        .balign 4
    replacement:
        movs r5, #1
        nop
        movs r6, #2
        movs r7, #3
        .ltorg
    )");
    ASSERT_EQ(b.at("again") % 4, 0u);
    b.code_in_ram();
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(8), 10u);
    EXPECT_EQ(b.core.reg(9), 20u);
    EXPECT_EQ(b.core.reg(10), 3u);
    EXPECT_EQ(b.core.reg(5), 1u);
    EXPECT_EQ(b.core.reg(6), 2u);
    EXPECT_EQ(b.core.reg(7), 3u);
}

// A store rewriting an instruction beyond the end of the code run so far;
// the second time after that code's decoded state was forgotten (an
// unrelated store next to it) while the store's own stayed.
TEST(CorePipeline, StoreIntoCodeNotRunBefore)
{
    Board b(R"(
        ldr r0, =values
        ldmia r0, {r1, r2}
        mov r4, #0x100
        mov r8, #0
        b at_f8
    second_pass:
        mov r9, r5
        mov r1, r2
        str r0, [r4, #0xF0]         @ data among the code after at_f8
        b at_f8
        .org 0xF8
    at_f8:
        str r1, [r4]                @ rewrites 0x100, the one after the next
        nop
        mov r5, #10                 @ at 0x100
        add r8, r8, #1
        cmp r8, #1
        beq second_pass
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
    values:
        mov r5, #1
        mov r5, #2
        .ltorg
    )");
    ASSERT_EQ(b.at("at_f8") + 8, 0x100u);
    b.code_in_ram();
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(9), 10u);
    EXPECT_EQ(b.core.reg(5), 1u) << "held as the first pass left it";
    EXPECT_EQ(b.ram_word(kRam + 0x100), word_at(b.flash, b.at("values") + 4));
}

// Exceptions refill the pipeline: an interrupt taken before either held
// instruction, and a data abort of the first.
const std::string kWithVectors = R"(
        b start
        b .
        b .
        b .
        subs pc, lr, #4             @ data abort: resume after the faulting one
        nop
        ldr r12, =0xFFF00200        @ IRQ: acknowledge, resume where interrupted
        str r12, [r12]
        subs pc, lr, #4
    start:
        msr cpsr_c, #0x13           @ IRQ and FIQ on
        adr r0, replacement
        ldmia r0, {r1-r3}
        adr r4, patched
    store:
        stmia r4, {r1, r2}
    patched:
        mov r5, #10
        mov r6, #20
        adr r4, after_fault
        mov r9, #0x00400000
    store_again:
        str r3, [r4]                @ the one after the next
        ldr r0, [r9]                @ nothing there: data abort
    after_fault:
        mov r7, #30
)" + kHaltThenReplacement;

TEST(CorePipeline, ExceptionsRefetchWhatTheStoreWrote)
{
    for (int before : {0, 1}) {
        SCOPED_TRACE(before ? "interrupt after the first held instruction" : "interrupt right after the store");
        Board b(kWithVectors);
        b.code_in_ram();
        b.run_to("store");
        for (int i = 0; i <= before; ++i) b.core.step();
        b.core.set_interrupt_lines(true, false);
        ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
        EXPECT_EQ(b.core.exceptions_taken(sim::Exception::Irq), 1u);
        EXPECT_EQ(b.core.reg(5), before ? 10u : 1u);
        EXPECT_EQ(b.core.reg(6), 2u);
        EXPECT_EQ(b.core.exceptions_taken(sim::Exception::DataAbort), 1u);
        EXPECT_EQ(b.core.reg(7), 3u) << "the data abort refilled the pipeline";
    }
}

TEST(CorePipeline, DebuggerWritesTakeEffectAtOnce)
{
    Board b(kWithVectors);
    b.code_in_ram();
    b.run_to("store");
    b.core.step();
    // The debugger rewrites the next instruction through the RAM's own
    // address while the core runs it from 0.
    const uint32_t mov_r5_77 = 0xE3A0504D;
    b.set_ram_word(kRam + b.at("patched"), mov_r5_77);
    b.core.invalidate_code(kRam + b.at("patched"), 4);
    b.run_to("store_again");
    EXPECT_EQ(b.core.reg(5), 77u);
    EXPECT_EQ(b.core.reg(6), 20u) << "still held as fetched";
}

}  // namespace

}  // namespace pipeline_test

// Status register transfers and the ways back from a privileged mode: MSR
// field masks (and user mode leaving the control bits alone), the SPSR's
// fields, LDM with ^ with and without pc, MOVS pc and SUBS pc; and every
// way the flags are written, seen alike by conditions and by MRS.
#include <gtest/gtest.h>

#include "board/state.h"
#include "tests/core/core_harness.h"

namespace psr_transfer_test {

namespace {

using coretest::Board;
using coretest::kRam;
using sim::kCpsrF;
using sim::kCpsrI;
using sim::kCpsrT;
using sim::Mode;

constexpr uint32_t kUser = 0x10, kFiq = 0x11, kIrq = 0x12, kSvc = 0x13;

TEST(PsrTransfer, MsrChangesOnlyTheFieldsItNamesAndUserModeOnlyTheFlags)
{
    Board b(R"(
        ldr r0, =0x5000001F     @ Z V, system mode, IRQ and FIQ enabled
        msr cpsr_f, r0
        mrs r1, cpsr
        msr cpsr_x, r0
        msr cpsr_s, r0
        mrs r2, cpsr
        msr cpsr_c, r0
        mrs r3, cpsr
        msr cpsr_f, #0x80000000
        mrs r4, cpsr
        msr cpsr_c, #0x10       @ to user mode
        ldr r5, =0x300000D3     @ C V, supervisor mode, both masked
        msr cpsr_fc, r5
        mrs r6, cpsr
    done: b done
    )");
    b.run_to("done");
    EXPECT_EQ(b.core.reg(1), 0x500000D3u) << "the flags field alone";
    EXPECT_EQ(b.core.reg(2), 0x500000D3u) << "the extension and status fields hold nothing of the ARMv4T's";
    EXPECT_EQ(b.core.reg(3), 0x5000001Fu) << "the control field: mode and masks";
    EXPECT_EQ(b.core.reg(4), 0x8000001Fu) << "an immediate flags write";
    EXPECT_EQ(b.core.reg(6), 0x30000010u) << "user mode writes the flags but not the control bits";
}

TEST(PsrTransfer, SpsrFieldsAreWrittenByMaskAndReadBack)
{
    Board b(R"(
        ldr r0, =0x600000B0
        msr spsr_fsxc, r0
        mrs r1, spsr
        ldr r0, =0x9000001B
        msr spsr_f, r0
        mrs r2, spsr
        msr spsr_c, r0
        mrs r3, spsr
    done: b done
    )");
    b.run_to("done");
    EXPECT_EQ(b.core.reg(1), 0x600000B0u);
    EXPECT_EQ(b.core.reg(2), 0x900000B0u);
    EXPECT_EQ(b.core.reg(3), 0x9000001Bu);
    EXPECT_EQ(b.core.cpsr(), kSvc | kCpsrI | kCpsrF) << "the CPSR untouched";
}

TEST(PsrTransfer, LdmWithPcAndCaretReturnsIntoTheSpsrsModeAndState)
{
    Board b(R"(
        ldmfd sp!, {r0, pc}^
        .thumb
    thumb_code:
        mov r1, r8              @ no flags changed
    done: b done
    )");
    b.core.set_reg(8, 7);
    b.core.set_reg(13, kRam + 0x100);
    b.set_ram_word(kRam + 0x100, 0x11111111);
    b.set_ram_word(kRam + 0x104, b.at("thumb_code") | 1);
    b.core.set_spsr(0x60000000 | kCpsrT | kUser);
    b.run_to("done");
    EXPECT_EQ(b.core.cpsr(), 0x60000000 | kCpsrT | kUser);
    EXPECT_EQ(b.core.reg(0), 0x11111111u);
    EXPECT_EQ(b.core.reg(1), 7u) << "ran on in Thumb state";
    EXPECT_EQ(b.core.banked(Mode::Supervisor, 13), kRam + 0x108) << "write-back to the supervisor's sp";
    EXPECT_EQ(b.core.reg(13), 0u) << "user sp untouched";
}

TEST(PsrTransfer, LdmAndStmWithCaretAndNoPcUseTheUserBankFromFiqMode)
{
    Board b(R"(
        ldmia r0, {r8-r14}^
        nop                     @ no banked register in the next instruction
        stmia r1, {r8-r14}^
    done: b done
    )");
    b.core.set_cpsr(kFiq | kCpsrI | kCpsrF);
    b.core.set_reg(0, kRam + 0x100);
    b.core.set_reg(1, kRam + 0x200);
    for (int r = 8; r <= 14; ++r) {
        b.core.set_reg(r, 0xF00 + r);
        b.set_ram_word(kRam + 0x100 + 4 * (r - 8), 0x1000 + r);
    }
    b.run_to("done");
    for (int r = 8; r <= 14; ++r) {
        EXPECT_EQ(b.core.banked(Mode::User, r), 0x1000u + r) << "user r" << r;
        EXPECT_EQ(b.core.reg(r), 0xF00u + r) << "FIQ r" << r;
        EXPECT_EQ(b.ram_word(kRam + 0x200 + 4 * (r - 8)), 0x1000u + r) << "stored user r" << r;
    }
    EXPECT_EQ(b.core.reg(0), kRam + 0x100) << "no write-back";
}

TEST(PsrTransfer, MovsPcLrAndSubsPcLrRestoreTheCpsrFromTheSpsr)
{
    Board b(R"(
        movs pc, lr
    arm_code:
        mov r0, #1
        .thumb
    thumb_code:
        mov r1, r8
        .arm
        .align 2
    subs_from_fiq:
        subs pc, lr, #4
    done: b done
    )");
    b.core.set_cpsr(kIrq | kCpsrI);
    b.core.set_reg(14, b.at("thumb_code"));
    b.core.set_spsr(0x80000000 | kCpsrT | kUser);
    b.core.step();
    EXPECT_EQ(b.core.pc(), b.at("thumb_code"));
    EXPECT_EQ(b.core.cpsr(), 0x80000000 | kCpsrT | kUser) << "MOVS pc, lr: to Thumb user code";

    b.core.set_cpsr(kFiq | kCpsrI | kCpsrF);
    b.core.set_reg(15, b.at("subs_from_fiq"));
    b.core.set_reg(14, b.at("arm_code") + 4);
    b.core.set_spsr(0x40000000 | kSvc);
    b.core.step();
    EXPECT_EQ(b.core.pc(), b.at("arm_code"));
    EXPECT_EQ(b.core.cpsr(), 0x40000000 | kSvc) << "SUBS pc, lr, #4: flags of the subtraction not kept";
}

// The flags F (NZCV) written one way over their complement: the conditional
// instructions after it, and MRS, must see F.
struct FlagWrite {
    const char *name;
    const char *code;              // ends by going on at `probe`
    const char *swi_handler = "b .";
    bool saved_and_restored = false;   // F saved in a snapshot, restored over its complement
};

void PrintTo(const FlagWrite &w, std::ostream *os) { *os << w.name; }

class FlagsWritten : public testing::TestWithParam<FlagWrite> {};

TEST_P(FlagsWritten, SteerConditionsAndReadBackAlike)
{
    const FlagWrite &w = GetParam();
    for (uint32_t f : {0xAu, 0x5u}) {
        SCOPED_TRACE("flags " + std::to_string(f));
        Board b(".equ F, " + std::to_string(f) + R"(
            b start
            b .
            b swi_handler
        start:
            ldr sp, =0x00208000
        )" + w.code + R"(
        probe:
            mov r7, #0
            orrmi r7, r7, #8
            orreq r7, r7, #4
            orrcs r7, r7, #2
            orrvs r7, r7, #1
            mrs r8, cpsr
        done: b done
        swi_handler:
        )" + w.swi_handler + R"(
            .ltorg
        )");
        const uint32_t control = kSvc | kCpsrI | kCpsrF;
        b.core.set_cpsr(control | (~f & 15) << 28);
        if (w.saved_and_restored) {
            b.core.set_cpsr(control | f << 28);
            board::StateWriter saved;
            b.core.state().save(saved);
            b.core.set_cpsr(control | (~f & 15) << 28);
            board::StateReader r(saved.data());
            b.core.state().restore(r);
        }
        b.run_to("done");
        EXPECT_EQ(b.core.reg(7), f) << "as the conditions see them";
        EXPECT_EQ(b.core.reg(8) >> 28, f) << "as MRS reads them";
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryWay, FlagsWritten,
    testing::Values(FlagWrite{"MsrRegister", "ldr r0, =F << 28\n msr cpsr_f, r0"},
                    FlagWrite{"MsrImmediate", "msr cpsr_f, #F << 28"},
                    FlagWrite{"MsrWithAModeChange", "ldr r0, =(F << 28) | 0xD2\n msr cpsr_fc, r0"},
                    FlagWrite{"MovsPcFromTheSpsr", "ldr r0, =(F << 28) | 0xD3\n msr spsr_fsxc, r0\n adr lr, probe\n movs pc, lr"},
                    FlagWrite{"LdmCaretFromTheSpsr",
                              "ldr r0, =(F << 28) | 0xD3\n msr spsr_fsxc, r0\n adr r1, probe\n stmfd sp!, {r1}\n ldmfd sp!, {pc}^"},
                    FlagWrite{"SavedInTheSpsrAtExceptionEntry", "msr cpsr_f, #F << 28\n swi 0",
                              "mrs r0, spsr\n msr cpsr_f, #0\n msr cpsr_f, r0\n b probe"},
                    FlagWrite{"SnapshotRestore", "", "b .", true}),
    [](const testing::TestParamInfo<FlagWrite> &i) { return std::string(i.param.name); });

}  // namespace

}  // namespace psr_transfer_test

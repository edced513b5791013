// The run plan: the mode decided once from the options (the terminal view
// only where nothing else was asked for and there is a terminal), and every
// declared output checked against the inputs before anything runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/frontends/run_plan.h"

namespace run_plan_test {

namespace {

using sim::CommandLine;
using sim::RunMode;

TEST(RunPlan, TheModeIsDecidedOnceFromTheOptions)
{
    struct Case {
        const char *what;
        void (*set)(CommandLine &);
        bool terminal;
        RunMode mode;
    } cases[] = {
        {"nothing, on a terminal", [](CommandLine &) {}, true, RunMode::View},
        {"nothing, piped", [](CommandLine &) {}, false, RunMode::Headless},
        {"--for on a terminal", [](CommandLine &c) { c.for_text = "1ms"; }, true, RunMode::Headless},
        {"--headless", [](CommandLine &c) { c.headless = true; }, true, RunMode::Headless},
        {"--gdb", [](CommandLine &c) { c.gdb_port = 0; }, true, RunMode::Gdb},
        {"--bench", [](CommandLine &c) { c.bench = true; }, true, RunMode::Bench},
        {"--samba", [](CommandLine &c) { c.samba = true; }, true, RunMode::Samba},
        {"--gdb with --for", [](CommandLine &c) { c.gdb_port = 0, c.for_text = "1ms"; }, false, RunMode::Gdb},
    };
    for (const auto &k : cases) {
        CommandLine c;
        k.set(c);
        std::string error;
        auto plan = sim::plan_run(c, k.terminal, error);
        ASSERT_TRUE(plan) << k.what << ": " << error;
        EXPECT_EQ(plan->mode, k.mode) << k.what;
    }
}

TEST(RunPlan, BadInputIsRefusedWithItsOption)
{
    std::string image = testing::TempDir() + "plan_image.elf";
    std::ofstream(image) << "x";
    struct Case {
        void (*set)(CommandLine &);
        bool terminal;
        const char *error;
    } cases[] = {
        {[](CommandLine &c) { c.serial = "stdio"; }, true, "--serial stdio needs a headless run"},
        {[](CommandLine &c) { c.for_text = "soon"; }, false, "--for soon "},
        {[](CommandLine &c) { c.trace_kinds = "mmio,sound"; }, false, "--trace mmio,sound: "},
        {[](CommandLine &c) { c.vcd_file = c.image; }, false, "--vcd "},
        {[](CommandLine &c) { c.coverage = "c.info", c.chip_flash = "chip.bin"; }, false, "--coverage and --profile need the image"},
    };
    for (const auto &k : cases) {
        CommandLine c;
        c.image = image;
        c.output_options = {{"--vcd", &c.vcd_file}};
        k.set(c);
        std::string error;
        EXPECT_FALSE(sim::plan_run(c, k.terminal, error));
        EXPECT_EQ(error.rfind(k.error, 0), 0u) << error;
    }
    CommandLine c;
    c.image = image;
    c.vcd_file = image;
    c.output_options = {{"--vcd", &c.vcd_file}};
    std::string error;
    EXPECT_FALSE(sim::plan_run(c, false, error));
    EXPECT_EQ(error, "--vcd " + image + " is the image " + image + ": writing it would destroy the input");
    std::remove(image.c_str());
}

}  // namespace

}  // namespace run_plan_test

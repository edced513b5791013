// The debugger's monitor commands come from the scenario step registry: the
// steps that take no time run on the board as written in a scenario, the
// others are not offered.
#include <gtest/gtest.h>

#include "sim/frontends/gdb_target.h"
#include "sim/scenario/scenario_step.h"

namespace monitor_steps_test {

namespace {

TEST(MonitorSteps, InstantStepsRunOnTheBoardAndTheRestAreNotCommands)
{
    std::string error, out;
    auto session = sim::Session::open({}, error);
    ASSERT_TRUE(session) << error;
    sim::MachineDebugTarget target(*session);

    EXPECT_TRUE(target.monitor("press KEY_INC", out)) << out;
    EXPECT_FALSE(session->board.pa.level(5)) << "a pressed key pulls its line low";
    EXPECT_TRUE(target.monitor("expect-pin { pin: PA5, level: 0 }", out)) << out;
    EXPECT_FALSE(target.monitor("expect-pin { pin: PA5, level: 1 }", out));
    EXPECT_EQ(out, "PA5 is 0, expected 1\n");
    EXPECT_FALSE(target.monitor("press KEY_UP", out));
    EXPECT_NE(out.find("unknown key \"KEY_UP\" (KEY_INC, KEY_DEC or KEY_CLR)"), std::string::npos) << out;
    EXPECT_FALSE(target.monitor("expect-pin { pin: PA5", out)) << "malformed arguments";

    EXPECT_FALSE(target.monitor("delay 1ms", out)) << "a step that takes time is not a command";
    EXPECT_TRUE(target.monitor("help", out));
    for (const auto &t : sim::step_types())
        EXPECT_EQ(out.find(std::string("  ") + t.name + " ") != std::string::npos, t.instant) << t.name << "\n" << out;
}

}  // namespace

}  // namespace monitor_steps_test

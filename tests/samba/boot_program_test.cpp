// The boot program's layout as the simulator and the host tools rely on it.
#include <gtest/gtest.h>

#include "sim/samba/boot_program.h"

namespace boot_program_test {

namespace {

uint32_t word_at(const std::vector<uint8_t> &bytes, uint32_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

TEST(BootProgram, LayoutTheSimulatorAndHostToolsRelyOn)
{
    auto regions = samba::boot_regions();
    ASSERT_EQ(regions.size(), 32u * 1024);
    ASSERT_LT(samba::kBootProgramCode.size(), 1024u);
    // Host tools take a branch at 0 for this chip family's reset vector.
    EXPECT_EQ(word_at(regions, 0) >> 24, 0xEAu);
    // The loop the bring-up copies into RAM for the monitor.
    EXPECT_EQ(word_at(regions, 0x20), samba::kMonitorLoopCode) << "b . after the vectors";
    for (size_t i = samba::kBootProgramCode.size(); i < regions.size(); ++i)
        ASSERT_EQ(regions[i], 0xFF) << "erased from byte " << i;
}

}  // namespace

}  // namespace boot_program_test

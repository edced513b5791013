// Replay bundles: what is written is read back whole, and anything that is
// not a whole bundle of this version is refused with a reason, never run.
#include <gtest/gtest.h>

#include "sim/machine/replay_bundle.h"

namespace replay_bundle_test {

namespace {

using sim::InputEvent;
using sim::ReplayBundle;

ReplayBundle sample()
{
    ReplayBundle b;
    b.image = "program.elf";
    b.image_hash = 0x0123456789abcdefull;
    b.bounce = 3;
    b.bounce_window = 5000;
    b.seed = 9;
    b.serial = 1;
    b.mode = "view";
    b.command = "boardsim --record x";
    b.chip_flash = std::vector<uint8_t>(256 * 1024, 0x5A);
    b.chip_nvm = std::vector<uint8_t>{1, 2, 3, 4};
    b.inputs.push_back({InputEvent::Kind::Press, 100, 40, 2000, 1, 0, ""});
    b.inputs.push_back({InputEvent::Kind::LineBytes, 48000, 0, 0, 0, 0, std::string("AT\0\r", 4)});
    b.inputs.push_back({InputEvent::Kind::Poke, 900, 300, 18000, 0, 0x00200010, "\x01\x02"});
    b.end = {123456, 45678, 2469120};
    return b;
}

// The body's checksum made right again after an edit, to reach the checks
// behind it.
void reseal(std::vector<uint8_t> &bytes)
{
    size_t n = bytes.size() - 8;
    uint64_t sum = sim::fnv1a64(bytes.data(), n);
    for (int i = 0; i < 8; ++i) bytes[n + i] = static_cast<uint8_t>(sum >> (8 * i));
}

// Where the sample's input count is: before its three inputs (41 bytes each
// and their bytes), the end point and the checksum.
size_t count_at(const std::vector<uint8_t> &b)
{
    return b.size() - 8 - 24 - (3 * 41 + 4 + 2) - 8;
}

TEST(ReplayBundle, ReadsBackWhatWasWritten)
{
    ReplayBundle b = sample();
    std::string error;
    auto back = ReplayBundle::decode(b.encode(), "b", error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->image, b.image);
    EXPECT_EQ(back->image_hash, b.image_hash);
    EXPECT_EQ(back->bounce_window, b.bounce_window);
    EXPECT_EQ(back->mode, b.mode);
    EXPECT_FALSE(back->flash);
    EXPECT_EQ(back->chip_flash, b.chip_flash);
    EXPECT_EQ(back->chip_nvm, b.chip_nvm);
    EXPECT_EQ(back->inputs, b.inputs);
    EXPECT_EQ(back->end, b.end);
}

TEST(ReplayBundle, RefusesAnythingButAWholeBundle)
{
    const auto good = sample().encode();
    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> edit;
        const char *reason;
    };
    const Case cases[] = {
        {"empty", [](auto &b) { b.clear(); }, "not a boardsim replay bundle"},
        {"foreign", [](auto &b) { b[0] = 'X'; }, "not a boardsim replay bundle"},
        {"another version", [](auto &b) { b[16] = 2; }, "version 2; this boardsim reads version 1"},
        {"cut in the head", [](auto &b) { b.resize(20); }, "cut short"},
        {"cut in the body", [](auto &b) { b.resize(b.size() / 2); }, "cut short"},
        {"checksum cut off", [](auto &b) { b.resize(b.size() - 3); }, "cut short"},
        {"bytes after the end", [](auto &b) { b.push_back(0); }, "after the bundle's end"},
        {"one bit flipped", [](auto &b) { b[b.size() - 100] ^= 0x10; }, "damaged or edited"},
        {"a key the board lacks",
         [](auto &b) {
             b[count_at(b) + 8 + 25] = 7;   // the first input's key, after its kind and three counts
             reseal(b);
         },
         "key or register 7"},
        {"more inputs than bytes",
         [](auto &b) {
             b[count_at(b) + 4] = 0xFF;
             reseal(b);
         },
         "more inputs announced"},
    };
    for (const auto &c : cases) {
        auto bytes = good;
        c.edit(bytes);
        std::string error;
        EXPECT_FALSE(ReplayBundle::decode(bytes, "run.replay", error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.rfind("run.replay: ", 0), 0u) << c.what << ": " << error;
    }
}

}  // namespace

}  // namespace replay_bundle_test

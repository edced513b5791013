// The boot monitor on its own, driven byte by byte as a host drives it,
// against a fake chip.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sim/samba/monitor.h"
#include "tests/samba/fake_chip.h"

namespace monitor_test {

namespace {

using samba::Monitor;
namespace xm = samba::xmodem;
using testing_support::FakeChip;

constexpr uint32_t kRam = 0x00200000;
constexpr samba::Picos kSecond = Monitor::kPicosPerSecond;

std::string bytes_of(const xm::Block &b) { return std::string(b.begin(), b.end()); }
std::string le(uint32_t v, unsigned n)
{
    std::string s;
    for (unsigned i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}
std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 7 * i);
    return v;
}

struct MonitorTest : ::testing::Test {
    FakeChip chip;
    Monitor monitor{chip};
    std::vector<std::string> reports;

    MonitorTest() { monitor.set_reporter([this](const std::string &r) { reports.push_back(r); }); }

    std::string say(std::string_view bytes)
    {
        monitor.receive(bytes);
        return monitor.take_output();
    }
    void connect(bool binary = true)
    {
        ASSERT_EQ(say("\x80"), "\x80");
        ASSERT_EQ(say("\x80"), "\x80");
        ASSERT_EQ(say("#"), "\n\r>");
        if (binary) {
            ASSERT_EQ(say("N#"), "\n\r");
        }
    }
    std::string quiet(samba::Picos t)
    {
        monitor.elapse(t);
        return monitor.take_output();
    }
};

TEST(Xmodem, CrcAndBlockFraming)
{
    const std::string check = "123456789";
    EXPECT_EQ(xm::crc16({reinterpret_cast<const uint8_t *>(check.data()), check.size()}), 0x31C3);

    auto data = pattern(100, 3);
    xm::Block b = xm::make_block(0xFE, data);
    EXPECT_EQ(b[0], xm::kSoh);
    EXPECT_EQ(b[1], 0xFE);
    EXPECT_EQ(b[2], 0x01);
    EXPECT_EQ(b[3 + 99], data[99]);
    EXPECT_EQ(b[3 + 100], 0) << "short data is padded with zeros";
    EXPECT_EQ(xm::check_block(b), xm::Check::Good);
    b[50] ^= 1;
    EXPECT_EQ(xm::check_block(b), xm::Check::BadCrc);
    b = xm::make_block(2, data);
    b[2] = 2;
    EXPECT_EQ(xm::check_block(b), xm::Check::BadHeader);
}

TEST_F(MonitorTest, HandshakeComesBeforeAnyCommand)
{
    EXPECT_EQ(say("w200000,4#"), "") << "no command before the auto-baud handshake";
    EXPECT_EQ(say("#"), "") << "a '#' alone does not end a handshake that has not begun";
    EXPECT_TRUE(chip.accesses.empty());
    connect(false);
    EXPECT_EQ(monitor.phase(), Monitor::Phase::Command);
    EXPECT_FALSE(monitor.binary());
    EXPECT_EQ(say("N#"), "\n\r");
    EXPECT_TRUE(monitor.binary());
    // A host connecting again repeats the handshake; the monitor answers it.
    EXPECT_EQ(say("\x80\x80#"), "\x80\x80\n\r>");
    EXPECT_EQ(say("V#"), std::string(Monitor::kVersion) + "\n\r");
}

TEST_F(MonitorTest, BinaryReadsAndWritesUseTheCommandsWidth)
{
    connect();
    EXPECT_EQ(say("W200010,CAFEF00D#"), "");
    EXPECT_EQ(say("H200020,BEEF#"), "");
    EXPECT_EQ(say("O200031,5A#"), "");
    EXPECT_EQ(say("w200010,4#"), le(0xCAFEF00D, 4));
    EXPECT_EQ(say("h200012,2#"), le(0xCAFE, 2));
    EXPECT_EQ(say("o200031,1#"), "\x5A");
    EXPECT_EQ(say("w00200020#"), le(0x0000BEEF, 4)) << "the count is optional";

    std::vector<std::tuple<bool, uint32_t, unsigned>> seen;
    for (const auto &a : chip.accesses) seen.emplace_back(a.write, a.address, a.size);
    std::vector<std::tuple<bool, uint32_t, unsigned>> expected = {
        {true, 0x200010, 4}, {true, 0x200020, 2}, {true, 0x200031, 1},
        {false, 0x200010, 4}, {false, 0x200012, 2}, {false, 0x200031, 1}, {false, 0x200020, 4}};
    EXPECT_EQ(seen, expected);
}

TEST_F(MonitorTest, TerminalModeAnswersInTextWithAPrompt)
{
    connect(false);
    chip.write(0xFFFFF240, 4, 0x270B0940);
    EXPECT_EQ(say("wFFFFF240,4#"), "\n\r0x270B0940\n\r>");
    EXPECT_EQ(say("hFFFFF240,2#"), "\n\r0x0940\n\r>");
    EXPECT_EQ(say("oFFFFF243,1#"), "\n\r0x27\n\r>");
    EXPECT_EQ(say("W200000,1#"), "\n\r>");
    EXPECT_EQ(say("V#"), "\n\r" + std::string(Monitor::kVersion) + "\n\r\n\r>");
    EXPECT_EQ(say("\r\nN#"), "\n\r") << "line ends between commands are ignored";
    EXPECT_EQ(say("T#"), "\n\r>");
}

TEST_F(MonitorTest, MalformedCommandsAreIgnoredAndReported)
{
    connect();
    for (std::string bad : {"X200000,1#", "wZZ#", "W200000#", "W200000,#", "S200000#", "W,5#",
                            "w123456789,4#", "G#", "O1,2,3#"}) {
        SCOPED_TRACE(bad);
        size_t before = reports.size();
        EXPECT_EQ(say(bad), "");
        EXPECT_EQ(reports.size(), before + 1);
    }
    EXPECT_TRUE(chip.accesses.empty());
    EXPECT_TRUE(chip.gone.empty());
    EXPECT_EQ(say("T#"), "\n\r>");
    EXPECT_EQ(say("Q#"), "\n\r>") << "terminal mode prompts again after a bad command";
    EXPECT_EQ(say("N#w200000,4#"), "\n\r" + le(0, 4));
}

TEST_F(MonitorTest, AnUnterminatedLineIsBoundedAndDroppedAtItsEnd)
{
    connect();
    std::string flood(100000, 'w');
    EXPECT_EQ(say(flood), "");
    EXPECT_TRUE(chip.accesses.empty());
    EXPECT_EQ(say("200000,4#"), "") << "the tail of an overlong line does not run as a command";
    EXPECT_TRUE(chip.accesses.empty());
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports.back().find("longer than any command"), std::string::npos) << reports.back();
    EXPECT_EQ(say("W200000,11223344#w200000,4#"), le(0x11223344, 4));
}

TEST_F(MonitorTest, ReceivesAFileIntoMemoryExactlyToItsSize)
{
    connect();
    auto data = pattern(300, 1);
    chip.memory[kRam + 300] = 0xEE;   // just past the file
    EXPECT_EQ(say("S200000,12C#"), "C");
    for (uint8_t n = 1; n <= 3; ++n) {
        size_t from = (n - 1) * xm::kData;
        std::vector<uint8_t> part(data.begin() + from, data.begin() + std::min(data.size(), from + xm::kData));
        EXPECT_EQ(say(bytes_of(xm::make_block(n, part))), "\x06") << "block " << int(n);
    }
    EXPECT_EQ(say("\x04"), "\x06");
    EXPECT_EQ(monitor.phase(), Monitor::Phase::Command);
    for (size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(chip.byte(kRam + static_cast<uint32_t>(i)), data[i]) << "byte " << i;
    EXPECT_EQ(chip.byte(kRam + 300), 0xEE) << "the last block's padding is not written";
    // The flash's page latch takes only words: aligned data goes as words.
    for (const auto &a : chip.accesses)
        EXPECT_EQ(a.size, 4u) << std::hex << a.address;
    EXPECT_TRUE(reports.empty());

    // Unaligned ends go as bytes.
    chip.accesses.clear();
    EXPECT_EQ(say("S200401,7#"), "C");
    EXPECT_EQ(say(bytes_of(xm::make_block(1, pattern(7, 9)))), "\x06");
    EXPECT_EQ(say("\x04"), "\x06");
    std::vector<std::pair<uint32_t, unsigned>> seen;
    for (const auto &a : chip.accesses) seen.emplace_back(a.address, a.size);
    std::vector<std::pair<uint32_t, unsigned>> expected = {{0x200401, 1}, {0x200402, 1}, {0x200403, 1}, {0x200404, 4}};
    EXPECT_EQ(seen, expected);
}

TEST_F(MonitorTest, ReceiveRecoversFromBadAndShortBlocks)
{
    connect();
    auto one = pattern(128, 10), two = pattern(128, 20);
    ASSERT_EQ(say("S200000,100#"), "C");

    xm::Block bad = xm::make_block(1, one);
    bad[40] ^= 0x80;
    EXPECT_EQ(say(bytes_of(bad)), "\x15") << "bad CRC: NAK";
    EXPECT_EQ(chip.writes(), 0u);
    EXPECT_EQ(say(bytes_of(xm::make_block(1, one))), "\x06");

    std::string short_block = bytes_of(xm::make_block(2, two)).substr(0, 60);
    EXPECT_EQ(say(short_block), "");
    EXPECT_EQ(quiet(kSecond / 2), "") << "still waiting for the rest of the block";
    EXPECT_EQ(quiet(kSecond / 2), "\x15") << "short block: NAK after a quiet second";
    size_t writes = chip.writes();
    EXPECT_EQ(say(bytes_of(xm::make_block(1, one))), "\x06") << "a repeated block is acknowledged";
    EXPECT_EQ(chip.writes(), writes) << "and not written again";
    EXPECT_EQ(say(bytes_of(xm::make_block(2, two))), "\x06");
    EXPECT_EQ(say("\x04"), "\x06");
    for (uint32_t i = 0; i < 128; ++i) {
        ASSERT_EQ(chip.byte(kRam + i), one[i]);
        ASSERT_EQ(chip.byte(kRam + 128 + i), two[i]);
    }
    EXPECT_EQ(say("w200000,4#"), le(one[0] | one[1] << 8 | one[2] << 16 | static_cast<uint32_t>(one[3]) << 24, 4));
}

TEST_F(MonitorTest, ReceiveGivesUpOnASilentOrHopelessHost)
{
    connect();
    ASSERT_EQ(say("S200000,80#"), "C");
    std::string asked;
    for (int i = 0; i < 20; ++i) asked += quiet(kSecond);
    EXPECT_EQ(asked, std::string(Monitor::kXmodemTries - 1, 'C'));
    EXPECT_EQ(monitor.phase(), Monitor::Phase::Command);
    ASSERT_EQ(reports.size(), 1u);

    ASSERT_EQ(say("S200000,80#"), "C");
    xm::Block bad = xm::make_block(1, pattern(128, 0));
    bad[3] ^= 1;
    std::string answers;
    for (int i = 0; i < Monitor::kXmodemTries; ++i) answers += say(bytes_of(bad));
    EXPECT_EQ(answers, std::string(Monitor::kXmodemTries - 1, '\x15') + "\x18\x18");
    EXPECT_EQ(say(bytes_of(xm::make_block(3, pattern(128, 0)))), "") << "the transfer is over";
    EXPECT_EQ(chip.writes(), 0u);
    say("#");   // the stray block was a (bad) command line; end it

    ASSERT_EQ(say("S200000,80#"), "C");
    EXPECT_EQ(say(bytes_of(xm::make_block(2, pattern(128, 0)))), "\x18\x18") << "out of sequence";
    EXPECT_EQ(say("w200000,4#"), le(0, 4));
}

TEST_F(MonitorTest, SendsMemoryAsXmodemBlocks)
{
    connect();
    auto data = pattern(200, 5);
    for (uint32_t i = 0; i < data.size(); ++i) chip.memory[kRam + i] = data[i];
    chip.memory[kRam + 200] = 0x77;   // past the end: not sent
    EXPECT_EQ(say("R200000,C8#"), "") << "the sender waits for the receiver's C";
    std::vector<uint8_t> first(data.begin(), data.begin() + 128), second(data.begin() + 128, data.end());
    std::string block1 = bytes_of(xm::make_block(1, first));
    EXPECT_EQ(say("C"), block1);
    EXPECT_EQ(say("\x15"), block1) << "NAK: the same block again";
    EXPECT_EQ(quiet(kSecond), block1) << "no answer for a second: again";
    EXPECT_EQ(say("\x06"), bytes_of(xm::make_block(2, second))) << "the last block zero-padded";
    EXPECT_EQ(say("\x06"), "\x04");
    EXPECT_EQ(say("\x06"), "");
    EXPECT_EQ(monitor.phase(), Monitor::Phase::Command);
    EXPECT_TRUE(reports.empty());

    EXPECT_EQ(say("R200000,0#"), "");
    EXPECT_EQ(say("C"), "\x04") << "an empty file is just its end";
    EXPECT_EQ(say("\x06"), "");
    EXPECT_EQ(say("R200000,10#C\x18"), bytes_of(xm::make_block(1, std::vector<uint8_t>(data.begin(), data.begin() + 16))));
    EXPECT_EQ(monitor.phase(), Monitor::Phase::Command) << "the host cancelled";
    EXPECT_EQ(say("o200000,1#"), std::string(1, static_cast<char>(data[0])));
}

TEST_F(MonitorTest, GoRunsCodeAndSurvivesCodeThatNeverReturns)
{
    connect();
    chip.returns.insert(0x00202001);
    EXPECT_EQ(say("G202001#"), "");
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(say("G202100#"), "");
    ASSERT_EQ(chip.gone.size(), 2u);
    EXPECT_EQ(chip.gone[1], std::make_pair(0x00202100u, Monitor::kDefaultGoLimit));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("0x00202100"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("2000 ms"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("pc 0x00202010"), std::string::npos) << reports[0];
    EXPECT_EQ(say("T#G202100#"), "\n\r>\n\r>") << "the monitor answers after it took the core back";
}

TEST_F(MonitorTest, ArbitraryBytesNeverBreakIt)
{
    std::mt19937 random(12345);
    std::string noise;
    for (int i = 0; i < 200000; ++i) {
        // Mostly command characters, so that commands and transfers do start.
        static const char alphabet[] = "SRwWoOhHNTV#,0123456789ABCDEF\x80\x01\x04\x06\x15\x18" "C";
        uint8_t b = random() % 4 ? static_cast<uint8_t>(alphabet[random() % (sizeof alphabet - 1)])
                                 : static_cast<uint8_t>(random());
        monitor.receive(b);
        if (random() % 64 == 0) monitor.elapse(kSecond);
        ASSERT_LT(monitor.take_output().size(), 1000u);
    }
    EXPECT_EQ(reports.size(), Monitor::kMaxReports + 1) << "diagnostics are bounded too";
    EXPECT_NE(reports.back().find("not reported"), std::string::npos);
    // End whatever line or transfer the noise left open; then it serves a host.
    for (int i = 0; i < 3; ++i) {
        monitor.receive('#');
        monitor.elapse(2 * Monitor::kXmodemTries * kSecond);
    }
    monitor.take_output();
    ASSERT_EQ(monitor.phase(), Monitor::Phase::Command);
    std::string answer = say("N#w200000,4#");
    EXPECT_EQ(answer.size(), 6u);
    EXPECT_EQ(answer.substr(0, 2), "\n\r");
}

}  // namespace

}  // namespace monitor_test

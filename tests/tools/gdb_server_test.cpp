// The GDB server against a fake target over loopback: the protocol as a
// debugger speaks it, bad input, and a real gdb-multiarch session.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <thread>

#include "sim/tools/gdb_server.h"
#include "tests/tools/fake_target.h"
#include "tests/tools/rsp_client.h"

namespace gdb_server_test {

namespace {

using simtools::GdbServer;
using testing_support::FakeTarget;
using testing_support::RspClient;
namespace rsp = simtools::rsp;

TEST(RspFraming, ChecksumsEscapesAndTheInterruptByte)
{
    EXPECT_EQ(rsp::frame("OK"), "$OK#9a");
    EXPECT_EQ(rsp::frame("a#b").substr(0, 6), "$a}\x03" "b#") << "'#' in data is escaped";
    rsp::Reader r;
    std::string in = "xx+$m10,4#" + std::string(1, "0123456789abcdef"[rsp::checksum("m10,4") >> 4]) +
                     "0123456789abcdef"[rsp::checksum("m10,4") & 15];
    std::vector<rsp::Reader::Event> events;
    for (char c : in + "\x03" + "$X0,1:}\x03#00" + "-")
        if (auto e = r.feed(static_cast<uint8_t>(c))) events.push_back(*e);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, rsp::Reader::Event::Ack);
    EXPECT_EQ(events[1].kind, rsp::Reader::Event::Packet);
    EXPECT_EQ(events[1].data, "m10,4");
    EXPECT_EQ(events[2].kind, rsp::Reader::Event::Interrupt);
    EXPECT_EQ(events[3].kind, rsp::Reader::Event::BadChecksum) << "a wrong checksum is never taken as a packet";
    EXPECT_EQ(events[4].kind, rsp::Reader::Event::Nak);

    // The escaped byte is restored, and the checksum covers the escaped form.
    std::string framed = rsp::frame(std::string("X0,1:#"));
    rsp::Reader r2;
    std::optional<rsp::Reader::Event> got;
    for (char c : framed) got = r2.feed(static_cast<uint8_t>(c));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, "X0,1:#");

    // A packet longer than the limit is refused rather than grown without bound.
    rsp::Reader r3;
    std::string huge = "$" + std::string(rsp::Reader::kMaxPacket + 10, 'a') + "#00";
    for (char c : huge) got = r3.feed(static_cast<uint8_t>(c));
    EXPECT_EQ(got->kind, rsp::Reader::Event::BadChecksum);

    EXPECT_FALSE(rsp::parse_hex32("12g4"));
    EXPECT_FALSE(rsp::parse_hex32(""));
    EXPECT_FALSE(rsp::parse_hex32("123456789"));
    EXPECT_EQ(*rsp::parse_hex32_le("78563412"), 0x12345678u);
}

struct GdbSession : ::testing::Test {
    FakeTarget target;
    GdbServer server{target};
    std::thread thread;
    GdbServer::Outcome outcome = GdbServer::Outcome::Disconnected;
    std::unique_ptr<RspClient> client;

    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server.listen(0, error)) << error;
        thread = std::thread([this] {
            if (server.accept(10000)) outcome = server.serve();
        });
        client = std::make_unique<RspClient>(server.port());
        ASSERT_TRUE(client->connected());
    }
    void TearDown() override
    {
        client->close();
        if (thread.joinable()) thread.join();
    }
    std::string ask(const std::string &p) { return client->ask(p); }
};

TEST_F(GdbSession, RegistersMemoryAndTheTargetDescription)
{
    EXPECT_NE(ask("qSupported:multiprocess+;swbreak+;xmlRegisters=arm").find("qXfer:features:read+"), std::string::npos);
    EXPECT_EQ(client->last_ack(), '+');
    EXPECT_EQ(ask("?"), "T05");

    // The description is sent in pieces; put together it names the core and its 17 registers.
    std::string xml;
    for (uint32_t off = 0;;) {
        char q[64];
        std::snprintf(q, sizeof q, "qXfer:features:read:target.xml:%x,40", off);
        std::string r = ask(q);
        ASSERT_FALSE(r.empty());
        xml += r.substr(1);
        off += static_cast<uint32_t>(r.size() - 1);
        if (r[0] == 'l') break;
        ASSERT_EQ(r[0], 'm');
    }
    EXPECT_EQ(xml, GdbServer::target_xml());
    EXPECT_NE(xml.find("org.gnu.gdb.arm.core"), std::string::npos);
    EXPECT_NE(xml.find("name=\"cpsr\" bitsize=\"32\" regnum=\"16\""), std::string::npos);
    EXPECT_EQ(ask("qXfer:features:read:other.xml:0,100"), "E00");

    target.regs[3] = 0x12345678;
    std::string g = ask("g");
    ASSERT_EQ(g.size(), 17u * 8);
    EXPECT_EQ(g.substr(3 * 8, 8), "78563412") << "registers travel little-endian";
    EXPECT_EQ(g.substr(16 * 8, 8), "d3000000");
    EXPECT_EQ(ask("P4=efbeadde"), "OK");
    EXPECT_EQ(target.regs[4], 0xDEADBEEFu);
    EXPECT_EQ(ask("p4"), "efbeadde");
    EXPECT_EQ(ask("p11"), "E01") << "there is no register 17";
    std::string all = g;
    all.replace(0, 8, "01000000");
    EXPECT_EQ(ask("G" + all), "OK");
    EXPECT_EQ(target.regs[0], 1u);
    EXPECT_EQ(ask("G" + all.substr(8)), "E01") << "a short register block is refused whole";

    EXPECT_EQ(ask("m100004,4"), "04050607");
    EXPECT_EQ(ask("M200010,3:a1b2c3"), "OK");
    EXPECT_EQ(ask("m200010,3"), "a1b2c3");
    EXPECT_EQ(ask("X200020,2:#z"), "OK") << "binary writes undo the escape";
    EXPECT_EQ(target.ram[0x20], '#');
    EXPECT_EQ(target.ram[0x21], 'z');
    EXPECT_EQ(ask("m300000,4"), "E02") << "nothing answers there";
    EXPECT_EQ(ask("m200ffe,4"), "0000") << "a range that runs off RAM returns the part that exists";

    // Looking at a read-to-clear register must not clear it.
    EXPECT_EQ(ask("mfffff44c,4"), "20000000");
    EXPECT_EQ(ask("mfffff44c,4"), "20000000");
    EXPECT_EQ(target.status_reads, 0);
    EXPECT_EQ(target.status, 0x20u);

    // Monitor commands: the output comes first, as console output.
    std::string cmd = "status";
    EXPECT_EQ(ask("qRcmd," + rsp::to_hex(reinterpret_cast<const uint8_t *>(cmd.data()), cmd.size())),
              "O" + rsp::to_hex(reinterpret_cast<const uint8_t *>("status 32\n"), 10));
    EXPECT_EQ(client->reply(), "OK");
    EXPECT_EQ(ask("qRcmd,6e6f7065").substr(0, 1), "O");
    EXPECT_EQ(client->reply(), "E02") << "an unknown monitor command";

    EXPECT_EQ(ask("D"), "OK");
    thread.join();
    EXPECT_EQ(outcome, GdbServer::Outcome::Detached);
}

TEST_F(GdbSession, BreakpointsWatchpointsStepAndInterrupt)
{
    EXPECT_EQ(ask("Z0,100020,2"), "OK");
    EXPECT_EQ(ask("c"), "T05");
    EXPECT_EQ(target.regs[15], 0x00100020u) << "stopped before the instruction at the breakpoint";
    EXPECT_EQ(ask("z0,100020,2"), "OK");
    EXPECT_EQ(ask("z0,100020,2"), "E03") << "removing a breakpoint that is not there";

    EXPECT_EQ(ask("vCont;s:1"), "T05");
    EXPECT_EQ(target.regs[15], 0x00100022u);
    EXPECT_EQ(ask("s"), "T05");
    EXPECT_EQ(target.regs[15], 0x00100024u);

    uint32_t before = target.ram[0];
    EXPECT_EQ(ask("Z2,200000,4"), "OK");
    EXPECT_EQ(ask("vCont;c"), "T05watch:200000;");
    EXPECT_EQ(target.ram[0], before + 1);
    EXPECT_EQ(target.regs[15], FakeTarget::kIncrementAt + 2) << "reported after the store";
    EXPECT_EQ(ask("z2,200000,4"), "OK");
    EXPECT_EQ(ask("Z2,fffff44c,4"), "E03") << "watchpoints are for RAM";

    // Running with nothing to stop at: only Ctrl-C brings it back.
    uint64_t executed = target.executed;
    client->send("c");
    // Interrupt only once more than a slice has run, however slow the host is.
    for (int i = 0; i < 10000 && target.executed <= executed + target.slice; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client->raw("\x03");
    EXPECT_EQ(client->reply(), "T02");
    EXPECT_GT(target.executed, executed + target.slice);
    // Halted means halted: nothing runs while the debugger thinks.
    executed = target.executed;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ask("?"), "T02");
    EXPECT_EQ(target.executed, executed);

    // Continue at an address.
    EXPECT_EQ(ask("Z1,100030,2"), "OK");
    target.regs[15] = 0x00100032;
    EXPECT_EQ(ask("c100000"), "T05");
    EXPECT_EQ(target.regs[15], 0x00100030u);
}

TEST_F(GdbSession, MalformedAndUnknownPacketsGetTheProtocolsAnswers)
{
    // A bad checksum is refused with '-' and nothing is done.
    client->raw("$g#00");
    EXPECT_EQ(client->byte(), '-');
    EXPECT_EQ(ask("vMustReplyEmpty"), "");
    // No history here: neither offered nor answered.
    EXPECT_EQ(ask("qSupported").find("ReverseStep"), std::string::npos);
    EXPECT_EQ(ask("bs"), "");
    EXPECT_EQ(ask("bc"), "");
    EXPECT_EQ(ask("qNoSuchThing"), "");
    EXPECT_EQ(ask("!"), "");
    EXPECT_EQ(ask("Z9,100000,2"), "") << "an unknown breakpoint type is 'not supported'";
    for (const char *bad : {"m", "m100000", "m10000g,4", "m,4", "M200000,2:abc", "M200000,3:aabb",
                            "M200000,2", "X200000,5:ab", "p", "pzz", "P1", "P1=1234", "Z0,zz,2", "Z2,200000,0",
                            "c12345678901", "Czz", "S05;nothex", "vCont;x", "g00",
                            "qXfer:features:read:target.xml:zz,10", "qRcmd,6"})
        EXPECT_EQ(ask(bad).substr(0, 1), "E") << bad;

    // Noise and junk of every byte value, in a repeatable sequence: the server
    // must still answer a proper packet afterwards.
    uint32_t seed = 12345;
    std::string junk;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245 + 12345;
        char c = static_cast<char>(seed >> 16);
        junk += c == '\x03' ? 'x' : c;   // leave Ctrl-C out: it is a valid request
    }
    client->raw(junk + "#00");
    client->send("qC");
    std::string r;
    for (int i = 0; i < 5000 && r != "QC1" && r != "<timeout>"; ++i) r = client->reply();
    ASSERT_EQ(r, "QC1");
    EXPECT_EQ(ask("m100000,2"), "0001");

    EXPECT_EQ(ask("QStartNoAckMode"), "OK");
    client->send("p0");
    EXPECT_EQ(client->byte(), '$') << "no '+' once acks are off";

    client->send("k");
    thread.join();
    EXPECT_EQ(outcome, GdbServer::Outcome::Killed);
}

TEST_F(GdbSession, ADebuggerThatGoesAwayWhileTheTargetRunsLeavesItHalted)
{
    client->send("c");
    for (int i = 0; i < 10000 && target.executed == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client->close();
    thread.join();
    EXPECT_EQ(outcome, GdbServer::Outcome::Disconnected);
    uint64_t executed = target.executed;
    EXPECT_GT(executed, 0u);
}

// gdb-multiarch itself: it must accept the description and drive the target.
TEST(GdbMultiarch, BatchSessionAgainstTheFakeTarget)
{
    if (std::system("command -v gdb-multiarch >/dev/null 2>&1") != 0) GTEST_SKIP() << "gdb-multiarch not installed";
    FakeTarget target;
    GdbServer server{target};
    std::string error;
    ASSERT_TRUE(server.listen(0, error)) << error;
    GdbServer::Outcome outcome = GdbServer::Outcome::Killed;
    std::thread t([&] {
        if (server.accept(20000)) outcome = server.serve();
    });
    std::string cmd = "gdb-multiarch -batch -nx -ex 'set confirm off' -ex 'target remote 127.0.0.1:" +
                      std::to_string(server.port()) +
                      "' -ex 'info registers cpsr' -ex 'break *0x100020' -ex 'continue' -ex 'print/x $pc'"
                      " -ex 'stepi' -ex 'print/x $pc' -ex 'watch *(int*)0x200000' -ex 'continue'"
                      " -ex 'set var $r5 = 0x55' -ex 'x/2xb 0x100004' -ex 'detach' 2>&1";
    std::string out;
    {
        std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(cmd.c_str(), "r"), pclose);
        ASSERT_TRUE(pipe);
        std::array<char, 256> buf;
        while (fgets(buf.data(), buf.size(), pipe.get())) out += buf.data();
    }
    t.join();
    EXPECT_EQ(outcome, GdbServer::Outcome::Detached) << out;
    EXPECT_NE(out.find("cpsr           0xd3"), std::string::npos) << out;
    EXPECT_NE(out.find("$1 = 0x100020"), std::string::npos) << out;
    EXPECT_NE(out.find("$2 = 0x100022"), std::string::npos) << out;
    EXPECT_NE(out.find("Hardware watchpoint 2: *(int*)0x200000"), std::string::npos) << out;
    EXPECT_NE(out.find("New value = 2"), std::string::npos) << out;
    EXPECT_NE(out.find("0x04\t0x05"), std::string::npos) << out;
    EXPECT_EQ(target.regs[5], 0x55u);
}

}  // namespace

}  // namespace gdb_server_test

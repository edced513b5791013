// The whole board saved and restored: for each kind of activity a board is
// driven through the bus, saved at several points and restored into a fresh
// board; both are then driven on identically and must agree on everything
// that can be seen (every register, the pins, the display, what the debug
// unit sent, the log, the pending events, a second save). A reset after
// the activity must give each part its power-on state, and peeking every
// register must change nothing.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "board/board.h"

namespace board_state_test {

namespace {

using board::Board;
using board::kPicosPerNs;
using board::Picos;
using board::StateReader;
using board::StateWriter;

// Memory as the PDC sees it.
struct Ram : board::Memory {
    static constexpr uint32_t kBase = 0x00200000;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(256, 0);
    bool read8(uint32_t a, uint8_t &v) override
    {
        if (a - kBase >= bytes.size())
            return false;
        v = bytes[a - kBase];
        return true;
    }
    bool write8(uint32_t a, uint8_t v) override
    {
        if (a - kBase >= bytes.size())
            return false;
        bytes[a - kBase] = v;
        return true;
    }
};

// A board with what the far ends see of it.
struct Rig {
    Board b;
    Ram ram;
    std::string sent;   // by the debug unit to the host
    Rig()
    {
        b.keys.set_bounce(6, 2 * board::kPicosPerMs, 7);   // a setting of the board, as the crystal is
        b.bus.set_memory(&ram);
        b.dbgu.set_host_output([this](uint8_t c) { sent += static_cast<char>(c); });
        for (size_t i = 0; i < ram.bytes.size(); ++i)
            ram.bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
};

using Step = std::function<void(Rig &)>;

// An activity as a list of steps, written as firmware would drive the board.
struct Script {
    std::vector<Step> steps;
    Script &write(uint32_t address, uint32_t value)
    {
        steps.push_back([=](Rig &r) { r.b.bus.write(address, value); });
        return *this;
    }
    Script &read(uint32_t address)
    {
        steps.push_back([=](Rig &r) { r.b.bus.read(address); });
        return *this;
    }
    Script &wait_ns(uint64_t ns)
    {
        steps.push_back([=](Rig &r) { r.b.clock.advance_to(r.b.clock.now() + ns * kPicosPerNs); });
        return *this;
    }
    Script &wait_us(uint64_t us) { return wait_ns(us * 1000); }
    Script &call(Step s)
    {
        steps.push_back(std::move(s));
        return *this;
    }
};

constexpr uint32_t PMC = board::kPmcBase, PIO = board::kPioaBase, AIC = board::kAicBase, SPI = board::kSpiBase,
                   DBGU = board::kDbguBase, MC = board::kMcBase;
constexpr uint32_t PER = 0x00, PDR = 0x04, OER = 0x10, ODR = 0x14, SODR = 0x30, CODR = 0x34, ODSR = 0x38, PDSR = 0x3C,
                   PIO_IER = 0x40, PIO_ISR = 0x4C, OWER = 0xA0;
constexpr uint32_t RPR = 0x100, RCR = 0x104, TPR = 0x108, TCR = 0x10C, PTCR = 0x120;

// The main oscillator, then the PLL at 96 MHz and the master clock at half
// of it, as the firmware's start-up does.
void clock_up(Script &s, bool pll)
{
    s.write(PMC + 0x20, 0x0601).wait_us(1600);   // CKGR_MOR: MOSCEN, OSCOUNT 6
    if (!pll) {
        s.write(PMC + 0x30, 0x01).wait_us(200);   // PMC_MCKR: the main clock
        return;
    }
    s.write(PMC + 0x2C, 0x00191C05).wait_us(300);   // CKGR_PLLR: DIV 5, MUL 25, PLLCOUNT 28
    s.write(PMC + 0x30, 0x04).wait_us(100).write(PMC + 0x30, 0x07).wait_us(100);
}

Script system_controller()
{
    Script s;
    s.write(0xFFFFFD44, 0x00F01100 | (1u << 12)).wait_us(10);   // WDTC_WDMR: WDV 0x100, WDD 0xF0, WDFIEN
    clock_up(s, true);
    s.write(AIC + 0x04, 0x03).write(AIC + 0x84, 0x1234).write(AIC + 0x120, 1u << 1);   // source 1: level, vector
    s.write(0xFFFFFD30, (1u << 24) | (1u << 25) | 2999);   // PIT: 1 ms periods, interrupt
    s.write(0xFFFFFD20, 3u | (1u << 16) | (1u << 17) | (1u << 18)).write(0xFFFFFD24, 40);   // RTT
    s.write(0xFFFFFD08, 0xA5000210);   // RSTC_MR: URSTIEN, ERSTL 2
    s.write(0xFFFFFD60, 1);            // VREG_MR: standby (logged)
    for (int i = 0; i < 6; ++i) {
        s.wait_us(400).read(AIC + 0x100).read(0xFFFFFD38).read(0xFFFFFD2C).write(AIC + 0x130, 0);
        s.write(0xFFFFFD40, 0xA5000001).read(0xFFFFFD48);   // watchdog restart, status
    }
    s.write(0xFFFFFD00, 0xA5000008).wait_us(60);   // RSTC_CR: external reset
    s.write(MC + 0x00, 1).call([](Rig &r) { r.b.mc.record_abort(0, 0x00500000, 4, board::Mc::AbortType::Read, true, false); });
    s.write(0xFFFFFD30, 2999).wait_us(1500).read(MC + 0x04).write(0xFFFFF0FF, 1);   // PIT off, a hole
    // A restart in the window, then one too early (WDERR).
    s.wait_us(70000).write(0xFFFFFD40, 0xA5000001).read(0xFFFFFD48);
    s.wait_us(30000).write(0xFFFFFD40, 0xA5000001).read(0xFFFFFD48);
    return s;
}

Script flash_programming()
{
    Script s;
    clock_up(s, false);
    s.write(MC + 0x60, (28u << 16) | (1u << 8) | 0x1);   // MC_FMR: FMCN 28, FWS 1, FRDY interrupt
    s.call([](Rig &r) {
        for (uint32_t i = 0; i < 64; ++i)
            r.b.mc.efc().latch_store(0x00100400 + 4 * i, 0xA5A50000u + i, 4);
    });
    s.write(MC + 0x64, 0x5A000000 | (4u << 8) | 0x1);   // write page 4
    for (int i = 0; i < 4; ++i)
        s.wait_us(1700).read(MC + 0x68);
    s.call([](Rig &r) { r.b.mc.efc().latch_store(0x00100000, 0x12345678, 4); });
    s.write(MC + 0x64, 0x5A000000 | (70u << 8) | 0x3);   // write page 70 and lock
    s.wait_us(3000).read(MC + 0x68).wait_us(5000);
    s.write(MC + 0x64, 0x5A000000 | (1u << 8) | 0xB).wait_us(1000);   // set GPNVM bit 1
    s.wait_us(4000).write(MC + 0x64, 0x12000008).read(MC + 0x68);     // a wrong key
    s.write(MC + 0x64, 0x5A000008).read(MC + 0x68);                   // erase all, refused: locked
    return s;
}

Script debug_unit()
{
    Script s;
    clock_up(s, false);
    s.write(PIO + PDR, (1u << 9) | (1u << 10));
    s.write(DBGU + 0x04, 4u << 9).write(DBGU + 0x20, 10);        // no parity, 115200 baud
    s.write(DBGU + 0x00, (1u << 4) | (1u << 6)).write(DBGU + 0x08, 0x3);   // RXEN, TXEN; RXRDY, TXRDY
    s.write(DBGU + 0x1C, 'A').call([](Rig &r) { r.b.dbgu.receive_from_host("hello"); });
    for (int i = 0; i < 4; ++i)
        s.wait_us(37).read(DBGU + 0x18).read(DBGU + 0x14);
    s.write(DBGU + TPR, Ram::kBase).write(DBGU + TCR, 6).write(DBGU + RPR, Ram::kBase + 0x80).write(DBGU + RCR, 4);
    s.write(DBGU + PTCR, 0x101).call([](Rig &r) { r.b.dbgu.receive_from_host("world!"); });
    for (int i = 0; i < 10; ++i)
        s.wait_us(45).read(DBGU + 0x14);
    s.write(DBGU + 0x00, 1u << 5).call([](Rig &r) { r.b.dbgu.receive_from_host("lost"); }).wait_us(400);
    return s;
}

// The serial flash over the SPI, its chip select on a PIO line.
Script serial_flash()
{
    Script s;
    clock_up(s, false);
    s.write(PMC + 0x10, (1u << board::kIdSpi) | (1u << board::kIdPioa));
    s.write(PIO + PDR, 0x7u << 12).write(PIO + SODR, 1u << 11).write(PIO + PER, 1u << 11).write(PIO + OER, 1u << 11);
    s.write(SPI + 0x00, 0x80).write(SPI + 0x04, 0x000E0011).write(SPI + 0x30, 0x0402).write(SPI + 0x00, 1);
    auto command = [&s](std::initializer_list<uint8_t> bytes) {
        s.write(PIO + CODR, 1u << 11);
        for (uint8_t b : bytes)
            s.write(SPI + 0x0C, b).wait_ns(1200).read(SPI + 0x10).wait_ns(900).read(SPI + 0x08);
        s.write(PIO + SODR, 1u << 11).wait_ns(500).read(PIO + PIO_ISR);
    };
    command({0x9F, 0, 0, 0});
    command({0x06});
    command({0x50});
    command({0x01, 0x00});
    command({0x06});
    command({0x02, 0x00, 0x01, 0x10, 0x5A});
    command({0x05, 0, 0});
    s.wait_us(10);
    command({0x06});
    command({0x20, 0x00, 0x20, 0x00});   // sector erase: busy for 25 ms
    // A read through the PDC: the command and three address bytes, then data.
    s.call([](Rig &r) {
        const uint8_t cmd[] = {0x03, 0x00, 0x01, 0x10};
        std::copy(std::begin(cmd), std::end(cmd), r.ram.bytes.begin());
    });
    s.wait_us(26000).write(PIO + CODR, 1u << 11);
    s.write(SPI + RPR, Ram::kBase + 0x40).write(SPI + RCR, 8).write(SPI + TPR, Ram::kBase).write(SPI + TCR, 8);
    s.write(SPI + PTCR, 0x101);
    for (int i = 0; i < 8; ++i)
        s.wait_ns(700).read(SPI + 0x10);
    s.write(PIO + SODR, 1u << 11).wait_us(5);
    return s;
}

// The display driven by PIO lines, in four bits, with busy-flag reads.
Script display()
{
    constexpr uint32_t RS = 1u << board::net::kLcdRs, RW = 1u << board::net::kLcdRw, E = 1u << board::net::kLcdE;
    constexpr uint32_t D = 0xFu << board::net::kLcdD4;
    Script s;
    s.write(PMC + 0x10, 1u << board::kIdPioa);
    s.write(PIO + PER, RS | RW | E | D).write(PIO + OER, RS | RW | E | D).write(PIO + OWER, RS | RW | E | D);
    uint32_t lines = 0;
    auto set = [&](uint32_t mask, uint32_t levels) {
        lines = (lines & ~mask) | levels;
        s.write(PIO + ODSR, lines);
    };
    auto nibble = [&](bool rs, uint8_t n) {
        set(RS | RW | D, (rs ? RS : 0) | static_cast<uint32_t>(n & 0xF) << board::net::kLcdD4);
        s.wait_ns(100);
        set(E, E);
        s.wait_ns(500);
        set(E, 0);
        s.wait_ns(500);
    };
    auto byte = [&](bool rs, uint8_t b) {
        nibble(rs, b >> 4);
        nibble(rs, b & 0xF);
        s.wait_us(45);
    };
    s.wait_us(41000);
    for (int i = 0; i < 3; ++i) {
        nibble(false, 0x3);
        s.wait_us(4200);
    }
    nibble(false, 0x2);
    s.wait_us(100);
    for (uint8_t cmd : {0x28, 0x0C, 0x06, 0x01})
        byte(false, cmd);
    s.wait_us(1600);
    for (char c : std::string("Hi there"))
        byte(true, static_cast<uint8_t>(c));
    byte(false, 0x40);   // a glyph in CGRAM
    byte(true, 0x1F);
    // Busy-flag reads: the controller drives the data lines while E is high
    // (the first while the port still drives them too: a fight, logged).
    for (int i = 0; i < 3; ++i) {
        if (i == 1)
            s.write(PIO + ODR, D);
        set(RS | RW, RW);
        s.wait_ns(100);
        set(E, E);
        s.wait_ns(200).read(PIO + PDSR).wait_ns(300);
        set(E, 0);
        s.wait_ns(500);
    }
    s.write(PIO + OER, D);
    byte(false, 0xC0);
    byte(true, '!');
    return s;
}

// Keys that bounce, seen by the PIO's input change interrupt.
Script keys()
{
    constexpr uint32_t kKeys = board::Keys::kLines;
    Script s;
    s.write(PMC + 0x10, 1u << board::kIdPioa);
    s.write(PIO + PIO_IER, kKeys).write(AIC + 0x08, 0x05).write(AIC + 0x120, 1u << board::kIdPioa);
    for (int k = 0; k < 3; ++k) {
        s.call([k](Rig &r) { r.b.keys.press(k); });
        for (int i = 0; i < 4; ++i)
            s.wait_us(300).read(PIO + PIO_ISR).read(AIC + 0x100).write(AIC + 0x130, 0);
        s.call([k](Rig &r) { r.b.keys.release(k); }).wait_us(700).read(PIO + PDSR);
    }
    s.call([](Rig &r) { r.b.keys.press(0); }).call([](Rig &r) { r.b.keys.press(2); }).wait_us(500);
    s.call([](Rig &r) { r.b.keys.release(0); }).wait_us(3000).read(PIO + PIO_ISR);
    return s;
}

struct Activity {
    const char *name;
    Script (*script)();
};
const Activity kActivities[] = {
    {"system controller", system_controller}, {"flash programming", flash_programming},
    {"debug unit", debug_unit},               {"serial flash", serial_flash},
    {"display", display},                     {"keys", keys},
};

std::vector<uint8_t> save(Board &b)
{
    StateWriter w;
    b.save(w);
    return w.take();
}

// Everything a debugger or a view can see of the board.
std::string look(Rig &r)
{
    Board &b = r.b;
    std::ostringstream o;
    o << "time " << b.clock.now() << " cycles " << b.clock.cycles() << "\n";
    for (unsigned i = 0; i < board::kChipBlockCount; ++i) {
        const board::ChipBlock &block = board::kChipBlocks[i];
        if (!block.model)
            continue;
        auto *device = dynamic_cast<board::MappedDevice *>(&block.model(b));
        for (const board::Register &reg : device->registers().registers()) {
            uint32_t v = 0;
            b.bus.peek(block.base + reg.offset, v);
            o << reg.name << "=" << std::hex << v << std::dec << " ";
        }
        o << "\n";
    }
    o << "pins " << std::hex << b.pa.levels() << std::dec << " irq " << b.aic.nirq() << b.aic.nfiq() << "\n";
    for (int row = 0; row < board::Hd44780::kRows; ++row)
        o << "|" << b.lcd.row(row) << "|\n";
    o << "lcd " << int(b.lcd.status()) << " flash " << int(b.flash.status()) << "\n";
    for (const auto &e : b.clock.pending_events())
        o << "event " << e.when << " " << e.id << " " << e.name.owner << " " << e.name.what << "\n";
    o << "ram ";
    for (uint8_t byte : r.ram.bytes)
        o << int(byte) << ",";
    return o.str();
}

// What the board logged and sent from the given points on.
std::string told(Rig &r, size_t log_from, size_t sent_from)
{
    std::string s = "sent " + r.sent.substr(sent_from) + "\n";
    const auto &log = r.b.log.entries();
    for (size_t i = log_from; i < log.size(); ++i)
        s += "log " + std::to_string(log[i].time) + " " + log[i].source + ": " + log[i].message + "\n";
    return s;
}

// Where two saves part: the field names just before the first difference.
std::string first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    if (i == a.size() && i == b.size())
        return "";
    std::string context;
    for (size_t j = i > 48 ? i - 48 : 0; j < i; ++j)
        context += a[j] >= 32 && a[j] < 127 ? static_cast<char>(a[j]) : '.';
    auto bytes = [i](const std::vector<uint8_t> &v) {
        std::string out;
        for (size_t j = i; j < i + 8 && j < v.size(); ++j)
            out += " " + std::to_string(v[j]);
        return out;
    };
    return "at byte " + std::to_string(i) + ", after \"" + context + "\":" + bytes(a) + " /" + bytes(b);
}

// The board is saved after every step of an uninterrupted run, and each
// save restored into a fresh board that runs the rest: what it shows after
// each step must be what the uninterrupted board showed.
TEST(BoardState, ARestoredBoardGoesOnAsTheOneItWasSavedFrom)
{
    for (const Activity &activity : kActivities) {
        SCOPED_TRACE(activity.name);
        std::vector<Step> steps = activity.script().steps;
        Rig a;
        std::vector<std::vector<uint8_t>> saves, rams;
        std::vector<std::string> looks;
        std::vector<size_t> logged, sent;
        for (const Step &step : steps) {
            step(a);
            saves.push_back(save(a.b));
            rams.push_back(a.ram.bytes);
            looks.push_back(look(a));
            logged.push_back(a.b.log.entries().size());
            sent.push_back(a.sent.size());
        }
        for (size_t at = 0; at + 1 < steps.size(); ++at) {
            SCOPED_TRACE("saved after step " + std::to_string(at));
            auto b = std::make_unique<Rig>();
            StateReader reader(saves[at]);
            ASSERT_NO_THROW(b->b.restore(reader));
            EXPECT_TRUE(reader.at_end());
            b->ram.bytes = rams[at];
            ASSERT_EQ(first_difference(save(b->b), saves[at]), "") << "saved again at once";
            size_t b_logged = b->b.log.entries().size(), b_sent = b->sent.size();
            // Closely at first, then now and then: the last save compares the rest.
            for (size_t i = at + 1; i < steps.size(); ++i) {
                steps[i](*b);
                if (i < at + 8 || i % 16 == 0) {
                    ASSERT_EQ(look(*b), looks[i]) << "after step " << i;
                }
            }
            EXPECT_EQ(told(*b, b_logged, b_sent), told(a, logged[at], sent[at]));
            EXPECT_EQ(first_difference(save(b->b), saves.back()), "");
        }
    }
}

TEST(BoardState, ResetAfterActivityIsPowerOnAndPeeksChangeNothing)
{
    Rig fresh;
    fresh.b.reset();
    for (const Activity &activity : kActivities) {
        SCOPED_TRACE(activity.name);
        auto a = std::make_unique<Rig>();
        for (const Step &step : activity.script().steps)
            step(*a);

        std::vector<uint8_t> before = save(a->b);
        for (unsigned i = 0; i < board::kChipBlockCount; ++i) {
            const board::ChipBlock &block = board::kChipBlocks[i];
            for (uint32_t offset = 0; block.model && offset < block.size; offset += 4) {
                uint32_t v;
                a->b.bus.peek(block.base + offset, v);
            }
        }
        EXPECT_EQ(first_difference(save(a->b), before), "") << "a peek changed the board";

        std::vector<uint8_t> kept_flash = a->b.chip_flash.bytes();
        a->b.reset();
        std::vector<board::State *> parts = a->b.parts(), power_on = fresh.b.parts();
        ASSERT_EQ(parts.size(), power_on.size());
        for (size_t i = 0; i < parts.size(); ++i) {
            StateWriter after_reset, at_power_on;
            parts[i]->save_reset_values(after_reset);
            power_on[i]->save_reset_values(at_power_on);
            EXPECT_EQ(first_difference(after_reset.data(), at_power_on.data()), "") << parts[i]->name();
        }
        EXPECT_EQ(a->b.chip_flash.bytes(), kept_flash) << "the flash outlives a reset";
    }
}

}  // namespace

}  // namespace board_state_test

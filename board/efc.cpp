#include "board/efc.h"

#include <cmath>
#include <string>

namespace board {

namespace {
std::array<uint8_t, ChipFlash::kPageSize> erased_page()
{
    std::array<uint8_t, ChipFlash::kPageSize> page;
    page.fill(0xFF);
    return page;
}
}  // namespace

Efc::Efc(Clock &clock, Log &log, ChipFlash &flash) : clock_(clock), log_(log), flash_(flash)
{
    // MC_FMR is the memory controller's to declare, with its map.
    state_.field("LOCKE", locke_)
        .field("PROGE", proge_)
        .field("busy", busy_)
        .field("latch", latch_, erased_page())
        .field("command", running_.cmd)
        .field("command's page number", running_.page)
        .field("command erases", running_.erase)
        .field("command's page", running_data_)
        .kept("irq", irq_.saved_level())
        .event(clock_, event_, "EFC", {{"command end", [this] { command_end(); }}});
    reset();
}

Efc::~Efc()
{
    clock_.cancel(event_);
}

void Efc::reset()
{
    if (busy_)
        log_.warn("EFC", "reset while a flash command runs: the command is abandoned, the flash keeps its old contents");
    state_.reset();
    flash_.set_ready_at(0);
    update_irq();
}

uint32_t Efc::status() const
{
    uint32_t s = busy_ ? 0u : FRDY;
    if (locke_) s |= LOCKE;
    if (proge_) s |= PROGE;
    if (flash_.security()) s |= SECURITY;
    s |= flash_.gpnvm() << 8;
    s |= flash_.lock_bits() << 16;
    return s;
}

void Efc::declare(RegisterMap &map, std::function<void()> fmr_written)
{
    map.add(FMR, "MC_FMR", AccessKind::ReadWrite).field(fmr_, kFmrMask).then([this, fmr_written = std::move(fmr_written)] {
        update_irq();
        fmr_written();
    });
    map.add(FCR, "MC_FCR", AccessKind::Keyed).with_key(0x5A).on_write([this](uint32_t v) { command(v); }).then([this] {
        update_irq();
    }).on_bad_key([this](uint32_t v) {
        proge_ = true;
        log_.warn("EFC", "MC_FCR write of " + hex32(v) + " without key 0x5A: command not performed (PROGE)");
        update_irq();
    });
    map.add(FSR, "MC_FSR", AccessKind::ReadOnly).resets_to(FRDY).value([this] { return status(); }).on_read([this] {
        uint32_t v = status();
        locke_ = proge_ = false;
        update_irq();
        return v;
    });
}

void Efc::latch_store(uint32_t address, uint32_t value, unsigned size)
{
    if (size != 4) {
        log_.warn("EFC", std::to_string(size * 8) + "-bit store of " + hex32(value) + " into flash at " + hex32(address) +
                             ": only 32-bit stores fill the page latch buffer, dropped");
        return;
    }
    if (busy_) {
        log_.warn("EFC", "store into flash at " + hex32(address) + " while a flash command runs (FRDY 0): dropped");
        return;
    }
    uint32_t at = address % ChipFlash::kPageSize & ~3u;
    for (unsigned i = 0; i < 4; ++i)
        latch_[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Efc::refuse_locked(const char *what, uint32_t page)
{
    locke_ = true;
    log_.warn("EFC", std::string(what) + " refused: lock region " + std::to_string(page / ChipFlash::kPagesPerRegion) +
                         " is locked (LOCKE)");
}

void Efc::command(uint32_t fcr)
{
    if (busy_) {
        log_.warn("EFC", "MC_FCR write of " + hex32(fcr) + " while a command runs (FRDY 0): ignored");
        return;
    }
    uint32_t cmd = fcr & 0xF;
    uint32_t page = (fcr >> 8) & 0x3FF;
    switch (cmd) {
    case WP:
    case WPL: {
        if (flash_.locked_page(page)) {
            refuse_locked(cmd == WP ? "write page" : "write page and lock", page);
            return;
        }
        bool erase = !(fmr_ & NEBP);
        running_data_ = latch_;
        latch_.fill(0xFF);
        uint64_t units = erase ? kPageWriteUnits : kPageWriteNoEraseUnits;
        if (cmd == WPL)
            units += kBitUnits * 2 / 3;   // the lock bit's 3 ms in 1.5 us units
        run({cmd, page, erase}, units, false, "write page");
        return;
    }
    case EA:
        if (flash_.lock_bits()) {
            locke_ = true;
            log_.warn("EFC", "erase all refused: lock bits " + hex32(flash_.lock_bits()) + " are set (LOCKE)");
            return;
        }
        run({cmd, page, true}, kEraseAllUnits, false, "erase all");
        return;
    case SLB:
    case CLB:
        run({cmd, page, false}, kBitUnits, true, cmd == SLB ? "set lock bit" : "clear lock bit");
        return;
    case SGPB:
    case CGPB:
        if (page >= ChipFlash::kGpnvmBits) {
            proge_ = true;
            log_.warn("EFC", "GPNVM bit " + std::to_string(page) + " does not exist on this chip (bits 0 and 1): PROGE");
            return;
        }
        run({cmd, page, false}, kBitUnits, true, cmd == SGPB ? "set GPNVM bit" : "clear GPNVM bit");
        return;
    case SSB:
        run({cmd, page, false}, kBitUnits, true, "set security bit");
        return;
    default:
        proge_ = true;
        log_.warn("EFC", "MC_FCR command " + hex32(cmd) + " does not exist: PROGE");
        return;
    }
}

void Efc::run(Command c, uint64_t units, bool microsecond_units, const char *what)
{
    uint64_t fmcn = (fmr_ >> 16) & 0xFF;
    double per_unit = clock_.master_hz() * (microsecond_units ? 1e-6 : 1.5e-6);
    uint64_t needed = static_cast<uint64_t>(std::ceil(per_unit - 1e-9));
    if (fmcn < needed)
        log_.warn("EFC", std::string(what) + " with MC_FMR.FMCN " + std::to_string(fmcn) + ": the master clock needs " +
                             std::to_string(needed) + " (its cycles in " + (microsecond_units ? "1 us" : "1.5 us") +
                             "), the flash is programmed too briefly");
    uint64_t cycles = units * (fmcn ? fmcn : 1);
    busy_ = true;
    running_ = c;
    Picos done = clock_.now() + clock_.cycles_to_picos(cycles);
    flash_.set_ready_at(done);
    event_ = clock_.schedule_at({"EFC", "command end"}, done, [this] { command_end(); });
}

void Efc::command_end()
{
    event_ = 0;
    busy_ = false;
    const Command &c = running_;
    uint32_t region = c.page / ChipFlash::kPagesPerRegion;
    switch (c.cmd) {
    case WP:
    case WPL:
        flash_.write_page(c.page, running_data_.data(), c.erase);
        if (c.cmd == WPL)
            flash_.set_lock_bits(flash_.lock_bits() | (1u << region));
        break;
    case EA:
        flash_.erase_all();
        break;
    case SLB:
    case CLB: {
        uint32_t bits = flash_.lock_bits();
        flash_.set_lock_bits(c.cmd == SLB ? bits | (1u << region) : bits & ~(1u << region));
        break;
    }
    case SGPB:
    case CGPB: {
        uint32_t bits = flash_.gpnvm();
        flash_.set_gpnvm(c.cmd == SGPB ? bits | (1u << c.page) : bits & ~(1u << c.page));
        break;
    }
    case SSB:
        flash_.set_security(true);
        break;
    default:
        break;
    }
    update_irq();
}

void Efc::update_irq()
{
    uint32_t s = status() & (FRDY | LOCKE | PROGE);
    bool level = (s & fmr_) != 0;
    irq_.set(level);
}

}  // namespace board

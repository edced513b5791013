#include "sim/machine/session.h"

#include <algorithm>

#include "sim/machine/duration.h"
#include "sim/machine/rule_report.h"
#include "sim/samba/boot_program.h"
#include "sim/machine/screen_text.h"
#include "sim/machine/snapshot_file.h"

namespace sim {

std::unique_ptr<Session> Session::open(const SessionOptions &options, std::string &error)
{
    std::optional<ElfImage> image;
    uint64_t image_hash = 0;
    if (!options.image.empty()) {
        image = ElfImage::load(options.image, error);
        if (!image || !hash_file(options.image, image_hash, error))
            return nullptr;
    }
    std::optional<FlashFile> flash;
    if (options.flash_file) {
        flash = FlashFile::open(*options.flash_file, error, FlashFile::kSize, options.flash_start);
        if (!flash)
            return nullptr;
    }
    std::optional<FlashFile> chip_flash, chip_nvm;
    if (options.chip_flash_file) {
        chip_flash = FlashFile::open(*options.chip_flash_file, error, board::ChipFlash::kSize, options.chip_flash_start);
        if (!chip_flash)
            return nullptr;
        chip_nvm = FlashFile::open(nvm_bits_path(*options.chip_flash_file), error, 4, options.chip_nvm_start);
        if (!chip_nvm)
            return nullptr;
    }
    std::unique_ptr<Session> s(new Session);
    s->image_hash_ = image_hash;
    if (options.serial) {
        s->serial_ = SerialLink::open(*options.serial, s->board, error);
        if (!s->serial_)
            return nullptr;
    }
    if (options.jtag_port) {
        auto report = options.jtag_report ? options.jtag_report : [](const std::string &) {};
        s->jtag_ = JtagPort::open(s->machine, *options.jtag_port, report, error);
        if (!s->jtag_)
            return nullptr;
    }
    s->board.dbgu.set_host_output([session = s.get()](uint8_t c) {
        if (session->in_past_ && session->in_past_())
            return;
        session->serial_text_.append(static_cast<char>(c));
        if (session->serial_)
            session->serial_->send(c);
    });
    s->chip_flash_ = std::move(chip_flash);
    s->chip_nvm_ = std::move(chip_nvm);
    if (s->chip_flash_) {
        s->board.chip_flash.load(s->chip_flash_->contents());
        set_nvm_bits(s->board.chip_flash, s->chip_nvm_->contents());
    } else if (options.chip_flash_start) {
        s->board.chip_flash.load(*options.chip_flash_start);
        if (options.chip_nvm_start)
            set_nvm_bits(s->board.chip_flash, *options.chip_nvm_start);
    }
    if (options.boot_program) {
        auto regions = samba::boot_regions();
        std::copy(regions.begin(), regions.end(), s->board.chip_flash.data());
        s->board.chip_flash.set_lock_bits(s->board.chip_flash.lock_bits() | ((1u << samba::kBootRegions) - 1));
        s->waiting_loop_ = samba::kMonitorLoop;
    }
    s->board.pmc.set_crystal_hz(options.crystal_hz);
    s->keys.set_bounce(options.bounce, options.bounce_window, options.bounce_seed);
    attach_pc_source(s->board.log.rules, s->machine);
    s->flash_ = std::move(flash);
    if (s->flash_)
        s->board.flash.preload(0, s->flash_->contents());
    else if (options.flash_start)
        s->board.flash.preload(0, *options.flash_start);
    if (s->serial_)
        s->serial_->record_to(&s->inputs_);
    if (image)
        s->machine.load(*image);
    s->power_on();
    return s;
}

void Session::power_on()
{
    inputs_.add(stamp(InputEvent::Kind::PowerOn));
    machine.reset();   // the keys too: they are the board's
    restart_links();
}

void Session::restart_links()
{
    if (serial_)
        serial_->start();
    if (jtag_)
        jtag_->start();
}

InputEvent Session::stamp(InputEvent::Kind kind) const
{
    InputEvent e;
    e.kind = kind;
    e.cycle = machine.cycles();
    e.instructions = machine.instructions();
    e.time = board.clock.now();
    return e;
}

void Session::press(int key)
{
    InputEvent e = stamp(InputEvent::Kind::Press);
    e.which = static_cast<uint32_t>(key);
    inputs_.add(e);
    keys.press(key);
}

void Session::release(int key)
{
    InputEvent e = stamp(InputEvent::Kind::Release);
    e.which = static_cast<uint32_t>(key);
    inputs_.add(e);
    keys.release(key);
}

void Session::write_serial(const std::string &bytes)
{
    InputEvent e = stamp(InputEvent::Kind::SerialWrite);
    e.bytes = bytes;
    inputs_.add(e);
    board.dbgu.receive_from_host(bytes);
}

bool Session::poke(uint32_t address, const uint8_t *data, uint32_t length)
{
    InputEvent e = stamp(InputEvent::Kind::Poke);
    e.value = address;
    e.bytes.assign(reinterpret_cast<const char *>(data), length);
    bool done = machine.poke(address, data, length);
    if (done)
        inputs_.add(e);
    return done;
}

void Session::set_register(int n, uint32_t value)
{
    InputEvent e = stamp(InputEvent::Kind::Register);
    e.which = static_cast<uint32_t>(n);
    e.value = value;
    inputs_.add(e);
    machine.cpu().set_reg(n, value);
}

void Session::set_cpsr(uint32_t value)
{
    InputEvent e = stamp(InputEvent::Kind::Cpsr);
    e.value = value;
    inputs_.add(e);
    machine.cpu().set_cpsr(value);
}

void Session::apply(const InputEvent &e)
{
    using K = InputEvent::Kind;
    switch (e.kind) {
    case K::Press: press(static_cast<int>(e.which)); break;
    case K::Release: release(static_cast<int>(e.which)); break;
    case K::SerialWrite: write_serial(e.bytes); break;
    case K::Poke: poke(static_cast<uint32_t>(e.value), reinterpret_cast<const uint8_t *>(e.bytes.data()),
                       static_cast<uint32_t>(e.bytes.size())); break;
    case K::Register: set_register(static_cast<int>(e.which), static_cast<uint32_t>(e.value)); break;
    case K::Cpsr: set_cpsr(static_cast<uint32_t>(e.value)); break;
    case K::PowerOn: power_on(); break;
    case K::LineBytes: break;   // the serial link's own
    }
}

void Session::set_past(std::function<bool()> in_past)
{
    in_past_ = in_past;
    if (serial_)
        serial_->set_past(std::move(in_past));
}

void Session::give_again(const InputEvent &e)
{
    inputs_.set_replaying(true);
    apply(e);
    inputs_.set_replaying(false);
}

void Session::replay_line(std::vector<InputEvent> bytes)
{
    if (serial_)
        serial_->replay(std::move(bytes));
}

std::optional<std::vector<uint8_t>> Session::stored_flash() const
{
    return flash_ ? std::optional(flash_->contents()) : std::nullopt;
}

std::optional<std::vector<uint8_t>> Session::stored_chip_flash() const
{
    return chip_flash_ ? std::optional(chip_flash_->contents()) : std::nullopt;
}

std::optional<std::vector<uint8_t>> Session::stored_chip_nvm() const
{
    return chip_nvm_ ? std::optional(chip_nvm_->contents()) : std::nullopt;
}

bool Session::save_snapshot(const std::string &path, std::string &error)
{
    return write_snapshot(machine, snapshot_identity(machine, image_hash_), path, error);
}

bool Session::restore_snapshot(const std::string &path, std::string &error)
{
    return read_snapshot(machine, snapshot_identity(machine, image_hash_), path, error);
}

bool Session::save_flash(std::string &error)
{
    if (flash_ && !flash_->save_if_changed(board.flash.array(), error))
        return false;
    // The array first: a refusal names the file the user gave.
    if (chip_flash_ && !chip_flash_->save_if_changed(board.chip_flash.bytes(), error))
        return false;
    return !chip_nvm_ || chip_nvm_->save_if_changed(nvm_bits_of(board.chip_flash), error);
}

std::string nvm_bits_path(const std::string &chip_flash_file)
{
    return chip_flash_file + ".nvm";
}

std::vector<uint8_t> nvm_bits_of(const board::ChipFlash &flash)
{
    uint32_t lock = ~flash.lock_bits();
    return {static_cast<uint8_t>(lock), static_cast<uint8_t>(lock >> 8), static_cast<uint8_t>(~flash.gpnvm()),
            static_cast<uint8_t>(flash.security() ? 0xFE : 0xFF)};
}

void set_nvm_bits(board::ChipFlash &flash, const std::vector<uint8_t> &bits)
{
    if (bits.size() != 4)
        return;
    flash.set_lock_bits(~static_cast<uint32_t>(bits[0] | bits[1] << 8));
    flash.set_gpnvm(~static_cast<uint32_t>(bits[2]));
    flash.set_security(!(bits[3] & 1));
}

std::string Session::report() const
{
    std::string out;
    for (int r = 0; r < 4; ++r)
        out += codes_text(row_codes(r)) + "\n";
    out += std::string("LED ") + (led() ? "1" : "0") + "\n";
    out += describe_faults(machine, waiting_loop_);
    out += describe_serial_losses(board.dbgu);
    out += describe_violations(board.log.rules);
    return out;
}

std::string describe_serial_losses(const board::Dbgu &dbgu)
{
    // Losses the chip itself would suffer; the host's bytes wait for the
    // receiver otherwise (serial_link.h).
    std::string out;
    if (dbgu.overruns())
        out += "serial: " + std::to_string(dbgu.overruns()) +
               " character(s) from the host lost: each arrived before the firmware read the one before from DBGU_RHR "
               "(DBGU_SR.OVRE)\n";
    if (dbgu.unheard())
        out += "serial: " + std::to_string(dbgu.unheard()) +
               " character(s) from the host lost: they arrived while the debug unit's receiver was off\n";
    return out;
}

std::string describe_faults(const Machine &machine, std::optional<uint32_t> waiting_loop)
{
    // A guest that faults in a loop would bury the display under reports.
    std::string out;
    const auto &faults = machine.faults();
    for (size_t i = 0; i < faults.size(); ++i) {
        const auto &f = faults[i];
        out += "fault: " + f.what + " at " + board::hex32(f.pc);
        if (!f.where.empty())
            out += " (" + f.where + ")";
        if (f.what.find("data abort") == 0)
            out += ", accessing " + board::hex32(f.data_address);
        out += ", at " + format_time(f.time) + "\n" + format_registers(f.registers) + "\n";
    }
    if (machine.fault_count() > faults.size())
        out += "... and " + std::to_string(machine.fault_count() - faults.size()) + " more faults, the last at " +
               format_time(machine.last_fault()->time) + "\n";
    if (auto p = machine.parked(); p && p->pc != waiting_loop) {
        out += "parked: the core loops at " + board::hex32(p->pc);
        if (!p->where.empty())
            out += " (" + p->where + ")";
        out += " since " + format_time(p->since);
        if (p->resets)
            out += " (the chip was reset " + std::to_string(p->resets) + " time(s) since and came back to it, the last at " +
                   format_time(p->last_reset) + ")";
        out += "\n" + format_registers(p->registers) + "\n";
    }
    return out;
}

}  // namespace sim

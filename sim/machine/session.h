// One simulated board with its firmware: the models, the core running the
// image, the keys and, optionally, the serial flash and the chip's own flash
// kept in files and the debug unit's line brought out to the host. The
// headless run, the terminal view, scenarios and the benchmark all drive one
// of these.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "sim/machine/elf_image.h"
#include "sim/machine/flash_file.h"
#include "sim/machine/input_log.h"
#include "sim/machine/jtag_port.h"
#include "sim/machine/machine.h"
#include "sim/machine/serial_capture.h"
#include "sim/machine/serial_link.h"

namespace sim {

struct SessionOptions {
    // Empty: no image; the core boots whatever the chip's flash holds.
    std::string image;
    std::optional<std::string> flash_file;
    // The chip's flash (256 KiB); the image, when given, is programmed into
    // it over whatever the file held, as a flashing tool erases and writes.
    // Its lock, GPNVM and security bits are kept beside it (nvm_bits_path).
    std::optional<std::string> chip_flash_file;
    std::optional<SerialLink::Kind> serial;
    // The chip as the TST procedure leaves it: the boot program in lock
    // regions 0 and 1, which are locked; the rest of the flash as it was.
    bool boot_program = false;
    uint32_t crystal_hz = 18432000;
    unsigned bounce = 0;              // extra transitions per key edge, 0 = clean
    board::Picos bounce_window = 5 * board::kPicosPerMs;
    uint64_t bounce_seed = 1;
    // The JTAG port (0: any free port), and where its messages go.
    std::optional<uint16_t> jtag_port;
    std::function<void(const std::string &)> jtag_report;
    // A replay: the flashes start from these contents instead of their
    // files', and the files (if named) only receive the contents at the end.
    std::optional<std::vector<uint8_t>> flash_start, chip_flash_start, chip_nvm_start;
};

class Session {
public:
    static constexpr int kLedLine = board::net::kLed;

    // Loads the image and the flash file; nullptr with `error` on bad input.
    static std::unique_ptr<Session> open(const SessionOptions &options, std::string &error);

    // Power-on: every model, the core and RAM; the serial flash keeps its array.
    void power_on();

    // Inputs from outside the board. Every front end hands them over here,
    // at an instruction boundary, so that they are recorded in one place.
    void press(int key);
    void release(int key);
    // Bytes handed to the debug unit's receiver as if they had come down the line.
    void write_serial(const std::string &bytes);
    // A debugger's writes.
    bool poke(uint32_t address, const uint8_t *data, uint32_t length);
    void set_register(int n, uint32_t value);
    void set_cpsr(uint32_t value);
    // A recorded boundary input again (a replay); not LineBytes.
    void apply(const InputEvent &e);
    // The line's bytes of a recording, fed to the chip as the host once wrote
    // them (the session was opened with the Replay serial kind).
    void replay_line(std::vector<InputEvent> bytes);
    InputLog &inputs() { return inputs_; }
    // The run going over its own past again (history.h): the inputs given
    // are recorded ones, and the chip's output already reached the host.
    void set_past(std::function<bool()> in_past);
    void give_again(const InputEvent &e);

    // What the flash files held when the run started (before it saves them).
    std::optional<std::vector<uint8_t>> stored_flash() const;
    std::optional<std::vector<uint8_t>> stored_chip_flash() const;
    std::optional<std::vector<uint8_t>> stored_chip_nvm() const;

    // Row r of the display as character codes (20 of them).
    std::string row_codes(int r) const { return board.lcd.row(r); }
    bool led() const { return board.pa.level(kLedLine); }
    // The four rows in the screen notation, the LED, and any guest fault.
    std::string report() const;

    // Writes the serial flash and the chip's flash back to their files if
    // they changed.
    bool save_flash(std::string &error);

    // What the chip has sent on the debug unit's line (its recent part).
    const SerialCapture &serial_text() const { return serial_text_; }
    // The pseudo-terminal of --serial pty ("" otherwise).
    std::string serial_path() const { return serial_ ? serial_->path() : ""; }
    // The JTAG port, if one was asked for.
    JtagPort *jtag() { return jtag_.get(); }

    // Snapshot files of the board as it is now (snapshot_file.h), taken
    // between runs. A restore refuses a file of another image or another
    // make of session (a serial line, a JTAG port) with `error`, restoring
    // nothing from it; after any other refusal the session is to be closed.
    bool save_snapshot(const std::string &path, std::string &error);
    bool restore_snapshot(const std::string &path, std::string &error);

    board::Board board;
    Machine machine{board};
    board::Keys &keys = board.keys;

private:
    Session() = default;
    InputEvent stamp(InputEvent::Kind kind) const;
    void restart_links();

    InputLog inputs_;
    std::optional<FlashFile> flash_;
    std::optional<FlashFile> chip_flash_;
    std::optional<FlashFile> chip_nvm_;
    std::unique_ptr<SerialLink> serial_;
    std::unique_ptr<JtagPort> jtag_;
    SerialCapture serial_text_;
    std::optional<uint32_t> waiting_loop_;
    std::function<bool()> in_past_;
    uint64_t image_hash_ = 0;
};

// `waiting_loop`: a loop where the core waits by design (the boot
// monitor's), not reported as parked.
std::string describe_faults(const Machine &machine, std::optional<uint32_t> waiting_loop = std::nullopt);
std::string describe_serial_losses(const board::Dbgu &dbgu);

// The file beside a chip-flash file that keeps the flash's non-volatile
// bits, so that the flash file stays the raw array flashing tools read and
// write: "<file>.nvm", 4 bytes as flash cells hold them (erased = 1 = the
// bit clear): bytes 0..1 the complement of the 16 lock bits (little-endian),
// byte 2 of the 2 GPNVM bits, byte 3 of the security bit. A missing file is
// an erased one: nothing locked, GPNVM bits and security bit clear.
std::string nvm_bits_path(const std::string &chip_flash_file);
std::vector<uint8_t> nvm_bits_of(const board::ChipFlash &flash);
void set_nvm_bits(board::ChipFlash &flash, const std::vector<uint8_t> &bits);

}  // namespace sim

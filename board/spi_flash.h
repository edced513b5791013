// The board's SPI serial flash: an SST25VF040B, 4 Mbit (512 KiB, 4 KiB
// sectors), attached to the port-A nets. Its command set is that part's,
// exactly; an opcode the part does not have (deep power-down 0xB9 of other
// 25-series parts, for one) is ignored as the part ignores it, and logged.
//
// Bus: selected while its chip select (PA11) is low. It samples MOSI (PA13)
// on rising SCK (PA14) edges and changes MISO (PA12) on falling ones, so SPI
// modes 0 and 3 both work; it drives MISO only while selected and only when
// it has data to give, and a command ends when the chip select rises
// (programs, erases and status writes start then; a rise in the middle of a
// byte cancels them).
//
// Commands: RDSR 0x05 (status, repeated while clocked), EWSR 0x50, WRSR 0x01,
// WREN 0x06, WRDI 0x04, READ 0x03 and HIGH-SPEED READ 0x0B (one dummy byte),
// both continuing through the array and wrapping at its end; byte program
// 0x02; auto-address-increment word program 0xAD; sector 0x20 (4 KiB), block
// 0x52 (32 KiB), block 0xD8 (64 KiB) and chip 0x60 / 0xC7 erases; JEDEC ID
// 0x9F (0xBF 0x25 0x8D, repeated while clocked); READ-ID 0x90 / 0xAB (0xBF at
// an even address, 0x8D at an odd one, alternating while clocked); EBSY 0x70
// and DBSY 0x80, which enable and disable MISO as a ready/busy output during
// auto-address-increment programming (driven low while a word programs, high
// when ready, whenever the chip select is low and no command answers).
// Address bits above bit 18 are ignored.
//
// Status: BUSY b0, WEL b1, BP0..BP3 b2..b5 (all set at power-up), AAI b6,
// BPL b7. WRSR needs EWSR or WREN as the command just before it and writes
// BP0..BP3 and BPL; with BPL set and WP# low it is refused (WP# is taken as
// high here: the board does not drive it). WEL clears at the end of every
// program, erase and status write; in AAI mode it stays set until WRDI ends
// the mode.
//
// Clock rating (checked, reported to the log's rules): the part runs at up to
// 50 MHz, READ 0x03 only up to 25 MHz (its address and data bytes; the opcode
// byte is clocked before the part knows the command). The period is measured
// between consecutive rising SCK edges while selected.
//
// Choices where the documentation leaves room (written down here):
// - Protected area from BP: BP2 set protects the whole array; else BP1:BP0 =
//   01, 10, 11 protect the top 1/8, 1/4, 1/2; BP3 is kept but protects
//   nothing on this size. Program and erase of a protected byte and chip
//   erase with any of BP0..BP2 set are refused.
// - A refused command (no WEL, protected, incomplete, wrong mode) changes
//   nothing at all, WEL included, and is logged.
// - Byte program writes the first data byte only (old AND new); further
//   bytes in the same command are ignored.
// - AAI: the first address is taken with bit 0 cleared; the mode ends by
//   itself after the word at the top of the array.
// - Busy times are the part's maximum figures: byte program and AAI word
//   10 us, sector and block erase 25 ms, chip erase 50 ms. A command other
//   than RDSR while busy is ignored and logged.
// - The array is non-volatile: reset() (power-up) keeps it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "board/clock.h"
#include "board/log.h"
#include "board/nets.h"
#include "board/pins.h"
#include "board/state.h"

namespace board {

// The port lines the part is wired to.
struct SpiFlashLines {
    int cs = net::kFlashCs, miso = net::kMiso, mosi = net::kMosi, sck = net::kSpck;
};

class SpiFlash {
public:
    using Lines = SpiFlashLines;

    static constexpr uint32_t kSize = 512 * 1024;
    static constexpr uint32_t kSectorSize = 4 * 1024;
    static constexpr uint8_t BUSY = 0x01, WEL = 0x02, BP_BITS = 0x3C, AAI = 0x40, BPL = 0x80;
    static constexpr uint8_t kManufacturer = 0xBF, kMemoryType = 0x25, kDevice = 0x8D;
    static constexpr Picos kByteProgramTime = 10 * kPicosPerUs;
    static constexpr Picos kAaiWordTime = 10 * kPicosPerUs;
    static constexpr Picos kSectorEraseTime = 25 * kPicosPerMs;
    static constexpr Picos kBlockEraseTime = 25 * kPicosPerMs;
    static constexpr Picos kChipEraseTime = 50 * kPicosPerMs;

    SpiFlash(Pins &pins, Clock &clock, Log &log, std::string name = "serial flash", Lines lines = Lines{});
    ~SpiFlash();
    SpiFlash(const SpiFlash &) = delete;
    SpiFlash &operator=(const SpiFlash &) = delete;

    // Power-up: status with BP0..BP3 set, nothing busy, MISO not a busy
    // output. The array keeps its content.
    void reset();

    // For the owner (the simulator): the array from and to a file of exactly
    // kSize bytes. On failure `error` names the file and the problem, the
    // array is left as it was, and a failed save leaves no partial file.
    bool load(const std::string &path, std::string &error);
    bool save(const std::string &path, std::string &error);
    // Whether a program or erase changed the array since the last load or save.
    bool modified() const { return modified_; }
    // Contents put in place as a programmer would, outside the SPI protocol.
    void preload(uint32_t address, const std::vector<uint8_t> &bytes);

    // Views without side effects.
    uint8_t status() const;
    uint8_t peek(uint32_t address) const { return array_[address % kSize]; }
    const std::vector<uint8_t> &array() const { return array_; }
    bool selected() const { return selected_; }
    bool busy() const { return busy_; }
    bool busy_output() const { return busy_output_; }

    State &state() { return state_; }

private:
    void on_lines(uint32_t changed, uint32_t levels);
    void select();
    void deselect();
    void on_byte(uint8_t b);
    bool accept(uint8_t opcode);
    void execute();
    void give(uint8_t byte);
    void start_busy(Picos duration, bool clear_wel);
    void busy_end();
    bool writable(uint32_t first, uint32_t count, const char *what);
    void erase(uint32_t size, Picos duration, const char *what);
    void program_aai_word(uint32_t address);
    void refuse(const std::string &why);
    void check_clock();
    void show_ready();
    uint32_t address() const { return addr_ % kSize; }

    Pins &pins_;
    Clock &clock_;
    Log &log_;
    std::string name_;
    Lines lines_;
    Pins::SourceId source_;
    std::vector<uint8_t> array_;
    bool modified_ = false;

    // Status and modes.
    bool busy_ = false, wel_ = false, aai_ = false, busy_output_ = false, ewsr_ = false;
    uint8_t protect_bits_ = BP_BITS;   // BP0..BP3 and BPL as written
    Clock::EventId busy_event_ = 0;
    bool clear_wel_ = false;   // when the busy time ends
    uint32_t aai_address_ = 0;

    // The command being clocked in.
    bool selected_ = false, ignored_ = false, giving_ = false;
    unsigned bit_ = 0, count_ = 0;
    uint8_t in_ = 0, out_ = 0, opcode_ = 0;
    uint32_t addr_ = 0, read_address_ = 0;
    std::array<uint8_t, 2> data_{};
    unsigned id_index_ = 0;
    Picos last_rise_ = 0;
    bool rose_ = false;   // a rising SCK edge seen in this selection
    State state_{name_};
};

}  // namespace board

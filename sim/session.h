// One simulated board with its firmware: the models, the core running the
// image, the keys and, optionally, the serial flash kept in a file. The
// headless run, the terminal view, scenarios and the benchmark all drive one
// of these.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "board/board.h"
#include "sim/elf_image.h"
#include "sim/flash_file.h"
#include "sim/keys.h"
#include "sim/machine.h"

namespace sim {

struct SessionOptions {
    std::string image;
    std::optional<std::string> flash_file;
    uint32_t crystal_hz = 18432000;
    unsigned bounce = 0;              // extra transitions per key edge, 0 = clean
    board::Picos bounce_window = 5 * board::kPicosPerMs;
    uint64_t bounce_seed = 1;
};

class Session {
public:
    static constexpr int kLedLine = 16;

    // Loads the image and the flash file; nullptr with `error` on bad input.
    static std::unique_ptr<Session> open(const SessionOptions &options, std::string &error);

    // Power-on: every model, the core and RAM; the serial flash keeps its array.
    void power_on();

    // Row r of the display as character codes (20 of them).
    std::string row_codes(int r) const { return board.lcd.row(r); }
    bool led() const { return board.pa.level(kLedLine); }
    // The four rows in the screen notation, the LED, and any guest fault.
    std::string report() const;

    // Writes the serial flash back to its file if it changed.
    bool save_flash(std::string &error);

    board::Board board;
    Machine machine{board};
    Keys keys{board};

private:
    Session() = default;
    std::optional<FlashFile> flash_;
};

std::string describe_faults(const Machine &machine);

}  // namespace sim

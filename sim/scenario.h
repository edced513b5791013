// Scenarios: a named list of steps run in order against a session, in
// virtual time.
//
//   name: counter
//   flash: data.bin            # optional, relative to the scenario file
//   strict: true               # optional: a broken timing or operating rule fails the step it happened in
//   steps:
//     - wait-lcd: { row: 1, text: "STATUS:00000000", timeout: 3s }   # col 0 by default
//     - press: KEY_INC
//     - delay: 50ms
//     - release: KEY_INC
//     - expect-lcd: { row: 0, col: 0, text: "ARM direct SPI" }
//     - expect-pin: { pin: PA16, level: 0 }
//     - screenshot: counter.png                 # written where boardsim runs
//     - expect-screenshot: counter-ref.png      # relative to the scenario file
//     - write-serial: "v\n"                     # to the debug unit's line
//     - wait-serial: { text: "ok", timeout: 1s } # from it
//
// wait-serial looks at what the chip sent after the text the previous
// wait-serial matched (from the start for the first), so a repeated text
// must come again.
// Texts are written in the screen notation of screen_text.h. Everything is
// checked when the file is loaded (unknown steps, keys or pins, bad
// durations, positions off the screen), so a bad scenario never half-runs.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "board/clock.h"

namespace sim {

class Session;

struct Step {
    enum Kind { WaitLcd, ExpectLcd, Press, Release, Delay, ExpectPin, Screenshot, ExpectScreenshot, WaitSerial, WriteSerial } kind;
    int line = 0;              // in the scenario file, from 1
    std::string source;        // the step as written, for reports
    int row = 0, col = 0;
    std::string codes;         // expected display codes
    board::Picos time = 0;     // timeout or delay
    int key = 0;
    int pin = 0;
    int level = 0;
    std::string file;
    std::string text;          // serial steps: the bytes as written
};

struct Scenario {
    std::string path;
    std::string name;
    std::optional<std::string> flash_file;
    bool strict = false;
    std::vector<Step> steps;

    // Reads and checks `path`; nullopt with `error` ("file:line: why") on a
    // bad file.
    static std::optional<Scenario> load(const std::string &path, std::string &error);
};

// Runs the steps; returns 0 when all pass, 1 at the first failure (after
// printing the step, the display and the virtual time). Writes a JUnit
// report to `junit` unless it is empty.
int run_scenario(const Scenario &scenario, Session &session, std::ostream &out, const std::string &junit);

}  // namespace sim

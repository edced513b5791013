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
// The steps are the types of scenario_step.h's registry.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/scenario/scenario_step.h"

namespace sim {

struct Scenario {
    std::string path;
    std::string name;
    std::optional<std::string> flash_file;
    bool strict = false;
    std::vector<std::unique_ptr<Step>> steps;

    // Every file the steps read or write.
    std::vector<StepFile> files() const;

    // Reads and checks `path`; nullopt with `error` ("file:line: why") on a
    // bad file.
    static std::optional<Scenario> load(const std::string &path, std::string &error);
};

}  // namespace sim

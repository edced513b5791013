// A scenario step type is one entry of a registry: its name, how its
// arguments are written, how it is parsed and run, and the files it reads or
// writes. The scenario parser and its error messages, the checks of a run's
// files before it starts and the debugger's monitor commands all follow from
// the registry, so a new step is one type in scenario_steps.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "sim/machine/serial_capture.h"

namespace YAML {
class Node;
}

namespace sim {

class Session;

// A bad scenario: the line (from 1) and why.
struct BadScenario {
    int line;
    std::string why;
};

// A file a step reads or writes, for the checks before a run.
struct StepFile {
    std::string what;   // "the reference picture", ...
    std::string path;
    bool written = false;
};

// What a step runs against.
struct StepContext {
    Session &session;
    board::Picos started = 0;   // when the step became due
    uint64_t serial_from = 0;   // where the next wait-serial looks from (kept across steps)
    std::optional<SerialCapture::Search> serial_search = std::nullopt;   // of the wait-serial under way
};

// What a run of a step came to: done (passed, or failed with a reason), or
// not yet: run it again at `until`.
struct StepOutcome {
    bool done = true;
    board::Picos until = 0;
    std::string failure;

    static StepOutcome passed() { return {}; }
    static StepOutcome failed(std::string why) { return {true, 0, std::move(why)}; }
    static StepOutcome again_at(board::Picos t) { return {false, t, {}}; }
};

class Step {
public:
    virtual ~Step() = default;
    // Does what is due at the present virtual time.
    virtual StepOutcome run(StepContext &context) const = 0;
    virtual void files(std::vector<StepFile> &) const {}

    int line = 0;          // in the scenario file, from 1
    std::string source;    // the step as written, for reports
};

struct StepType {
    const char *name;
    const char *usage;     // its arguments as written, for help texts
    bool instant;          // takes no virtual time: also a debugger monitor command
    // Reads the step's arguments (paths relative to `scenario_path`'s
    // folder); throws BadScenario.
    std::unique_ptr<Step> (*parse)(const YAML::Node &args, const std::string &scenario_path);
};

const std::vector<StepType> &step_types();
const StepType *find_step_type(const std::string &name);
// "wait-lcd, expect-lcd, ..." for error messages.
std::string step_type_names();

}  // namespace sim

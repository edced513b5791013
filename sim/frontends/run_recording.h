// --record and --record-on-fail: a run's bundle (replay_bundle.h), begun
// when the session opens (its options, the image's hash, the flash files as
// they were) and completed at the end of the run with the inputs the
// session noted and the point where it ended.
#pragma once

#include <optional>
#include <string>

#include "sim/frontends/run_plan.h"
#include "sim/machine/replay_bundle.h"
#include "sim/machine/session.h"

namespace sim {

class RunRecording {
public:
    // Starts the session's input log. nullopt with `error` when the image
    // cannot be read for its hash.
    static std::optional<RunRecording> start(const CommandLine &c, const RunPlan &plan, Session &session,
                                             std::string &error);
    // The bundle as of now: the run ends here.
    bool write(const std::string &path, std::string &error) const;

private:
    RunRecording(Session &session) : session_(&session) {}
    Session *session_;
    ReplayBundle head_;
};

// The options a bundle gives a replay's session; false with `error` when
// the image is not the recorded one or an output option does not fit.
bool replay_session_options(const ReplayBundle &bundle, const CommandLine &c, SessionOptions &options, std::string &error);

// Where --record-on-fail DIR keeps a failed scenario's bundle.
std::string failed_run_bundle(const std::string &dir, const std::string &scenario_path);

}  // namespace sim

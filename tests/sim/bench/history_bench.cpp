// history_bench: how fast a debugged run goes back. The image runs for a
// stretch of virtual time with its history kept as under --gdb (a key press
// now and then, so that the inputs are given again too); then, at points
// spread through the run, the run is taken there and steps back one
// instruction a few times, each step timed. Prints the median and the
// longest step back, the first one from the end of the run, and what the
// snapshots hold. Not a test: it reads the host's clock.
//
//   history_bench IMAGE [SECONDS [POINTS]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/machine/history.h"
#include "sim/machine/session.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStepsAtEachPoint = 5;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: history_bench IMAGE [SECONDS [POINTS]]\n");
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
    const int points = argc > 3 ? std::atoi(argv[3]) : 20;
    sim::SessionOptions options;
    options.image = argv[1];
    std::string error;
    auto session = sim::Session::open(options, error);
    if (!session) {
        std::fprintf(stderr, "history_bench: %s\n", error.c_str());
        return 2;
    }
    sim::HistoryOptions h;
    sim::History history(*session, h);
    board::Clock &clock = session->board.clock;
    const auto end = static_cast<board::Picos>(seconds * board::kPicosPerSecond);

    auto started = Clock::now();
    bool pressed = false;
    while (clock.now() < end) {
        // A click at every whole second: inputs for the way back to give again.
        bool click = clock.now() >= board::kPicosPerSecond && clock.now() % board::kPicosPerSecond < 20 * board::kPicosPerMs;
        if (click != pressed) {
            if (click) session->press(0);
            else session->release(0);
            pressed = click;
        }
        history.run_until(std::min(end, clock.now() + 10 * board::kPicosPerMs));
    }
    double forward_ms = ms_since(started);

    auto timed_step_back = [&] {
        auto t = Clock::now();
        history.step_back();
        return ms_since(t);
    };
    double from_end = timed_step_back();
    std::vector<double> steps;
    for (int p = 0; p < points; ++p) {
        history.go_to(end / points * p + end / points / 2);
        for (int i = 0; i < kStepsAtEachPoint; ++i) steps.push_back(timed_step_back());
    }
    std::sort(steps.begin(), steps.end());
    std::printf("run: %.0f s of virtual time in %.2f s with the history kept; %zu inputs\n", seconds, forward_ms / 1000,
                session->inputs().events().size());
    std::printf("snapshots: %zu, %.1f MiB (limit %.0f MiB)\n", history.timeline().count(),
                history.timeline().bytes() / 1048576.0, history.timeline().limit() / 1048576.0);
    std::printf("reverse-stepi from the end: %.2f ms\n", from_end);
    std::printf("reverse-stepi at %d points x %d steps: median %.2f ms, max %.2f ms\n", points, kStepsAtEachPoint,
                steps[steps.size() / 2], steps.back());
    return 0;
}

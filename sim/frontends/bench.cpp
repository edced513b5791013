#include "sim/frontends/bench.h"

#include <cctype>
#include <chrono>
#include <ctime>
#include <cstdio>

#include "sim/machine/duration.h"
#include "sim/machine/session.h"
#include "sim/machine/stop_signal.h"
#include "sim/machine/time_slices.h"

namespace sim {

namespace {

bool hex_digits(const std::string &s, size_t at, size_t n)
{
    if (s.size() < at + n)
        return false;
    for (size_t i = at; i < at + n; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(s[i])) || std::islower(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

}  // namespace

bool is_status_screen(const Session &session)
{
    std::string r0 = session.row_codes(0), r1 = session.row_codes(1), r2 = session.row_codes(2), r3 = session.row_codes(3);
    return r0.compare(0, 14, "ARM direct SPI") == 0 && r0.size() > 15 && (r0[15] == 1 || r0[15] == 2) &&
           r1.compare(0, 7, "STATUS:") == 0 && hex_digits(r1, 7, 8) && r2.compare(0, 4, "ADR:") == 0 &&
           hex_digits(r2, 4, 2) && r2.size() > 6 && r2[6] == '=' && hex_digits(r2, 7, 2) &&
           r3.compare(0, 5, "INFO:") == 0 && hex_digits(r3, 5, 8) && r3.size() > 13 && r3[13] == '.';
}

int run_bench(Session &session, unsigned passes, std::ostream &out)
{
    using wall = std::chrono::steady_clock;
    constexpr board::Picos kGiveUp = 600 * board::kPicosPerSecond;
    board::Clock &clock = session.board.clock;
    auto t0 = wall::now();
    std::clock_t cpu0 = std::clock();
    double first_screen = -1;
    unsigned counted = 0;
    std::string last_address;
    while (counted < passes && clock.now() < kGiveUp && !stop_requested()) {
        run_slice(session.machine, slices::kBench);
        if (first_screen < 0 && is_status_screen(session))
            first_screen = std::chrono::duration<double>(wall::now() - t0).count();
        if (first_screen >= 0) {
            std::string address = session.row_codes(2).substr(4, 2);
            if (!last_address.empty() && address != last_address)
                ++counted;
            last_address = address;
        }
    }
    double wall_s = std::chrono::duration<double>(wall::now() - t0).count();
    // On a shared host the process's own CPU time says more than the wall clock.
    double cpu_s = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    double virtual_s = static_cast<double>(clock.now()) / board::kPicosPerSecond;
    char b[512];
    snprintf(b, sizeof b,
             "status passes      %u\n"
             "virtual time       %.6f s\n"
             "wall time          %.3f s\n"
             "real-time factor   %.2f\n"
             "host CPU time      %.3f s (real-time factor %.2f by it)\n"
             "guest MIPS         %.1f\n"
             "cycles             %llu\n"
             "instructions       %llu\n"
             "first status screen after %.3f s wall\n",
             counted, virtual_s, wall_s, wall_s > 0 ? virtual_s / wall_s : 0.0, cpu_s, cpu_s > 0 ? virtual_s / cpu_s : 0.0,
             wall_s > 0 ? static_cast<double>(session.machine.instructions()) / wall_s / 1e6 : 0.0,
             static_cast<unsigned long long>(session.machine.cycles()),
             static_cast<unsigned long long>(session.machine.instructions()), first_screen);
    out << b;
    if (counted < passes) {
        out << "the firmware did not complete " << passes << " status passes\n" << session.report();
        return 1;
    }
    return 0;
}

}  // namespace sim

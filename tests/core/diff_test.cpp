// Differential test of the core: random ARM and Thumb sequences run from the
// same random state on our core and on the oracle (Unicorn's ARMv4T model),
// then every register of every mode, every SPSR, the data memory and the
// code (sequences rewrite some of theirs) are compared. Our core runs them
// as the simulator does, with run() and its delay-loop fast-forward, once
// interpreted and once as host code made at each run's first start, which
// must also take the same cycles and count the same instructions; every
// other sequence a second pair runs its code from a memory with a wait
// state and read buffers, as from flash.
//
//   CORE_DIFF_SEQUENCES=n   run n sequences (seeds 1..n) instead of the default
//   CORE_DIFF_SEED=s        run only seed s, and print its listing
//
// Where the ARM7TDMI differs from the oracle's model, the generator keeps the
// sequences clear of it (see diff_generator.cpp) and a directed test checks
// the ARM7TDMI's documented behaviour instead (arm7tdmi_forms_test.cpp):
// misaligned loads (the oracle reads the unaligned bytes, the ARM7TDMI
// rotates the aligned word or halfword), pc read with a
// register-specified shift or stored (the oracle gives address + 8, the
// ARM7TDMI + 12), the base in a written-back LDM/STM list, a store into one
// of the two instructions after it (the ARM7TDMI has fetched them and runs
// them as they were; the oracle runs what it translated before the store
// up to its next branch): a rewritten instruction is always reached through
// a branch (pipeline_test.cpp). The carry after a flag-setting multiply is
// meaningless on the ARM7TDMI and is not compared. The condition 1111 means
// "never" on the ARM7TDMI (the instruction is not executed), while the
// oracle takes it as undefined, as ARMv5 reserves it: the generator's
// conditions stop at 1110 (execution_test.cpp checks NV).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/core/diff_core.h"
#include "tests/core/diff_report.h"
#include "tests/core/diff_unicorn.h"

namespace diff_test {

namespace {

constexpr uint64_t kDefaultSequences = 5000;
constexpr unsigned kReportedFailures = 5;

struct Seeds {
    uint64_t first = 1, last = kDefaultSequences;
    bool single = false;
};

Seeds seeds()
{
    Seeds s;
    if (const char *one = std::getenv("CORE_DIFF_SEED")) {
        s.first = s.last = std::strtoull(one, nullptr, 0);
        s.single = true;
    } else if (const char *n = std::getenv("CORE_DIFF_SEQUENCES")) {
        s.last = std::strtoull(n, nullptr, 0);
    }
    return s;
}

std::string reproduce(uint64_t seed)
{
    return "reproduce: CORE_DIFF_SEED=" + std::to_string(seed) + " core_tests --gtest_filter='CoreDifferential.*'\n";
}

TEST(CoreDifferential, RandomSequencesEndAsOnTheOracle)
{
    Seeds s = seeds();
    diff::UnicornRunner oracle;
    diff::CoreRunner ours, compiled(1), ours_slow(0, true), compiled_slow(1, true);
    unsigned failures = 0;
    uint64_t compared = 0;
    for (uint64_t seed = s.first; seed <= s.last && failures < kReportedFailures; ++seed) {
        diff::Program p;
        try {
            p = diff::generate(seed);
        } catch (const std::logic_error &e) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": the generator " << e.what();
            continue;
        }
        diff::Outcome expected = oracle.run(p);
        if (s.single)
            std::printf("seed %llu\n%s", static_cast<unsigned long long>(seed), diff::describe(p).c_str());
        // The generator's promise: the oracle runs every sequence to its end.
        std::string difference = expected.error.empty() ? diff::compare(ours.run(p), expected)
                                                        : "the oracle " + expected.error;
        auto as_host_code = [&](diff::CoreRunner &interpreted, diff::CoreRunner &host, const char *how) {
            if (!difference.empty()) return;
            if (&interpreted != &ours) difference = diff::compare(interpreted.run(p), expected);
            if (difference.empty()) difference = diff::compare(host.run(p), expected);
            if (difference.empty() && (host.cycles() != interpreted.cycles() || host.instructions() != interpreted.instructions()))
                difference = "host code took " + std::to_string(host.cycles()) + " cycles for " +
                             std::to_string(host.instructions()) + " instructions, interpreted " +
                             std::to_string(interpreted.cycles()) + " for " + std::to_string(interpreted.instructions());
            if (!difference.empty()) difference = how + difference;
        };
        as_host_code(ours, compiled, "as host code: ");
        if (seed & 1) as_host_code(ours_slow, compiled_slow, "code with a wait state: ");
        ++compared;
        if (!difference.empty()) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": " << difference << "\n" << diff::describe(p) << reproduce(seed);
        }
    }
    std::printf("%llu sequences compared (CORE_DIFF_SEQUENCES=n for more)\n", static_cast<unsigned long long>(compared));
}

}  // namespace

}  // namespace diff_test

// Coverage and profiles: a small program with known calls, branches and an
// inlined helper run instruction by instruction into the recorder; the call
// stack's bookkeeping with an interrupt and a fast-forwarded loop; and the
// tracefile's merge.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "sim/tools/callgrind_profile.h"
#include "sim/tools/execution_recorder.h"
#include "sim/tools/line_coverage.h"
#include "sim/tools/source_map.h"
#include "tests/tools/core_stream.h"

namespace execution_reports_test {

namespace {

using simtools::CallTracker;
using simtools::ExecutionRecorder;
using simtools::LcovFile;
using simtools::LcovTracefile;
using simtools::SourceMap;

constexpr uint32_t kFlash = 0x00100000, kRam = 0x00200000;

// The line of the source that carries "@marker".
uint32_t line_of(const std::string &marker)
{
    std::ifstream in(PROBE_SOURCE);
    std::string text;
    for (uint32_t n = 1; std::getline(in, text); ++n)
        if (text.find("/* @" + marker + " */") != std::string::npos) return n;
    ADD_FAILURE() << "no marker " << marker;
    return 0;
}

void describe_chip(ExecutionRecorder &r)
{
    r.add_memory(kFlash, 0x40000);
    r.add_memory(kRam, 0x10000);
    r.add_alias(0, kFlash);
}

struct ProbeRun : ::testing::Test {
    SourceMap map = load();
    ExecutionRecorder recorder;
    testing_core::Run run;

    static SourceMap load()
    {
        std::string error;
        auto m = SourceMap::load(PROBE_ELF, error);
        if (!m) throw std::runtime_error(error);
        return std::move(*m);
    }
    uint32_t function(const std::string &name)
    {
        for (size_t i = 0; i < map.functions().size(); ++i)
            if (map.functions()[i].name == name) return static_cast<uint32_t>(i);
        ADD_FAILURE() << "no function " << name;
        return 0;
    }
    uint32_t entry(const std::string &name) { return map.functions()[function(name)].entries.at(0); }

    void SetUp() override
    {
        describe_chip(recorder);
        for (const auto &f : map.functions())
            for (uint32_t a : f.entries) recorder.mark_function_entry(a);
        uint32_t done = testing_core::symbol_address(PROBE_ELF, "probe_done");
        ASSERT_NE(done, 0u);
        ASSERT_TRUE(testing_core::run_image(PROBE_ELF, recorder, done, run));
    }
};

TEST_F(ProbeRun, LinesFunctionsAndBranchesCountWhatRan)
{
    std::vector<std::string> left_out;
    LcovTracefile t = line_coverage(recorder, map, left_out);
    ASSERT_EQ(t.files.count(PROBE_SOURCE), 1u);
    const LcovFile &f = t.files.at(PROBE_SOURCE);
    auto da = [&](const char *m) {
        auto it = f.lines.find(line_of(m));
        return it == f.lines.end() ? ~uint64_t{0} : it->second;
    };
    EXPECT_EQ(da("odd-test"), 5u);
    EXPECT_EQ(da("odd-yes"), 2u);
    EXPECT_EQ(da("odd-no"), 3u);
    EXPECT_EQ(da("call-odd"), 5u);
    EXPECT_EQ(da("never"), 0u) << "a line that never ran is listed with 0";
    EXPECT_EQ(da("clamp"), 1u) << "the inlined helper counts on its own line";
    EXPECT_EQ(da("at-least-two"), 1u);

    auto fnda = [&](const char *name) { return f.functions.at(name).hits; };
    EXPECT_EQ(fnda("odd_step"), 5u);
    EXPECT_EQ(fnda("never_called"), 0u);
    EXPECT_EQ(fnda("clamp"), 1u) << "an inlined function is entered where it was inlined";
    EXPECT_EQ(fnda("at_least_two"), 1u) << "reached through the linker's state-changing veneer";
    EXPECT_EQ(fnda("_start"), 1u);
    EXPECT_EQ(f.functions.at("clamp").line, line_of("clamp") - 2);

    auto brda = [&](const char *m, uint32_t branch) {
        auto it = f.branches.find({line_of(m), 0, branch});
        return it == f.branches.end() ? std::optional<uint64_t>(999) : it->second;
    };
    // odd_step(0..4): the odd test's branch is taken for 1 and 3.
    EXPECT_EQ(brda("odd-test", 0), 2u);
    EXPECT_EQ(brda("odd-test", 1), 3u);
    // clamp(2, 9) and at_least_two(2): neither bound applies (two odd steps).
    EXPECT_EQ(brda("clamp", 0), 1u) << "ble over the limit's move: taken";
    EXPECT_EQ(brda("clamp", 1), 0u);
    EXPECT_EQ(brda("at-least-two", 0), 0u) << "ARM movlt: condition failed";
    EXPECT_EQ(brda("at-least-two", 1), 1u);
    EXPECT_EQ(brda("never", 0), 999u) << "no decision on that line";
}

TEST_F(ProbeRun, ProfileCallsAddUpToTheRun)
{
    const CallTracker &calls = recorder.calls();
    EXPECT_EQ(recorder.cycles(), run.cycles);
    EXPECT_EQ(recorder.instructions(), run.instructions);

    // Self cycles by function, from the counters.
    std::map<uint32_t, uint64_t> self;
    for (const auto &m : recorder.memories())
        for (size_t k = 0; k < m.counters.size(); ++k)
            if (m.counters[k].hits) self[map.function_at(m.base + 2 * static_cast<uint32_t>(k)).value_or(~0u)] += m.counters[k].cycles;

    uint32_t start = function("_start");
    uint64_t from_start = 0, odd_calls = 0, odd_cost = 0;
    for (const auto &e : calls.edges()) {
        if (map.function_at(e.site) == start) from_start += e.cycles;
        if (e.target == entry("odd_step")) {
            odd_calls += e.calls;
            odd_cost += e.cycles;
        }
    }
    EXPECT_EQ(odd_calls, 5u);
    EXPECT_EQ(odd_cost, self[function("odd_step")]) << "a leaf's calls cost what it ran";
    EXPECT_EQ(self[start] + from_start, run.cycles) << "the root's inclusive cost is the whole run";

    std::ostringstream out;
    write_callgrind(out, recorder, map, run.cycles + 7, "probe");
    std::string text = out.str();
    EXPECT_NE(text.find("summary: " + std::to_string(run.cycles + 7) + " "), std::string::npos);
    EXPECT_NE(text.find(" (cycles outside instructions)\n0 7 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("calls=5 " + std::to_string(line_of("odd-test") - 1)), std::string::npos) << text;

    auto dir = std::filesystem::temp_directory_path() / ("profile_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "callgrind.out") << text;
    std::string command = "callgrind_annotate --inclusive=yes " + (dir / "callgrind.out").string() + " > " +
                          (dir / "annotated.txt").string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream annotated(dir / "annotated.txt");
    std::string report((std::istreambuf_iterator<char>(annotated)), {});
    EXPECT_NE(report.find("odd_step"), std::string::npos) << report;
    std::filesystem::remove_all(dir);
}

// Thumb code at made-up addresses: main calls f, an IRQ comes while f runs.
TEST(CallStack, AnInterruptIsARootAndCostsNothingToWhatItInterrupted)
{
    ExecutionRecorder r;
    describe_chip(r);
    const uint32_t main_ = kFlash + 0x100, f = kFlash + 0x200;
    r.mark_function_entry(main_);
    r.mark_function_entry(f);
    uint64_t core_cycles = 0;
    r.set_cycle_source([&] { return core_cycles; });
    r.executed(main_, true, 0xF000, true, 1, main_ + 2);          // BL prefix
    r.executed(main_ + 2, true, 0xF800, true, 3, f);              // BL suffix: a call
    r.executed(f, true, 0x2000, true, 1, f + 2);
    core_cycles = 5 + 3;                                          // the entry: 3 cycles no instruction tells
    r.exception(sim::Exception::Irq, f + 2 + 4, 0x3F);
    r.executed(0x18, false, 0xEA000000, true, 3, 0x40);           // vector, through the boot alias
    r.executed(0x40, false, 0xE25EF004, true, 10, f + 2);         // subs pc, lr, #4: back
    r.executed(f + 2, true, 0x4770, true, 3, main_ + 4);          // bx lr: return
    r.executed(main_ + 4, true, 0x2000, true, 1, main_ + 6);

    const CallTracker &calls = r.calls();
    ASSERT_EQ(calls.edges().size(), 1u);
    EXPECT_EQ(calls.edges()[0].site, main_ + 2);
    EXPECT_EQ(calls.edges()[0].target, f);
    EXPECT_EQ(calls.edges()[0].calls, 1u);
    EXPECT_EQ(calls.edges()[0].cycles, 4u) << "f's two instructions, not the interrupt's 16 cycles";
    ASSERT_EQ(calls.roots().size(), 2u);
    EXPECT_EQ(calls.roots()[1].target, kFlash + 0x18) << "the vector, counted where its code is";
    EXPECT_EQ(r.count(kFlash + 0x18).hits, 1u);
    EXPECT_EQ(r.count(kFlash + 0x18).cycles, 6u) << "the vector's branch and the exception entry";
    EXPECT_EQ(r.cycles(), 25u);
}

TEST(CallStack, TailCallAndReturnPastIt)
{
    ExecutionRecorder r;
    describe_chip(r);
    const uint32_t a = kFlash + 0x100, b = kFlash + 0x200, c = kFlash + 0x300;
    for (uint32_t e : {a, b, c}) r.mark_function_entry(e);
    r.executed(a, false, 0xEB000000, true, 3, b);          // bl b
    r.executed(b, false, 0xEA000000, true, 3, c);          // b c: a tail call
    r.executed(c, false, 0xE12FFF1E, true, 3, a + 4);      // bx lr: back in a, past b
    r.executed(a + 4, false, 0xEAFFFFFE, true, 3, b);      // b b (from a's own frame): a tail call too
    const CallTracker &calls = r.calls();
    ASSERT_EQ(calls.edges().size(), 3u);
    EXPECT_EQ(calls.edges()[0].cycles, 6u) << "a -> b: b and c";
    EXPECT_EQ(calls.edges()[1].cycles, 3u) << "b -> c";
    EXPECT_EQ(calls.edges()[2].calls, 1u);
}

TEST(Recorder, FastForwardedLoopIsCountedPerInstruction)
{
    ExecutionRecorder r;
    describe_chip(r);
    const uint32_t loop = kFlash + 0x40;
    // One iteration as it ran: ldr (3 cycles), adds (1), bne back (3, taken).
    r.executed(loop, true, 0x9800, true, 3, loop + 2);
    r.executed(loop + 2, true, 0x3001, true, 1, loop + 4);
    r.executed(loop + 4, true, 0xD1FC, true, 3, loop);
    r.repeated(loop, loop + 4, true, 1000, 7000);
    r.executed(loop, true, 0x9800, true, 3, loop + 2);
    r.executed(loop + 2, true, 0x3001, true, 1, loop + 4);
    r.executed(loop + 4, true, 0xD1FC, false, 1, loop + 6);   // falls out
    EXPECT_EQ(r.count(loop).hits, 1002u);
    EXPECT_EQ(r.count(loop).cycles, 3006u);
    EXPECT_EQ(r.count(loop + 2).cycles, 1002u);
    EXPECT_EQ(r.count(loop + 4).hits, 1002u);
    EXPECT_EQ(r.count(loop + 4).failed, 1u) << "the closing branch was taken on every skipped iteration";
    EXPECT_EQ(r.cycles(), 7 + 7000 + 5u);
    EXPECT_EQ(r.instructions(), 3006u);
    EXPECT_TRUE(r.calls().edges().empty()) << "a loop's branch back is no call";

    // A path that jumps over an instruction is told in two stretches, the
    // cycles on the last: ldr (3), b over one (3), adds (1), bne back (3).
    // The core may tell the closing branch after the skip, the skipped
    // cycles included in its own.
    const uint32_t l2 = kFlash + 0x80;
    r.executed(loop + 6, true, 0x2000, true, 1, l2);
    uint64_t starts = r.calls().roots()[0].entries;
    r.executed(l2, true, 0x9800, true, 3, l2 + 2);
    r.executed(l2 + 2, true, 0xE000, true, 3, l2 + 6);
    r.executed(l2 + 6, true, 0x3001, true, 1, l2 + 8);
    r.repeated(l2, l2 + 2, true, 50, 0);
    r.repeated(l2 + 6, l2 + 8, true, 50, 500);
    r.executed(l2 + 8, true, 0xD1FA, true, 3 + 500, l2);
    r.executed(l2, true, 0x9800, true, 3, l2 + 2);
    EXPECT_EQ(r.calls().roots()[0].entries, starts) << "the skip is not taken for a jump of the core";
    EXPECT_EQ(r.count(l2).cycles, 156u);
    EXPECT_EQ(r.count(l2 + 2).cycles, 153u);
    EXPECT_EQ(r.count(l2 + 4).hits, 0u);
    EXPECT_EQ(r.count(l2 + 6).cycles, 51u);
    EXPECT_EQ(r.count(l2 + 8).cycles, 153u);
    EXPECT_EQ(r.count(l2 + 8).hits, 51u);
    EXPECT_EQ(r.cycles(), 7 + 7000 + 5 + 1 + 7 + 500 + 3 + 3u);
}

TEST(Tracefile, MergeAddsHitsAndBadRecordsAreNamed)
{
    std::istringstream earlier("TN:\nSF:/src/a.c\nFN:3,f\nFNDA:2,f\nFNF:1\nFNH:1\nBRDA:4,0,0,-\nBRDA:4,0,1,-\n"
                               "BRF:2\nBRH:0\nDA:3,2\nDA:4,0\nLF:2\nLH:1\nend_of_record\n");
    std::string error;
    auto a = LcovTracefile::parse(earlier, "old.info", error);
    ASSERT_TRUE(a) << error;
    LcovTracefile b;
    b.files["/src/a.c"].lines[4] = 5;
    b.files["/src/a.c"].branches[{4, 0, 0}] = 5;
    b.files["/src/a.c"].branches[{4, 0, 1}] = 0;
    b.files["/src/a.c"].functions["f"] = {3, 1};
    b.files["/src/b.c"].lines[1] = 1;
    b.merge(*a);
    std::ostringstream out;
    b.write(out);
    EXPECT_EQ(out.str(),
              "TN:\nSF:/src/a.c\nFN:3,f\nFNDA:3,f\nFNF:1\nFNH:1\nBRDA:4,0,0,5\nBRDA:4,0,1,0\nBRF:2\nBRH:1\n"
              "DA:3,2\nDA:4,5\nLF:2\nLH:2\nend_of_record\n"
              "TN:\nSF:/src/b.c\nFNF:0\nFNH:0\nBRF:0\nBRH:0\nDA:1,1\nLF:1\nLH:1\nend_of_record\n");

    for (const char *bad : {"SF:/a.c\nDA:x,1\nend_of_record\n", "DA:1,1\n", "SF:/a.c\nDA:1,1\n",
                            "SF:/a.c\nBRDA:1,0,0\nend_of_record\n", "SF:/a.c\nXX:1\nend_of_record\n"}) {
        std::istringstream in(bad);
        EXPECT_FALSE(LcovTracefile::parse(in, "bad.info", error)) << bad;
        EXPECT_TRUE(std::regex_search(error, std::regex("^bad\\.info:[0-9]+: "))) << error;
    }
}

}  // namespace

}  // namespace execution_reports_test

// An lcov tracefile: per source file its functions (FN/FNDA), branches
// (BRDA) and lines (DA), with their found/hit totals. Read, added to another
// run's (hits add up; a branch never reached, "-", stays so until one is)
// and written back in lcov's record order.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <string>

namespace simtools {

struct LcovFile {
    struct Function {
        uint32_t line = 0;
        uint64_t hits = 0;
    };
    std::map<std::string, Function> functions;
    // (line, block, branch) -> times taken; nullopt: its code never ran.
    std::map<std::array<uint32_t, 3>, std::optional<uint64_t>> branches;
    std::map<uint32_t, uint64_t> lines;
};

class LcovTracefile {
public:
    std::map<std::string, LcovFile> files;

    // A tracefile as lcov and boardsim write it; `name` is for messages:
    // "FILE:LINE: why" on a record that cannot be read.
    static std::optional<LcovTracefile> parse(std::istream &in, const std::string &name, std::string &error);
    void merge(const LcovTracefile &other);
    void write(std::ostream &out) const;
};

}  // namespace simtools

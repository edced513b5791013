// Where the code of an image came from, read from its DWARF (line table,
// functions and inlined instances, through elfutils' libdw), with the ELF
// symbols for code that has no function information (assembly, libgcc).
//
// Inlined code belongs to the line it was written on: the line table already
// says so. For counting a line once per place its code was put, each address
// also has a scope: the innermost function body or inlined instance holding it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtools {

class SourceMap {
public:
    struct Line {
        uint32_t file = 0;   // index into files()
        uint32_t line = 0;
    };
    struct Function {
        std::string name;       // linkage name where there is one (the tracefile's)
        std::string display;    // demangled, for people
        std::optional<uint32_t> file;   // where it is declared (none for a bare symbol)
        uint32_t line = 0;
        // Entry addresses of its out-of-line copies (a profile's functions)
        // and of the places it was inlined.
        std::vector<uint32_t> entries;
        std::vector<uint32_t> inlined_entries;
    };
    static constexpr uint32_t kNoScope = ~0u;

    // Reads `path`; nullopt with `error` naming the file and the reason. An
    // image without line information is refused (built without -g?).
    static std::optional<SourceMap> load(const std::string &path, std::string &error);

    const std::vector<std::string> &files() const { return files_; }
    const std::vector<Function> &functions() const { return functions_; }

    std::optional<Line> line_at(uint32_t address) const;
    // The out-of-line function whose code holds `address` (DWARF, else the
    // nearest symbol before it); nullopt for code nothing names.
    std::optional<uint32_t> function_at(uint32_t address) const;
    // Innermost function body or inlined instance holding `address`.
    uint32_t scope_at(uint32_t address) const;

    // The image's instructions, as its mapping symbols divide code ($a ARM,
    // $t Thumb) from literal data ($d), with the line each one belongs to.
    struct Instruction {
        uint32_t address = 0;
        uint32_t encoding = 0;
        bool thumb = false;
        Line line;
    };
    std::vector<Instruction> instructions() const;

private:
    struct Row {
        uint32_t address;
        uint32_t file, line;   // line 0: the end of a sequence, or no line
    };
    struct Range {
        uint32_t start, end, id;
        unsigned depth = 0;
    };
    std::vector<std::string> files_;
    std::vector<Function> functions_;
    std::vector<Row> rows_;             // by address
    std::vector<Range> bodies_;         // out-of-line functions' code, by start; id = function
    std::vector<Range> scopes_;         // bodies and inlined instances; id = scope
    std::vector<Range> symbol_bodies_;  // code named only by a symbol; id = function
    struct Code {
        uint32_t address;
        std::vector<uint8_t> bytes;
    };
    std::vector<Code> code_;                           // executable sections
    std::vector<std::pair<uint32_t, char>> mapping_;   // $a/$t/$d by address
    friend struct SourceMapBuilder;
};

}  // namespace simtools

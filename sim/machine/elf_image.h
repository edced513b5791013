// Reading the firmware image: the bytes to place from the ELF program
// headers (at their load addresses, so initialised data lands in flash where
// the start-up code copies it from), the entry point and the symbols that
// name addresses in reports.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class MemoryMap;

struct ElfSegment {
    uint32_t address = 0;          // load (physical) address
    std::vector<uint8_t> bytes;    // the file's part
    uint32_t zero_fill = 0;        // bytes of zeros after it
};

struct ElfSymbol {
    std::string name;
    uint32_t size = 0;
    bool thumb = false;
};

class ElfImage {
public:
    // Reads `path`. A file that is not a 32-bit little-endian ARM executable,
    // or whose segments do not fit in flash or RAM, is refused: nullopt with
    // `error` naming the file and the reason.
    static std::optional<ElfImage> load(const std::string &path, std::string &error);

    uint32_t entry() const { return entry_; }
    const std::vector<ElfSegment> &segments() const { return segments_; }

    // Places the segments in the chip's memories; each flash page the image
    // touches is erased first, the other pages keep their contents.
    void place(MemoryMap &memory) const;
    // Only the segments that go to RAM, as a debugger's load puts them
    // there after a power-on; false when there are none.
    bool place_ram(MemoryMap &memory) const;
    // Whether a segment gives the reset vector (the word at the start of
    // flash, which the chip shows at 0 after reset).
    bool has_reset_vector() const;

    // "main+0x1a", or "" when no symbol is near.
    std::string describe(uint32_t address) const;
    std::optional<uint32_t> address_of(const std::string &name) const;
    // Whether the function around `address` is Thumb code; nullopt outside
    // every function the symbols size.
    std::optional<bool> thumb_at(uint32_t address) const;

private:
    uint32_t entry_ = 0;
    std::vector<ElfSegment> segments_;
    std::map<uint32_t, ElfSymbol> symbols_;          // one name per address, for reports
    std::map<std::string, uint32_t> addresses_;      // every name, aliases included
};

}  // namespace sim

// A chip for the boot monitor to act on without a core: sparse byte memory
// that records every access with its width, and a go that returns for the
// addresses listed in `returns` and otherwise runs into its time limit.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "sim/samba/target.h"

namespace testing_support {

class FakeChip : public samba::Target {
public:
    struct Access {
        bool write;
        uint32_t address;
        unsigned size;
        uint32_t value;
    };
    std::map<uint32_t, uint8_t> memory;
    std::vector<Access> accesses;
    std::set<uint32_t> returns;
    std::vector<std::pair<uint32_t, samba::Picos>> gone;   // address, limit

    uint32_t read(uint32_t address, unsigned size) override
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < size; ++i)
            value |= static_cast<uint32_t>(byte(address + i)) << (8 * i);
        accesses.push_back({false, address, size, value});
        return value;
    }
    void write(uint32_t address, unsigned size, uint32_t value) override
    {
        for (unsigned i = 0; i < size; ++i)
            memory[address + i] = static_cast<uint8_t>(value >> (8 * i));
        accesses.push_back({true, address, size, value});
    }
    samba::GoOutcome go(uint32_t address, samba::Picos limit) override
    {
        gone.emplace_back(address, limit);
        if (returns.count(address))
            return {true, 1000, ""};
        return {false, limit, "spinning at pc 0x00202010"};
    }

    uint8_t byte(uint32_t address) const
    {
        auto it = memory.find(address);
        return it == memory.end() ? 0 : it->second;
    }
    size_t writes() const
    {
        size_t n = 0;
        for (const auto &a : accesses) n += a.write;
        return n;
    }
};

}  // namespace testing_support

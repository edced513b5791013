// A small assembly program of the tests (built for them into PROGRAMS_DIR)
// loaded on a board of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/machine/machine.h"

namespace simtest {

constexpr uint32_t RAM = 0x00200000;

struct Program {
    board::Board board;
    sim::Machine machine{board};
    explicit Program(const std::string &name)
    {
        std::string error;
        auto image = sim::ElfImage::load(std::string(PROGRAMS_DIR) + "/" + name + ".elf", error);
        EXPECT_TRUE(image) << error;
        if (image)
            machine.load(*image);
    }
    uint32_t word(uint32_t address)
    {
        uint32_t v = 0;
        EXPECT_TRUE(machine.peek(address, reinterpret_cast<uint8_t *>(&v), 4));
        return v;
    }
    uint32_t symbol(const char *name)
    {
        auto a = machine.image()->address_of(name);
        EXPECT_TRUE(a) << name;
        return a.value_or(0xFFFFFFF0);
    }
};

}  // namespace simtest

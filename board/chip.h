// The chip's peripheral blocks, once: where each sits on the bus, its
// peripheral identifier (its PMC_PCSR bit and its AIC source) and where its
// interrupt goes. The board's bus map, its clock and interrupt wiring and the
// list of the unmodelled parts of the peripheral space all follow from this
// table; a new peripheral model is its file, a member of the Board and a line
// here (its `model` entry names the member).
#pragma once

#include <cstdint>

#include "board/system_irq.h"

namespace board {

class Board;
class Device;

constexpr uint32_t kAicBase = 0xFFFFF000;
constexpr uint32_t kDbguBase = 0xFFFFF200;
constexpr uint32_t kPioaBase = 0xFFFFF400;
constexpr uint32_t kPmcBase = 0xFFFFFC00;
constexpr uint32_t kRstcBase = 0xFFFFFD00;
constexpr uint32_t kRttBase = 0xFFFFFD20;
constexpr uint32_t kPitBase = 0xFFFFFD30;
constexpr uint32_t kWdtcBase = 0xFFFFFD40;
constexpr uint32_t kVregBase = 0xFFFFFD60;
constexpr uint32_t kMcBase = 0xFFFFFF00;
constexpr uint32_t kSpiBase = 0xFFFE0000;
constexpr uint32_t kSpiSize = 0x4000;

// Peripheral identifiers: PMC_PCSR bit and AIC source.
constexpr unsigned kIdSystem = 1;
constexpr unsigned kIdPioa = 2;
constexpr unsigned kIdSpi = 5;

struct ChipBlock {
    static constexpr int kNone = -1;
    const char *name;
    uint32_t base;
    uint32_t size;
    // Peripheral identifier: a clock the PMC switches and an AIC source of
    // its own. kNone for the system controller's parts, which share source 1.
    int id;
    // The block's bit in the system interrupt, or kNone.
    int system_irq;
    // The Board member that models the block; nullptr: not modelled (an
    // access is answered by the peripheral space's background, and logged).
    Device &(*model)(Board &);
};

// Every block of the peripheral space, modelled or not.
extern const ChipBlock kChipBlocks[];
extern const unsigned kChipBlockCount;

// The block that holds an absolute address, or nullptr.
const ChipBlock *chip_block_at(uint32_t address);

}  // namespace board

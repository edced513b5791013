// The one wording of an access that a model's register map does not allow: a
// read of a write-only register, a write to a read-only one, or any access at
// an offset where the model has no register. Every model logs these the same
// way, named after its register_name().
#pragma once

#include <cstdint>
#include <string>

#include "board/device.h"
#include "board/log.h"

namespace board {

void log_bad_read(Log &log, const std::string &source, const Device &device, uint32_t offset);
void log_bad_write(Log &log, const std::string &source, const Device &device, uint32_t offset, uint32_t value);

}  // namespace board

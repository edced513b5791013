#include "board/bad_access.h"

namespace board {

void log_bad_read(Log &log, const std::string &source, const Device &device, uint32_t offset)
{
    if (const char *name = device.register_name(offset))
        log.warn(source, std::string("read of write-only ") + name);
    else
        log.warn(source, "read of unknown register at offset " + hex32(offset));
}

void log_bad_write(Log &log, const std::string &source, const Device &device, uint32_t offset, uint32_t value)
{
    if (const char *name = device.register_name(offset))
        log.warn(source, "write of " + hex32(value) + " to read-only " + name);
    else
        log.warn(source, "write of " + hex32(value) + " to unknown register at offset " + hex32(offset));
}

}  // namespace board

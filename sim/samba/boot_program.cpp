#include "sim/samba/boot_program.h"

#include <algorithm>

namespace samba {

std::vector<uint8_t> boot_regions()
{
    std::vector<uint8_t> regions(kBootBytes, 0xFF);
    std::copy(kBootProgramCode.begin(), kBootProgramCode.end(), regions.begin());
    return regions;
}

}  // namespace samba

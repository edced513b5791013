// The oracle: Unicorn's ARMv4T model (QEMU's TI925T) running a generated
// sequence from its initial state.
#pragma once

#include <unicorn/unicorn.h>

#include "tests/core/diff_generator.h"

namespace diff {

class UnicornRunner {
public:
    UnicornRunner();
    ~UnicornRunner();
    UnicornRunner(const UnicornRunner &) = delete;
    UnicornRunner &operator=(const UnicornRunner &) = delete;

    Outcome run(const Program &program);

private:
    uc_engine *uc_ = nullptr;
};

}  // namespace diff

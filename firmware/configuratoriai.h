// The board's own PIO operation, beside the chip's register operations.
#ifndef CONFIGURATORIAI_H
#define CONFIGURATORIAI_H

#include "lib_AT91SAM7S256.h"

// Enables the pull-ups of the masked lines and leaves every other line's as it is.
static inline void AT91F_PIO_SetPullup(AT91PS_PIO pPio, unsigned int pullupEnable)
{
    hw_write(pPio, PIO_PPUER, pullupEnable);
}

#endif

// Not part of the image: one register write and one register read through the
// register layer, so that their code can be inspected on its own.
#include "lib_AT91SAM7S256.h"

extern "C" void probe_write(void)
{
    AT91F_PIO_SetOutput(AT91C_BASE_PIOA, LED);
}

extern "C" unsigned int probe_read(void)
{
    return AT91F_PIO_GetInput(AT91C_BASE_PIOA);
}

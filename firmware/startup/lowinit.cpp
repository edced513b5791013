// Clock, watchdog and interrupt-controller bring-up, run once by the reset
// path on its temporary stack before any data is initialised: it may use no
// variable in RAM, only registers and constants. ARM code, entered by BX.
//
// On the board the main crystal is taken to give a 48 MHz master clock with
// these values (crystal x 73 / 28); the flash timing below assumes it.
#include "lib_AT91SAM7S256.h"
#include "startup.h"

namespace {

// MC_FMR: one wait state on flash reads (FWS = 1), 48 master-clock cycles
// per microsecond for flash programming (FMCN = 48).
constexpr uint32_t kFlashMode = (48u << 16) | (1u << 8);
// PMC_MOR: main oscillator on, not bypassed, 64 x 8 slow-clock cycles to settle.
constexpr uint32_t kMainOscillator = (64u << 8) | 0x1u;
// PMC_PLLR: DIV 14, 40 slow-clock cycles to lock, MUL 72 (x73), USB clock = PLL / 2.
constexpr uint32_t kPll = (1u << 28) | (72u << 16) | (40u << 8) | 14u;
// PMC_MCKR: prescaler /2 with the slow clock still selected; then the PLL as source.
constexpr uint32_t kMasterPrescaler = 1u << 2;
constexpr uint32_t kMasterSourcePll = 0x3u;

constexpr unsigned kFirstIrqSource = 1;
constexpr unsigned kLastIrqSource = 30;

inline void wait_status(AT91PS_PMC pPMC, uint32_t bit)
{
    while (!(hw_read(pPMC, PMC_SR) & bit)) {
    }
}

}  // namespace

extern "C" void AT91F_LowLevelInit(void)
{
    AT91PS_PMC const pPMC = AT91C_BASE_PMC;

    // Wait state first: the flash must keep up before the clock speeds up.
    hw_write(AT91C_BASE_MC, MC_FMR, kFlashMode);

    hw_write(pPMC, PMC_MOR, kMainOscillator);
    wait_status(pPMC, AT91C_CKGR_MOSCS);

    hw_write(pPMC, PMC_PLLR, kPll);
    wait_status(pPMC, AT91C_PMC_LOCK);
    wait_status(pPMC, AT91C_PMC_MCKRDY);

    // Prescaler and source change in two steps, so the master clock never
    // runs from the PLL undivided.
    hw_write(pPMC, PMC_MCKR, kMasterPrescaler);
    wait_status(pPMC, AT91C_PMC_MCKRDY);
    hw_write(pPMC, PMC_MCKR, hw_read(pPMC, PMC_MCKR) | kMasterSourcePll);
    wait_status(pPMC, AT91C_PMC_MCKRDY);

    hw_write(AT91C_BASE_WDTC, WDTC_WDMR, AT91C_WDTC_WDDIS);

    // Nothing may fire while the vectors are being changed.
    hw_write(AT91C_BASE_AIC, AIC_IDCR, 0xFFFFFFFFu);
    hw_write(AT91C_BASE_AIC, AIC_ICCR, 0xFFFFFFFFu);

    hw_write(AT91C_BASE_AIC, AIC_SVR + 4 * AT91C_ID_FIQ, hw_address_of(AT91F_Default_FIQ_handler));
    // Source 31 keeps its vector.
    for (unsigned char i = kFirstIrqSource; i <= kLastIrqSource; i++)
        hw_write(AT91C_BASE_AIC, AIC_SVR + 4u * i, hw_address_of(AT91F_Default_IRQ_handler));
    hw_write(AT91C_BASE_AIC, AIC_SPU, hw_address_of(AT91F_Spurious_handler));
}

// Register map of the AT91SAM7S256 peripherals used by this firmware, the bit
// values it writes, and the board's PIO line assignment.
//
// A register block is named by a pointer to an opaque type whose value is the
// block's base address; registers are offsets within the block. Accesses go
// through hw_access.h alone.
#ifndef AT91SAM7S256_H
#define AT91SAM7S256_H

#include <stdint.h>

struct AT91S_AIC;
struct AT91S_PIO;
struct AT91S_PMC;
struct AT91S_WDTC;
struct AT91S_MC;
struct AT91S_SPI;
struct AT91S_PDC;
typedef AT91S_AIC *AT91PS_AIC;
typedef AT91S_PIO *AT91PS_PIO;
typedef AT91S_PMC *AT91PS_PMC;
typedef AT91S_WDTC *AT91PS_WDTC;
typedef AT91S_MC *AT91PS_MC;
typedef AT91S_SPI *AT91PS_SPI;
typedef AT91S_PDC *AT91PS_PDC;

// ---- block base addresses ----
#define AT91C_BASE_AIC ((AT91PS_AIC)0xFFFFF000u)
#define AT91C_BASE_PIOA ((AT91PS_PIO)0xFFFFF400u)
#define AT91C_BASE_PMC ((AT91PS_PMC)0xFFFFFC00u)
#define AT91C_BASE_WDTC ((AT91PS_WDTC)0xFFFFFD40u)
#define AT91C_BASE_MC ((AT91PS_MC)0xFFFFFF00u)
#define AT91C_BASE_SPI ((AT91PS_SPI)0xFFFE0000u)
#define AT91C_BASE_PDC_SPI ((AT91PS_PDC)0xFFFE0100u)

// ---- AIC ----
constexpr uint32_t AIC_SMR = 0x000;   // [0..31], one word per source
constexpr uint32_t AIC_SVR = 0x080;   // [0..31]
constexpr uint32_t AIC_IVR = 0x100;
constexpr uint32_t AIC_FVR = 0x104;
constexpr uint32_t AIC_IECR = 0x120;
constexpr uint32_t AIC_IDCR = 0x124;
constexpr uint32_t AIC_ICCR = 0x128;
constexpr uint32_t AIC_EOICR = 0x130;
constexpr uint32_t AIC_SPU = 0x134;
constexpr uint32_t AT91C_AIC_PRIOR = 0x7;      // SMR bits 0..2
constexpr uint32_t AT91C_AIC_SRCTYPE = 0x60;   // SMR bits 5..6

// ---- PIO ----
constexpr uint32_t PIO_PER = 0x00;
constexpr uint32_t PIO_PDR = 0x04;
constexpr uint32_t PIO_OER = 0x10;
constexpr uint32_t PIO_ODR = 0x14;
constexpr uint32_t PIO_SODR = 0x30;
constexpr uint32_t PIO_CODR = 0x34;
constexpr uint32_t PIO_ODSR = 0x38;
constexpr uint32_t PIO_PDSR = 0x3C;
constexpr uint32_t PIO_IER = 0x40;
constexpr uint32_t PIO_ISR = 0x4C;
constexpr uint32_t PIO_PPUDR = 0x60;
constexpr uint32_t PIO_PPUER = 0x64;
constexpr uint32_t PIO_ASR = 0x70;
constexpr uint32_t PIO_BSR = 0x74;
constexpr uint32_t PIO_OWER = 0xA0;
constexpr uint32_t PIO_OWDR = 0xA4;
constexpr uint32_t PIO_OWSR = 0xA8;

// ---- PMC ----
constexpr uint32_t PMC_PCER = 0x10;
constexpr uint32_t PMC_MOR = 0x20;
constexpr uint32_t PMC_PLLR = 0x2C;
constexpr uint32_t PMC_MCKR = 0x30;
constexpr uint32_t PMC_SR = 0x68;
constexpr uint32_t AT91C_CKGR_MOSCS = 0x1;   // PMC_SR: main oscillator stable
constexpr uint32_t AT91C_PMC_LOCK = 0x4;     // PMC_SR: PLL locked
constexpr uint32_t AT91C_PMC_MCKRDY = 0x8;   // PMC_SR: master clock ready

// ---- WDTC ----
constexpr uint32_t WDTC_WDMR = 0x04;
constexpr uint32_t AT91C_WDTC_WDDIS = 0x8000;

// ---- MC ----
constexpr uint32_t MC_FMR = 0x60;

// ---- SPI ----
constexpr uint32_t SPI_CR = 0x00;
constexpr uint32_t SPI_MR = 0x04;
constexpr uint32_t SPI_RDR = 0x08;
constexpr uint32_t SPI_TDR = 0x0C;
constexpr uint32_t SPI_SR = 0x10;
constexpr uint32_t SPI_CSR = 0x30;   // [0..3]
constexpr uint32_t AT91C_SPI_SWRST = 0x80;     // CR
constexpr uint32_t AT91C_SPI_SPIEN = 0x01;     // CR
constexpr uint32_t AT91C_SPI_PCS = 0xF0000;    // MR and TDR bits 16..19
constexpr uint32_t AT91C_SPI_RDRF = 0x001;     // SR
constexpr uint32_t AT91C_SPI_TDRE = 0x002;     // SR
constexpr uint32_t AT91C_SPI_TXEMPTY = 0x200;  // SR

// ---- PDC (offsets within the channel pair; SPI's pair at SPI + 0x100) ----
constexpr uint32_t PDC_RPR = 0x00;
constexpr uint32_t PDC_RCR = 0x04;
constexpr uint32_t PDC_TPR = 0x08;
constexpr uint32_t PDC_TCR = 0x0C;
constexpr uint32_t PDC_RNPR = 0x10;
constexpr uint32_t PDC_RNCR = 0x14;
constexpr uint32_t PDC_TNPR = 0x18;
constexpr uint32_t PDC_TNCR = 0x1C;
constexpr uint32_t PDC_PTCR = 0x20;
constexpr uint32_t SPI_PDC = 0x100;            // offset of the pair in the SPI block
constexpr uint32_t AT91C_PDC_RXTEN = 0x001;
constexpr uint32_t AT91C_PDC_RXTDIS = 0x002;
constexpr uint32_t AT91C_PDC_TXTEN = 0x100;
constexpr uint32_t AT91C_PDC_TXTDIS = 0x200;

// ---- peripheral identifiers (PMC_PCER bit, AIC source) ----
constexpr uint32_t AT91C_ID_FIQ = 0;
constexpr uint32_t AT91C_ID_PIOA = 2;
constexpr uint32_t AT91C_ID_SPI = 5;

// ---- board lines on port A (bit n = PAn) ----
constexpr uint32_t KEY_INC = 0x00000020;    // PA5
constexpr uint32_t KEY_DEC = 0x00000040;    // PA6
constexpr uint32_t KEY_CLR = 0x00000080;    // PA7
constexpr uint32_t KEYS = 0x000000E0;       // PA5..PA7
constexpr uint32_t FLASH_CS = 0x00000800;   // PA11, low selects the serial flash
constexpr uint32_t SPI_PINS = 0x00007000;   // PA12 MISO, PA13 MOSI, PA14 SPCK (function A)
constexpr uint32_t LED = 0x00010000;        // PA16
constexpr uint32_t LCD_RS = 0x00020000;     // PA17
constexpr uint32_t LCD_RW = 0x00040000;     // PA18
constexpr uint32_t LCD_E = 0x00080000;      // PA19
constexpr uint32_t LCD_DATA = 0x00F00000;   // PA20..PA23 = D4..D7
constexpr uint32_t LCD_CTRL = 0x000E0000;   // RS | RW | E
constexpr uint32_t LCD_PINS = 0x00FE0000;   // all display lines

#endif

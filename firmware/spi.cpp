// SPI master for the board's serial flash: master mode, fixed chip select 0,
// clock idle high with data captured on the rising edge, master clock / 2,
// 8-bit transfers. The flash's chip select is a PIO line driven by its driver.
#include "spi.h"

#include "AT91SAM7S256.h"
#include "lib_AT91SAM7S256.h"

namespace {

constexpr uint32_t kOutputs = 0x6800;          // PA11 chip select, PA13 MOSI, PA14 SPCK
constexpr uint32_t kPullupsOff = 0x6000;       // MOSI, SPCK: always driven
constexpr uint32_t kPullupsOn = 0x1800;        // chip select and MISO idle high
constexpr unsigned int kMode = 0x11;           // master, fixed select, no mode-fault detection
constexpr int kCs0Config = 0x209;              // CPOL 1, CSAAT, 8 bits, SCBR 2

void wait_status(uint32_t flag)
{
    while (!(hw_read(AT91C_BASE_SPI, SPI_SR) & flag)) {
    }
}

}  // namespace

void SPI_Init(void)
{
    hw_write(AT91C_BASE_PIOA, PIO_OER, kOutputs);
    hw_write(AT91C_BASE_PIOA, PIO_PPUDR, kPullupsOff);
    hw_write(AT91C_BASE_PIOA, PIO_PPUER, kPullupsOn);
    AT91F_SPI_Reset(AT91C_BASE_SPI);
    AT91F_SPI_CfgPMC();
    AT91F_SPI_CfgMode(AT91C_BASE_SPI, kMode);
    AT91F_SPI_CfgCs(AT91C_BASE_SPI, 0, kCs0Config);
    AT91F_PIO_CfgPeriph(AT91C_BASE_PIOA, SPI_PINS, 0);
    AT91F_PDC_Open(AT91C_BASE_PDC_SPI);
    AT91F_SPI_Enable(AT91C_BASE_SPI);
}

unsigned char SPI_MasterTransmit(unsigned char baitas)
{
    wait_status(AT91C_SPI_TDRE);
    AT91F_SPI_PutChar(AT91C_BASE_SPI, baitas, 0);
    // The TDR write itself clears TXEMPTY, so this waits for our byte.
    wait_status(AT91C_SPI_TXEMPTY);
    return static_cast<unsigned char>(AT91F_SPI_GetChar(AT91C_BASE_SPI));
}

void SPI_TrasmitBuffer(const unsigned char *buffer, int size)
{
    wait_status(AT91C_SPI_TDRE);
    AT91F_SPI_CfgPCS(AT91C_BASE_SPI, 0);
    AT91F_SPI_SendFrame(AT91C_BASE_SPI, reinterpret_cast<const char *>(buffer),
                        static_cast<unsigned int>(size), nullptr, 0);
    // Until the PDC has taken the first byte, TXEMPTY still tells of the
    // previous transfer: the caller would raise the chip select mid-frame.
    // Once the counter is 0 every queued byte has gone to TDR (a 0 counter
    // takes the next slot in the same step), so TXEMPTY then speaks for the
    // end of this frame.
    while (!AT91F_PDC_IsTxEmpty(AT91C_BASE_PDC_SPI)) {
    }
    wait_status(AT91C_SPI_TXEMPTY);
}

void SPI_ReadBuffer(unsigned char *buffer, int size)
{
    AT91F_SPI_ReceiveFrame(AT91C_BASE_SPI, reinterpret_cast<char *>(buffer),
                           static_cast<unsigned int>(size), nullptr, 0);
}

// Register operations of the AT91SAM7S256 used by the drivers. Each one makes
// exactly the accesses listed in its body, in that order.
#ifndef LIB_AT91SAM7S256_H
#define LIB_AT91SAM7S256_H

#include "AT91SAM7S256.h"
#include "hw_access.h"

// ---------------- PIO ----------------

static inline void AT91F_PIO_CfgOutput(AT91PS_PIO pPio, unsigned int pioEnable)
{
    hw_write(pPio, PIO_PER, pioEnable);
    hw_write(pPio, PIO_OER, pioEnable);
}

static inline void AT91F_PIO_CfgInput(AT91PS_PIO pPio, unsigned int inputEnable)
{
    hw_write(pPio, PIO_ODR, inputEnable);
    hw_write(pPio, PIO_PER, inputEnable);
}

static inline void AT91F_PIO_CfgPeriph(AT91PS_PIO pPio, unsigned int periphAEnable,
                                       unsigned int periphBEnable)
{
    hw_write(pPio, PIO_ASR, periphAEnable);
    hw_write(pPio, PIO_BSR, periphBEnable);
    hw_write(pPio, PIO_PDR, periphAEnable | periphBEnable);
}

// Pull-ups on exactly the masked lines, off on all others.
static inline void AT91F_PIO_CfgPullup(AT91PS_PIO pPio, unsigned int pullupEnable)
{
    hw_write(pPio, PIO_PPUDR, ~pullupEnable);
    hw_write(pPio, PIO_PPUER, pullupEnable);
}

// Exactly the masked lines become writable through PIO_ODSR.
static inline void AT91F_PIO_CfgDirectDrive(AT91PS_PIO pPio, unsigned int directDrive)
{
    hw_write(pPio, PIO_OWDR, ~directDrive);
    hw_write(pPio, PIO_OWER, directDrive);
}

static inline unsigned int AT91F_PIO_GetOutputWriteStatus(AT91PS_PIO pPio)
{
    return hw_read(pPio, PIO_OWSR);
}

static inline void AT91F_PIO_SetOutput(AT91PS_PIO pPio, unsigned int flag)
{
    hw_write(pPio, PIO_SODR, flag);
}

static inline void AT91F_PIO_ClearOutput(AT91PS_PIO pPio, unsigned int flag)
{
    hw_write(pPio, PIO_CODR, flag);
}

static inline void AT91F_PIO_ForceOutput(AT91PS_PIO pPio, unsigned int flag)
{
    hw_write(pPio, PIO_ODSR, flag);
}

static inline unsigned int AT91F_PIO_GetInput(AT91PS_PIO pPio)
{
    return hw_read(pPio, PIO_PDSR);
}

static inline void AT91F_PIO_InterruptEnable(AT91PS_PIO pPio, unsigned int flag)
{
    hw_write(pPio, PIO_IER, flag);
}

// ---------------- PMC ----------------

static inline void AT91F_PMC_EnablePeriphClock(AT91PS_PMC pPMC, unsigned int periphIds)
{
    hw_write(pPMC, PMC_PCER, periphIds);
}

// ---------------- AIC ----------------

// Returns the vector that was installed before.
static inline unsigned int AT91F_AIC_ConfigureIt(AT91PS_AIC pAic, unsigned int irq_id,
                                                 unsigned int priority, unsigned int src_type,
                                                 void (*newHandler)(void))
{
    unsigned int oldHandler = hw_read(pAic, AIC_SVR + 4 * irq_id);
    unsigned int mask = 1u << irq_id;
    hw_write(pAic, AIC_IDCR, mask);
    hw_write(pAic, AIC_SVR + 4 * irq_id, hw_address_of(newHandler));
    hw_write(pAic, AIC_SMR + 4 * irq_id, src_type | priority);
    hw_write(pAic, AIC_ICCR, mask);
    return oldHandler;
}

static inline void AT91F_AIC_EnableIt(AT91PS_AIC pAic, unsigned int irq_id)
{
    hw_write(pAic, AIC_IECR, 1u << irq_id);
}

// ---------------- SPI ----------------

static inline void AT91F_SPI_Reset(AT91PS_SPI pSPI)
{
    hw_write(pSPI, SPI_CR, AT91C_SPI_SWRST);
}

static inline void AT91F_SPI_CfgPMC(void)
{
    AT91F_PMC_EnablePeriphClock(AT91C_BASE_PMC, 1u << AT91C_ID_SPI);
}

static inline void AT91F_SPI_CfgMode(AT91PS_SPI pSPI, unsigned int mode)
{
    hw_write(pSPI, SPI_MR, mode);
}

static inline void AT91F_SPI_CfgCs(AT91PS_SPI pSPI, int cs, int val)
{
    hw_write(pSPI, SPI_CSR + 4 * static_cast<uint32_t>(cs), static_cast<uint32_t>(val));
}

static inline void AT91F_SPI_Enable(AT91PS_SPI pSPI)
{
    hw_write(pSPI, SPI_CR, AT91C_SPI_SPIEN);
}

// Two read-modify-write cycles: clear the chip-select field, then OR the new one in.
static inline void AT91F_SPI_CfgPCS(AT91PS_SPI pSPI, char PCS_Device)
{
    hw_write(pSPI, SPI_MR, hw_read(pSPI, SPI_MR) & ~AT91C_SPI_PCS);
    hw_write(pSPI, SPI_MR,
             hw_read(pSPI, SPI_MR) | ((static_cast<uint32_t>(PCS_Device) << 16) & AT91C_SPI_PCS));
}

static inline void AT91F_SPI_PutChar(AT91PS_SPI pSPI, unsigned int character,
                                     unsigned int cs_number)
{
    unsigned int value_for_cs = (~(1u << cs_number)) & 0xF;
    hw_write(pSPI, SPI_TDR, (character & 0xFFFF) | (value_for_cs << 16));
}

static inline unsigned int AT91F_SPI_GetChar(const AT91PS_SPI pSPI)
{
    return hw_read(pSPI, SPI_RDR) & 0xFFFF;
}

// ---------------- PDC ----------------

static inline void AT91F_PDC_SetRx(AT91PS_PDC pPDC, char *address, unsigned int bytes)
{
    hw_write(pPDC, PDC_RPR, hw_address_of(address));
    hw_write(pPDC, PDC_RCR, bytes);
}

static inline void AT91F_PDC_SetTx(AT91PS_PDC pPDC, const char *address, unsigned int bytes)
{
    hw_write(pPDC, PDC_TPR, hw_address_of(address));
    hw_write(pPDC, PDC_TCR, bytes);
}

static inline void AT91F_PDC_SetNextRx(AT91PS_PDC pPDC, char *address, unsigned int bytes)
{
    hw_write(pPDC, PDC_RNPR, hw_address_of(address));
    hw_write(pPDC, PDC_RNCR, bytes);
}

static inline void AT91F_PDC_SetNextTx(AT91PS_PDC pPDC, const char *address, unsigned int bytes)
{
    hw_write(pPDC, PDC_TNPR, hw_address_of(address));
    hw_write(pPDC, PDC_TNCR, bytes);
}

static inline void AT91F_PDC_EnableRx(AT91PS_PDC pPDC) { hw_write(pPDC, PDC_PTCR, AT91C_PDC_RXTEN); }
static inline void AT91F_PDC_DisableRx(AT91PS_PDC pPDC) { hw_write(pPDC, PDC_PTCR, AT91C_PDC_RXTDIS); }
static inline void AT91F_PDC_EnableTx(AT91PS_PDC pPDC) { hw_write(pPDC, PDC_PTCR, AT91C_PDC_TXTEN); }
static inline void AT91F_PDC_DisableTx(AT91PS_PDC pPDC) { hw_write(pPDC, PDC_PTCR, AT91C_PDC_TXTDIS); }

static inline int AT91F_PDC_IsRxEmpty(AT91PS_PDC pPDC) { return hw_read(pPDC, PDC_RCR) == 0; }
static inline int AT91F_PDC_IsNextRxEmpty(AT91PS_PDC pPDC) { return hw_read(pPDC, PDC_RNCR) == 0; }
static inline int AT91F_PDC_IsTxEmpty(AT91PS_PDC pPDC) { return hw_read(pPDC, PDC_TCR) == 0; }
static inline int AT91F_PDC_IsNextTxEmpty(AT91PS_PDC pPDC) { return hw_read(pPDC, PDC_TNCR) == 0; }

static inline void AT91F_PDC_Open(AT91PS_PDC pPDC)
{
    AT91F_PDC_DisableRx(pPDC);
    AT91F_PDC_DisableTx(pPDC);
    AT91F_PDC_SetNextTx(pPDC, nullptr, 0);
    AT91F_PDC_SetNextRx(pPDC, nullptr, 0);
    AT91F_PDC_SetTx(pPDC, nullptr, 0);
    AT91F_PDC_SetRx(pPDC, nullptr, 0);
    AT91F_PDC_EnableRx(pPDC);
    AT91F_PDC_EnableTx(pPDC);
}

// Queues one buffer (and its follower) on the transmit channel.
// Returns 2 when the current slot was free, 1 when only the next slot was, 0 when neither.
static inline unsigned int AT91F_PDC_SendFrame(AT91PS_PDC pPDC, const char *pBuffer,
                                               unsigned int szBuffer, const char *pNextBuffer,
                                               unsigned int szNextBuffer)
{
    if (AT91F_PDC_IsTxEmpty(pPDC)) {
        AT91F_PDC_SetTx(pPDC, pBuffer, szBuffer);
        AT91F_PDC_SetNextTx(pPDC, pNextBuffer, szNextBuffer);
        return 2;
    }
    if (AT91F_PDC_IsNextTxEmpty(pPDC)) {
        AT91F_PDC_SetNextTx(pPDC, pBuffer, szBuffer);
        return 1;
    }
    return 0;
}

// The same rule on the receive channel.
static inline unsigned int AT91F_PDC_ReceiveFrame(AT91PS_PDC pPDC, char *pBuffer,
                                                  unsigned int szBuffer, char *pNextBuffer,
                                                  unsigned int szNextBuffer)
{
    if (AT91F_PDC_IsRxEmpty(pPDC)) {
        AT91F_PDC_SetRx(pPDC, pBuffer, szBuffer);
        AT91F_PDC_SetNextRx(pPDC, pNextBuffer, szNextBuffer);
        return 2;
    }
    if (AT91F_PDC_IsNextRxEmpty(pPDC)) {
        AT91F_PDC_SetNextRx(pPDC, pBuffer, szBuffer);
        return 1;
    }
    return 0;
}

static inline AT91PS_PDC AT91F_SPI_PDC(AT91PS_SPI pSPI)
{
    return reinterpret_cast<AT91PS_PDC>(reinterpret_cast<uintptr_t>(pSPI) + SPI_PDC);
}

static inline unsigned int AT91F_SPI_SendFrame(AT91PS_SPI pSPI, const char *pBuffer,
                                               unsigned int szBuffer, const char *pNextBuffer,
                                               unsigned int szNextBuffer)
{
    return AT91F_PDC_SendFrame(AT91F_SPI_PDC(pSPI), pBuffer, szBuffer, pNextBuffer, szNextBuffer);
}

static inline unsigned int AT91F_SPI_ReceiveFrame(AT91PS_SPI pSPI, char *pBuffer,
                                                  unsigned int szBuffer, char *pNextBuffer,
                                                  unsigned int szNextBuffer)
{
    return AT91F_PDC_ReceiveFrame(AT91F_SPI_PDC(pSPI), pBuffer, szBuffer, pNextBuffer, szNextBuffer);
}

#endif

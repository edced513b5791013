// Command set of the board's serial flash. Each command is one low period of
// FLASH_CS; the driver keeps no state and never chains commands itself.
#include "25L00.h"

#include "AT91SAM7S256.h"
#include "lib_AT91SAM7S256.h"
#include "spi.h"

namespace {

enum : unsigned char {
    kWriteStatus = 0x01,
    kByteProgram = 0x02,
    kRead = 0x03,
    kWriteDisable = 0x04,
    kReadStatus = 0x05,
    kWriteEnable = 0x06,
    kHighSpeedRead = 0x0B,
    kSectorErase = 0x20,
    kEnableWriteStatus = 0x50,
    kBlockErase32K = 0x52,
    kChipErase = 0x60,
    kReadId = 0x90,
    kJedecId = 0x9F,
    kReleasePowerDown = 0xAB,
    kAaiProgram = 0xAD,
    kPowerDown = 0xB9,
    kBlockErase64K = 0xD8,
};

constexpr unsigned char kBusy = 0x01;
constexpr unsigned char kWriteEnabled = 0x02;
constexpr unsigned char kAai = 0x40;

// What SROM_Read gives when it could not arm the receive channel for itself:
// what the bus reads with nothing driving MISO.
constexpr unsigned char kNoData = 0xFF;

void select() { AT91F_PIO_ClearOutput(AT91C_BASE_PIOA, FLASH_CS); }
void deselect() { AT91F_PIO_SetOutput(AT91C_BASE_PIOA, FLASH_CS); }

void send_address(unsigned int Dst)
{
    SPI_MasterTransmit(static_cast<unsigned char>(Dst >> 16));
    SPI_MasterTransmit(static_cast<unsigned char>(Dst >> 8));
    SPI_MasterTransmit(static_cast<unsigned char>(Dst));
}

void simple_command(unsigned char opcode)
{
    select();
    SPI_MasterTransmit(opcode);
    deselect();
}

void addressed_command(unsigned char opcode, unsigned int Dst)
{
    select();
    SPI_MasterTransmit(opcode);
    send_address(Dst);
    deselect();
}

void wait_while_set(unsigned char mask)
{
    while ((SROM_ReadStatus() & mask) == mask)
        SROM_ReadStatus();
}

// The write-enable checks stop here for good, keeping the flash deselected.
[[noreturn]] void park_deselected()
{
    for (;;)
        deselect();
}

}  // namespace

unsigned char SROM_ReadStatus(void)
{
    select();
    SPI_MasterTransmit(kReadStatus);
    unsigned char status = SPI_MasterTransmit(0x00);
    deselect();
    return status;
}

void SROM_EWSR(void) { simple_command(kEnableWriteStatus); }

void SROM_WRSR(unsigned char byte)
{
    select();
    SPI_MasterTransmit(kWriteStatus);
    SPI_MasterTransmit(byte);
    deselect();
}

void SROM_WREN(void) { simple_command(kWriteEnable); }
void SROM_WRDI(void) { simple_command(kWriteDisable); }

unsigned char SROM_Read_ID(unsigned char ID_addr)
{
    select();
    SPI_MasterTransmit(kReadId);
    SPI_MasterTransmit(0x00);
    SPI_MasterTransmit(0x00);
    SPI_MasterTransmit(ID_addr);
    unsigned char id = SPI_MasterTransmit(0x00);
    deselect();
    return id;
}

unsigned int SROM_Jedec_ID_Read(void)
{
    select();
    SPI_MasterTransmit(kJedecId);
    unsigned int b1 = SPI_MasterTransmit(0x00);
    unsigned int b2 = SPI_MasterTransmit(0x00);
    unsigned int b3 = SPI_MasterTransmit(0x00);
    deselect();
    return (b1 << 16) | (b2 << 8) | b3;
}

unsigned char SROM_Read2(unsigned int Dst)
{
    select();
    SPI_MasterTransmit(kRead);
    send_address(Dst);
    unsigned char byte = SPI_MasterTransmit(0x00);
    deselect();
    return byte;
}

// One byte read with the whole frame moved by the PDC. The receive channel
// takes every byte of the frame, so the one kept is surely the one clocked in
// with the fifth frame byte, and it is given no chance to take a byte left in
// RDR by an earlier command. The channel has finished before the chip select
// rises, so it never writes these locals after the return.
unsigned char SROM_Read(unsigned int Dst)
{
    AT91PS_PDC pdc = AT91C_BASE_PDC_SPI;
    select();
    unsigned char buffer[5] = {
        kRead,
        static_cast<unsigned char>(Dst >> 16),
        static_cast<unsigned char>(Dst >> 8),
        static_cast<unsigned char>(Dst),
        0x00,
    };
    unsigned char received[5];   // filled by the receive channel, only when armed in its current slot

    if (hw_read(AT91C_BASE_SPI, SPI_SR) & AT91C_SPI_RDRF)
        AT91F_SPI_GetChar(AT91C_BASE_SPI);

    unsigned int slot = AT91F_SPI_ReceiveFrame(AT91C_BASE_SPI, reinterpret_cast<char *>(received),
                                               sizeof received, nullptr, 0);
    if (slot == 1) {
        // Queued behind a reception this read knows nothing of: the frame's
        // bytes would not land where expected. Withdraw it (the controller is
        // idle between commands, so nothing can have moved meanwhile).
        AT91F_PDC_SetNextRx(pdc, nullptr, 0);
    }
    SPI_TrasmitBuffer(buffer, sizeof buffer);
    if (slot == 2) {
        while (!AT91F_PDC_IsRxEmpty(pdc)) {
        }
    }
    deselect();
    if (slot != 2)
        return kNoData;
    // Written by the PDC, behind the compiler's back.
    return static_cast<volatile unsigned char *>(received)[4];
}

void SROM_Read_Cont(unsigned int Dst, unsigned int no_bytes, unsigned char *buffer)
{
    select();
    SPI_MasterTransmit(kRead);
    send_address(Dst);
    for (unsigned int i = 0; i < no_bytes; ++i)
        buffer[i] = SPI_MasterTransmit(0x00);
    deselect();
}

unsigned char SROM_HighSpeed_Read(unsigned int Dst)
{
    select();
    SPI_MasterTransmit(kHighSpeedRead);
    send_address(Dst);
    SPI_MasterTransmit(0xFF);
    unsigned char byte = SPI_MasterTransmit(0xFF);
    deselect();
    return byte;
}

void SROM_HighSpeed_Read_Cont(unsigned int Dst, unsigned int no_bytes, unsigned char *buffer)
{
    select();
    SPI_MasterTransmit(kHighSpeedRead);
    send_address(Dst);
    SPI_MasterTransmit(0xFF);
    for (unsigned int i = 0; i < no_bytes; ++i)
        buffer[i] = SPI_MasterTransmit(0xFF);
    deselect();
}

void SROM_Byte_Program(unsigned int Dst, unsigned char byte)
{
    select();
    SPI_MasterTransmit(kByteProgram);
    send_address(Dst);
    SPI_MasterTransmit(byte);
    deselect();
}

void SROM_Auto_Add_IncA(unsigned int Dst, unsigned char byte1, unsigned char byte2)
{
    select();
    SPI_MasterTransmit(kAaiProgram);
    send_address(Dst);
    SPI_MasterTransmit(byte1);
    SPI_MasterTransmit(byte2);
    deselect();
}

void SROM_Auto_Add_IncB(unsigned char byte1, unsigned char byte2)
{
    select();
    SPI_MasterTransmit(kAaiProgram);
    SPI_MasterTransmit(byte1);
    SPI_MasterTransmit(byte2);
    deselect();
}

void SROM_DP(void) { simple_command(kPowerDown); }
void SROM_RDP(void) { simple_command(kReleasePowerDown); }
void SROM_Chip_Erase(void) { simple_command(kChipErase); }
void SROM_Sector_Erase(unsigned int Dst) { addressed_command(kSectorErase, Dst); }
void SROM_Block_Erase_32K(unsigned int Dst) { addressed_command(kBlockErase32K, Dst); }
void SROM_Block_Erase_64K(unsigned int Dst) { addressed_command(kBlockErase64K, Dst); }

// Each further test costs two status commands: 1 + 2k for k rounds.
void SROM_Wait_Busy(void) { wait_while_set(kBusy | kWriteEnabled); }
void SROM_Wait_Busy_AAI(void) { wait_while_set(kBusy | kWriteEnabled | kAai); }

// The whole status byte must match: any protection bit left set fails too.
void SROM_WREN_Check(void)
{
    if (SROM_ReadStatus() != kWriteEnabled)
        park_deselected();
}

void SROM_WREN_AAI_Check(void)
{
    if (SROM_ReadStatus() != (kWriteEnabled | kAai))
        park_deselected();
}

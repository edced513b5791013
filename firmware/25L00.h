// Command set of the board's SPI serial flash (25-series).
// Every command is framed by the software chip select FLASH_CS (PA11).
#ifndef SROM_25L00_H
#define SROM_25L00_H

unsigned char SROM_ReadStatus(void);
void SROM_EWSR(void);
void SROM_WRSR(unsigned char byte);
void SROM_WREN(void);
void SROM_WRDI(void);
unsigned char SROM_Read_ID(unsigned char ID_addr);
unsigned int SROM_Jedec_ID_Read(void);
unsigned char SROM_Read2(unsigned int Dst);
unsigned char SROM_Read(unsigned int Dst);
void SROM_Read_Cont(unsigned int Dst, unsigned int no_bytes, unsigned char *buffer);
unsigned char SROM_HighSpeed_Read(unsigned int Dst);
void SROM_HighSpeed_Read_Cont(unsigned int Dst, unsigned int no_bytes, unsigned char *buffer);
void SROM_Byte_Program(unsigned int Dst, unsigned char byte);
void SROM_Auto_Add_IncA(unsigned int Dst, unsigned char byte1, unsigned char byte2);
void SROM_Auto_Add_IncB(unsigned char byte1, unsigned char byte2);
void SROM_DP(void);
void SROM_RDP(void);
void SROM_Chip_Erase(void);
void SROM_Sector_Erase(unsigned int Dst);
void SROM_Block_Erase_32K(unsigned int Dst);
void SROM_Block_Erase_64K(unsigned int Dst);
void SROM_Wait_Busy(void);
void SROM_Wait_Busy_AAI(void);
void SROM_WREN_Check(void);
void SROM_WREN_AAI_Check(void);

#endif

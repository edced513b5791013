// SPI controller as master for the serial flash, with its PDC channel pair.
#ifndef SPI_H
#define SPI_H

void SPI_Init(void);
unsigned char SPI_MasterTransmit(unsigned char baitas);
void SPI_TrasmitBuffer(const unsigned char *buffer, int size);
void SPI_ReadBuffer(unsigned char *buffer, int size);

#endif

// The board application: set-up, the key interrupt and the status loop.
#ifndef MAIN_H
#define MAIN_H

// Key counter: changed only by ISR_PIO_handler, read once per pass by main.
extern volatile int demo_bukle;
// Scratch text for every number shown.
extern char text[21];

void init_hardware(void);
void ISR_PIO_handler(void);
void pauze(unsigned int z);

#endif

// Symbols shared between the ARM start-up code and C++.
#ifndef STARTUP_H
#define STARTUP_H

extern "C" {
void AT91F_LowLevelInit(void);
void AT91F_Default_FIQ_handler(void);
void AT91F_Default_IRQ_handler(void);
void AT91F_Spurious_handler(void);
}

#endif

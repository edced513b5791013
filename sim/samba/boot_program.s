@ The simulated chip's boot program as the TST procedure leaves it in the
@ first two lock regions of the flash. Only its bring-up is code: it stops
@ the watchdog, runs the master clock at 48 MHz from the 18.432 MHz crystal
@ (as the board's firmware does), gives the flash its programming timing,
@ hands PA9/PA10 to the debug unit at 115200 baud, puts its exception
@ vectors and its wait loop at the bottom of RAM, remaps RAM to address 0 and
@ waits in that loop. While the core waits there, the monitor model
@ (monitor.h) serves the line; code it runs with the go command returns
@ there through LR. With RAM at 0, the host reads the boot program's vectors
@ (ARM branches) at address 0 whatever it does to the flash, and an
@ exception while the flash is being rewritten finds a handler.
@ Linked at the flash (0x00100000); the simulator knows the layout: vectors
@ at 0, `monitor` at 0x20.
        .syntax unified
        .arm
        .equ MC_RCR, 0xFFFFFF00
        .equ MC_FMR, 0xFFFFFF60
        .equ WDT_MR, 0xFFFFFD44
        .equ PMC, 0xFFFFFC00
        .equ CKGR_MOR, 0x20
        .equ CKGR_PLLR, 0x2C
        .equ PMC_MCKR, 0x30
        .equ PMC_SR, 0x68
        .equ PIOA, 0xFFFFF400
        .equ PIO_PDR, 0x04
        .equ PIO_ASR, 0x70
        .equ DBGU, 0xFFFFF200
        .equ DBGU_CR, 0x00
        .equ DBGU_MR, 0x04
        .equ DBGU_BRGR, 0x20
        .global _start
_start:
        b reset                 @ reset
        b park                  @ undefined instruction
        b park                  @ SWI
        b park                  @ prefetch abort
        b park                  @ data abort
        b park                  @ reserved
        b park                  @ IRQ
        b park                  @ FIQ
monitor:                        @ 0x00100020
        b monitor
park:                           @ 0x00100024: an exception the boot program does not handle
        b park
reset:
        @ Out of the low mirror at 0, onto the flash's own addresses.
        ldr pc, =bring_up
bring_up:
        ldr r0, =WDT_MR
        mov r1, #0x8000         @ WDDIS
        str r1, [r0]
        ldr r0, =MC_FMR
        @ FWS 1; FMCN the master-clock cycles in 1.5 us, rounded up (48.05 MHz:
        @ 72.08), what page writes and erases need (a lock bit, needing 1 us,
        @ then just takes longer).
        ldr r1, =(73 << 16) | (1 << 8)
        str r1, [r0]
        ldr r0, =PMC
        ldr r1, =(64 << 8) | 1  @ main oscillator, 64 x 8 slow clocks to settle
        str r1, [r0, #CKGR_MOR]
        mov r2, #1              @ MOSCS
        bl wait_pmc
        ldr r1, =(1 << 28) | (72 << 16) | (40 << 8) | 14   @ x73 / 14
        str r1, [r0, #CKGR_PLLR]
        mov r2, #4              @ LOCK
        bl wait_pmc
        mov r1, #4              @ prescaler /2, still the slow clock
        str r1, [r0, #PMC_MCKR]
        mov r2, #8              @ MCKRDY
        bl wait_pmc
        mov r1, #7              @ prescaler /2, the PLL
        str r1, [r0, #PMC_MCKR]
        bl wait_pmc
        ldr r0, =PIOA
        mov r1, #0x600          @ PA9 DRXD, PA10 DTXD: peripheral A
        str r1, [r0, #PIO_ASR]
        str r1, [r0, #PIO_PDR]
        ldr r0, =DBGU
        mov r1, #0x0C           @ reset receiver and transmitter
        str r1, [r0, #DBGU_CR]
        mov r1, #0x800          @ 8 bits, no parity, normal mode
        str r1, [r0, #DBGU_MR]
        mov r1, #26             @ 48.05 MHz / (16 x 26) = 115.5 kbaud
        str r1, [r0, #DBGU_BRGR]
        mov r1, #0x50           @ receiver and transmitter on
        str r1, [r0, #DBGU_CR]
        ldr sp, =0x00202000     @ the monitor's stack, below the host's programs
        @ The monitor runs from RAM: the host erases and rewrites the flash
        @ under it, and the flash cannot be read while it is programmed.
        ldr r0, =0x00200000
        adr r1, ram_vectors
        ldmia r1!, {r2-r9}
        stmia r0!, {r2-r9}
        ldmia r1, {r2-r3}
        stmia r0, {r2-r3}
        ldr r0, =MC_RCR
        mov r1, #1              @ RCB: RAM at 0
        str r1, [r0]
        ldr r0, =0x00200020
        bx r0

@ Copied to 0x00200000 (and so seen at 0): every vector branches to the
@ park loop at +0x24; the monitor's wait loop is at +0x20.
ram_vectors:
        .word 0xEA000007, 0xEA000006, 0xEA000005, 0xEA000004
        .word 0xEA000003, 0xEA000002, 0xEA000001, 0xEA000000
        .word 0xEAFFFFFE        @ +0x20: b . (the monitor waits here)
        .word 0xEAFFFFFE        @ +0x24: b . (an exception the boot program does not handle)

@ Waits for the PMC_SR bits in r2 (PMC base in r0).
wait_pmc:
        ldr r3, [r0, #PMC_SR]
        tst r3, r2
        beq wait_pmc
        bx lr
        .ltorg

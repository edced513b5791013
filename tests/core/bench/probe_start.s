@ Reset path of the compute probe: vectors, a stack in RAM, the clock as the
@ firmware sets it (48 MHz from the PLL, one flash wait state, watchdog off),
@ then probe_main (ARM or Thumb: entered by BX). Exceptions park.
        .arm
        .section .text.vectors, "ax"
        .global _start
_start:
        b       reset
        .rept   7
        b       .
        .endr

reset:
        ldr     sp, =0x00210000
        ldr     r0, =0xFFFFFF60         @ MC_FMR: FWS 1, FMCN 48
        ldr     r1, =(48 << 16) | (1 << 8)
        str     r1, [r0]
        ldr     r0, =0xFFFFFD44         @ WDT_MR: WDDIS
        mov     r1, #1 << 15
        str     r1, [r0]
        ldr     r4, =0xFFFFFC00         @ PMC
        ldr     r1, =(64 << 8) | 1      @ CKGR_MOR: main oscillator on
        str     r1, [r4, #0x20]
        mov     r2, #1                  @ MOSCS
        bl      wait_status
        ldr     r1, =(1 << 28) | (72 << 16) | (40 << 8) | 14
        str     r1, [r4, #0x2C]         @ CKGR_PLLR: x73 / 14
        mov     r2, #4                  @ LOCK
        bl      wait_status
        mov     r1, #1 << 2             @ PMC_MCKR: /2, slow clock still
        str     r1, [r4, #0x30]
        mov     r2, #8                  @ MCKRDY
        bl      wait_status
        mov     r1, #(1 << 2) | 3       @ PMC_MCKR: the PLL
        str     r1, [r4, #0x30]
        bl      wait_status
        ldr     r0, =probe_main
        mov     lr, pc
        bx      r0
        b       .

wait_status:
        ldr     r3, [r4, #0x68]         @ PMC_SR
        tst     r3, r2
        beq     wait_status
        bx      lr
        .ltorg

@ A load from nothing whose data-abort handler returns to it: the guest
@ faults for as long as it runs, some two million times a second (at the
@ 18.432 MHz main clock).
        .syntax unified
        .arm
        .global _start
_start:
        b reset
        b .
        b .
        b .
        subs pc, lr, #8                @ data abort: retry the load
        b .
        b .
        b .
reset:
        ldr r0, =0xFFFFFD44
        mov r1, #0x8000                @ watchdog off
        str r1, [r0]
        ldr r0, =0xFFFFFC00            @ PMC
        ldr r1, =(8 << 8) | 1          @ main oscillator on
        str r1, [r0, #0x20]
1:      ldr r1, [r0, #0x68]
        tst r1, #1                     @ MOSCS
        beq 1b
        mov r1, #1                     @ master clock: the main clock
        str r1, [r0, #0x30]
        ldr r1, =0x00300000            @ nothing there
again:  ldr r0, [r1]
        b again
        .ltorg

@ Talks without pause on the debug unit at 1.152 Mbaud (the 18.432 MHz
@ main clock, CD 1): a fast talker for the serial steps' time and memory.
        .syntax unified
        .arm
        .global _start
        .equ WDT_MR,  0xFFFFFD44
        .equ PMC,     0xFFFFFC00
        .equ PIO_PDR, 0xFFFFF404
        .equ DBGU,    0xFFFFF200
_start:
        ldr pc, =high                  @ from the mirror at 0 to the link address
high:
        ldr r0, =WDT_MR
        mov r1, #0x8000                @ watchdog off
        str r1, [r0]
        ldr r0, =PMC
        ldr r1, =(8 << 8) | 1          @ main oscillator on
        str r1, [r0, #0x20]
1:      ldr r1, [r0, #0x68]
        tst r1, #1                     @ MOSCS
        beq 1b
        mov r1, #1                     @ master clock: the main clock
        str r1, [r0, #0x30]
        ldr r0, =PIO_PDR
        mov r1, #0x600
        str r1, [r0]
        ldr r2, =DBGU
        mov r1, #1
        str r1, [r2, #0x20]
        mov r1, #0x800
        str r1, [r2, #0x04]
        mov r1, #0x40                  @ TXEN
        str r1, [r2]
        mov r1, #'a'
talk:   ldr r3, [r2, #0x14]
        tst r3, #2                     @ TXRDY
        beq talk
        str r1, [r2, #0x1C]
        add r1, r1, #1
        cmp r1, #'z' + 1
        moveq r1, #'a'
        b talk
        .ltorg

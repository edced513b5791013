@ Turns the debug unit's receiver on late (after some 60 ms at the slow
@ clock), then echoes what it receives at 2048 baud: what a host sent
@ before must still arrive, as a terminal delivers what was typed.
        .syntax unified
        .arm
        .global _start
        .equ WDT_MR,  0xFFFFFD44
        .equ PIO_PDR, 0xFFFFF404
        .equ DBGU,    0xFFFFF200
_start:
        ldr pc, =high                  @ from the mirror at 0 to the link address
high:
        ldr r0, =WDT_MR
        mov r1, #0x8000                @ watchdog off
        str r1, [r0]
        mov r0, #500
wait:   subs r0, r0, #1
        bne wait
        ldr r0, =PIO_PDR
        mov r1, #0x600                 @ PA9, PA10 to the debug unit
        str r1, [r0]
        ldr r2, =DBGU
        mov r1, #1                     @ CD 1: MCK / 16
        str r1, [r2, #0x20]
        mov r1, #0x800                 @ no parity
        str r1, [r2, #0x04]
        mov r1, #0x50                  @ RXEN, TXEN
        str r1, [r2]
echo:   ldr r3, [r2, #0x14]
        tst r3, #1                     @ RXRDY
        beq echo
        ldr r1, [r2, #0x18]            @ DBGU_RHR
1:      ldr r3, [r2, #0x14]
        tst r3, #2                     @ TXRDY
        beq 1b
        str r1, [r2, #0x1C]
        b echo
        .ltorg

@ Code linked into RAM, with nothing at the reset vector: it runs only if
@ it is loaded into RAM and started at its entry point, which is not the
@ start of its segment (the word there parks). It says "ram" on the debug
@ unit at 2048 baud and parks. Its data in RAM must be there too.
        .syntax unified
        .arm
        .global _start
        b .                            @ the segment's start: not the entry
_start:
        ldr r0, =0xFFFFFD44
        mov r1, #0x8000                @ watchdog off
        str r1, [r0]
        ldr r0, =0xFFFFF404
        mov r1, #0x600                 @ PA9, PA10 to the debug unit
        str r1, [r0]
        ldr r2, =0xFFFFF200
        mov r1, #1                     @ CD 1: MCK / 16
        str r1, [r2, #0x20]
        mov r1, #0x800
        str r1, [r2, #0x04]
        mov r1, #0x40                  @ TXEN
        str r1, [r2]
        adr r0, text
next:   ldrb r1, [r0], #1
        cmp r1, #0
        beq done
1:      ldr r3, [r2, #0x14]
        tst r3, #2                     @ TXRDY
        beq 1b
        str r1, [r2, #0x1C]
        b next
done:   b done
text:   .asciz "ram\n"
        .ltorg

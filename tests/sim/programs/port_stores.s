@ Word stores to the port's output registers from Thumb code, again and
@ again: the LED line (PA16) set and cleared through ODSR, SODR and CODR,
@ with its input change interrupt enabled (the controller samples every
@ change on the board's clock), at the slow clock of reset. Parks at `park`.
        .syntax unified
        .arm
        .global _start
_start:
        ldr pc, =high                  @ from the mirror at 0 to the link address
high:
        ldr r0, =0xFFFFFD44
        mov r1, #0x8000                @ watchdog off
        str r1, [r0]
        ldr r0, =0xFFFFF400            @ PIOA
        mov r1, #0x10000               @ PA16
        str r1, [r0, #0x10]            @ OER
        str r1, [r0, #0xA0]            @ OWER
        str r1, [r0, #0x40]            @ IER
        adr r2, stores + 1
        bx r2
        .thumb
        .thumb_func
stores:
        movs r3, #0
        movs r4, #50
1:      str r1, [r0, #0x38]            @ ODSR
        str r3, [r0, #0x38]
        str r1, [r0, #0x30]            @ SODR
        nop
        str r1, [r0, #0x34]            @ CODR
        subs r4, #1
        bne 1b
        .global park
park:   b park
        .align 2
        .pool

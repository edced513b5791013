@ A counted loop run twice from flash: with no wait state, then after
@ MC_FMR sets one. Breakpoints at start0, park0, start1 and park1 bracket them.
        .syntax unified
        .arm
        .global _start
_start:
        ldr pc, =high           @ from the mirror at 0 to the link address
high:
        .global start0
start0:
        mov r0, #100
        .global loop0
loop0:
        subs r0, r0, #1
        bne loop0
        .global park0
park0:
        ldr r1, =0xFFFFFF60
        ldr r2, =0x00300100     @ FWS = 1
        str r2, [r1]
        .global start1
start1:
        mov r0, #100
        .global loop1
loop1:
        subs r0, r0, #1
        bne loop1
        .global park1
park1:
        b park1
        .pool

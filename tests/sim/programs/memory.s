@ The internal memories as the memory controller decodes them, code written
@ by the SPI's PDC, and the flash read while it programs, by the core and
@ by the PDC, and a flash command started from the flash itself.
@ Results in RAM (RAM+0x400 on):
@   +0x00 data aborts, +0x04 prefetch aborts
@   +0x10.. words read through the mirrors: flash at +256 KiB, +768 KiB,
@           through the boot alias at 0x00040000; RAM at +64 KiB, +960 KiB;
@           RAM word written through 0x002F0020 read at 0x00200020
@   +0x28 what the routine fetched through the flash mirror 0x00140000 left
@   +0x30 the RAM routine's result before and +0x34 after the PDC rewrote it
@   +0x40 the load from the page being written (left alone when aborted),
@   +0x44 the link of the data abort, +0x48 of the prefetch abort,
@   +0x4C 1 once the code came back to flash
@   +0x58 the link of the prefetch abort after the command started from
@           flash, +0x5C, +0x60 what the two instructions after the store
@           had set when it was taken
@   +0x64 what the PDC sent from the busy flash (two bytes over 0xFFFF),
@   +0x68 MC_ASR and +0x6C MC_AASR after it
        .syntax unified
        .equ RAM, 0x00200000
        .equ OUT, 0x00200400    @ past the code copied to RAM
        .equ ROUTINE, 0x00208000
        .equ MC_RCR, 0xFFFFFF00
        .equ MC_ASR, 0xFFFFFF04
        .equ MC_FMR, 0xFFFFFF60
        .equ MC_FCR, 0xFFFFFF64
        .equ MC_FSR, 0xFFFFFF68
        .equ PMC_PCER, 0xFFFFFC10
        .equ SPI, 0xFFFE0000
        .equ PAGE, 0x00130000   @ a page far from the code
        .arm
        .global _start
_start:
        b reset
        b .
        b .
        b .
        b .
        b .
        b .
        b .
reset:
        ldr pc, =high
high:
        ldr sp, =0x00210000
        ldr r8, =OUT
        @ ---- mirrors ----
        ldr r0, =marker
        add r1, r0, #0x40000
        ldr r2, [r1]
        str r2, [r8, #0x10]
        add r1, r0, #0xC0000
        ldr r2, [r1]
        str r2, [r8, #0x14]
        sub r1, r0, #0x100000
        add r1, r1, #0x40000
        ldr r2, [r1]
        str r2, [r8, #0x18]
        ldr r0, =RAM + 0x10
        ldr r1, =0x600DF00D
        str r1, [r0]
        ldr r0, =RAM + 0x10010
        ldr r2, [r0]
        str r2, [r8, #0x1C]
        ldr r0, =RAM + 0xF0010
        ldr r2, [r0]
        str r2, [r8, #0x20]
        ldr r0, =RAM + 0xF0020
        ldr r1, =0xBEEF0001
        str r1, [r0]
        ldr r0, =RAM + 0x20
        ldr r2, [r0]
        str r2, [r8, #0x24]
        ldr r0, =mirrored + 0x40000
        mov lr, pc
        bx r0
        str r0, [r8, #0x28]
        @ ---- code written by the PDC ----
        ldr r0, =routine_a
        ldr r1, =ROUTINE
        ldmia r0, {r2, r3}
        stmia r1, {r2, r3}
        mov lr, pc
        ldr pc, =ROUTINE
        str r0, [r8, #0x30]
        ldr r0, =PMC_PCER
        mov r1, #1 << 5
        str r1, [r0]
        ldr r0, =SPI
        mov r1, #0x80           @ SWRST
        str r1, [r0]
        ldr r1, =0x00000081     @ MSTR, LLB
        str r1, [r0, #0x04]
        ldr r1, =0x00000402     @ SCBR 4, CPOL 0, NCPHA 1, 8 bits
        str r1, [r0, #0x30]
        mov r1, #1              @ SPIEN
        str r1, [r0]
        ldr r1, [r0, #0x08]     @ RDR: nothing waiting
        ldr r1, =ROUTINE
        str r1, [r0, #0x100]    @ RPR
        mov r1, #8
        str r1, [r0, #0x104]    @ RCR
        ldr r1, =routine_b
        str r1, [r0, #0x108]    @ TPR
        mov r1, #8
        str r1, [r0, #0x10C]    @ TCR
        ldr r1, =0x101          @ RXTEN, TXTEN
        str r1, [r0, #0x120]
1:      ldr r1, [r0, #0x104]
        cmp r1, #0
        bne 1b
        mov lr, pc
        ldr pc, =ROUTINE
        str r0, [r8, #0x34]
        @ ---- the flash read while it programs, from RAM ----
        ldr r0, =in_ram
        ldr r1, =RAM
        ldr r2, =in_ram_end
2:      ldr r3, [r0], #4
        str r3, [r1], #4
        cmp r0, r2
        blo 2b
        ldr r0, =MC_RCR
        mov r1, #1              @ RAM at 0: the vectors below
        str r1, [r0]
        ldr r0, =ram_start
        ldr r1, =in_ram
        sub r0, r0, r1
        add pc, r0, #RAM

marker: .word 0xC0DE5EED

mirrored:
        ldr r0, =0x0000A11A
        bx lr

routine_a:
        mov r0, #0xA
        bx lr
routine_b:
        mov r0, #0xB
        bx lr

        .global back_in_flash
back_in_flash:
        mov r1, #1
        str r1, [r8, #0x4C]
        @ ---- a flash command started from the flash itself ----
        ldr r0, =PAGE
        ldr r1, =0x87654321
        str r1, [r0]
        ldr r1, =0x5A000001 | ((PAGE - 0x00100000) / 256) << 8
        ldr r2, =MC_FCR
        mov r4, #0
        mov r5, #0
        str r1, [r2]            @ write page: FRDY falls
        mov r4, #1              @ both fetched before the store's data cycle
        mov r5, #1
        .global fetched_busy
fetched_busy:
        mov r6, #1              @ fetched from the busy flash
        b .
        .ltorg

@ Copied to RAM (and seen at 0 after the remap): vectors, handlers, the
@ page write and the reads that follow it at once.
        .global in_ram
in_ram:
        b .
        b .
        b .
        b prefetch_abort
        b data_abort
        b .
        b .
        b .
prefetch_abort:
        ldr r9, [r8, #4]
        add r9, r9, #1
        str r9, [r8, #4]
        cmp r9, #1
        streq lr, [r8, #0x48]
        strne lr, [r8, #0x58]
        strne r4, [r8, #0x5C]
        strne r5, [r8, #0x60]
1:      ldr r9, =MC_FSR         @ wait for FRDY, then fetch again
        ldr r9, [r9]
        tst r9, #1
        beq 1b
        subs pc, lr, #4
data_abort:
        ldr r9, [r8]
        add r9, r9, #1
        str r9, [r8]
        str lr, [r8, #0x44]
        subs pc, lr, #4          @ on after the load
ram_start:
        ldr r0, =MC_FMR
        ldr r1, =0x00010000     @ FMCN 1 at the slow clock
        str r1, [r0]
        ldr r0, =PAGE
        ldr r1, =0x12345678
        str r1, [r0]
        ldr r1, =0x5A000001 | ((PAGE - 0x00100000) / 256) << 8
        ldr r2, =MC_FCR
        ldr r3, =0x77777777
        str r3, [r8, #0x40]
        str r1, [r2]            @ write page: FRDY falls
        .global busy_load
busy_load:
        ldr r3, [r0]            @ the page being written
        str r3, [r8, #0x40]
        @ The SPI's PDC sends two bytes of the busy flash, looped back.
        mvn r1, #0
        str r1, [r8, #0x64]
        ldr r2, =SPI
        add r1, r8, #0x64
        str r1, [r2, #0x100]    @ RPR
        mov r1, #2
        str r1, [r2, #0x104]    @ RCR
        ldr r1, =marker
        str r1, [r2, #0x108]    @ TPR
        mov r1, #2
        str r1, [r2, #0x10C]    @ TCR
        ldr r1, =0x101          @ RXTEN, TXTEN
        str r1, [r2, #0x120]
3:      ldr r1, [r2, #0x104]
        cmp r1, #0
        bne 3b
        ldr r2, =MC_ASR
        ldr r1, [r2]
        str r1, [r8, #0x68]
        ldr r1, [r2, #4]
        str r1, [r8, #0x6C]
        ldr pc, =back_in_flash
        .ltorg
in_ram_end:

@ The system controller and the flash controller, as a start-up would use
@ them: RSTC_MR, the interval timer, the debug unit's identity and line, a
@ remap, and one flash page programmed through the page latch and read
@ back. On its first boot it programs the last page and resets the chip
@ through RSTC_CR; after that reset (or in a later run on the same chip
@ flash) it finds the page kept. It says what it saw on the debug unit at
@ the slow clock's 2048 baud, then echoes what it receives.
        .syntax unified
        .arm
        .global _start
        .equ WDT_MR,   0xFFFFFD44
        .equ RSTC_CR,  0xFFFFFD00
        .equ RSTC_SR,  0xFFFFFD04
        .equ RSTC_MR,  0xFFFFFD08
        .equ PIT_MR,   0xFFFFFD30
        .equ PIT_PIIR, 0xFFFFFD3C
        .equ PIO_PDR,  0xFFFFF404
        .equ DBGU,     0xFFFFF200
        .equ MC_RCR,   0xFFFFFF00
        .equ MC_FMR,   0xFFFFFF60
        .equ RAM_CODE, 0x00208000
        .equ PAGE,     0x0013FF00      @ page 1023, the last
        .equ MARK,     0x6B657074
_start:
        ldr pc, =high                  @ from the mirror at 0 to the link address
high:
        ldr r0, =WDT_MR
        mov r1, #0x8000                @ watchdog off
        str r1, [r0]
        ldr r0, =RSTC_MR
        ldr r1, =0xA5000001            @ user reset enabled
        str r1, [r0]
        ldr r0, =PIT_MR
        ldr r1, =0x010000FF            @ PITEN, PIV 255
        str r1, [r0]
        ldr r0, =PIT_PIIR
        ldr r9, [r0]

        ldr r0, =PIO_PDR
        mov r1, #0x600                 @ PA9, PA10 to the debug unit
        str r1, [r0]
        ldr r0, =DBGU
        mov r1, #1                     @ CD 1: MCK / 16
        str r1, [r0, #0x20]
        mov r1, #0x800                 @ no parity
        str r1, [r0, #0x04]
        mov r1, #0x50                  @ RXEN, TXEN
        str r1, [r0]
        ldr r1, [r0, #0x40]            @ DBGU_CIDR
        ldr r2, =0x270B0940
        cmp r1, r2
        bne fail

        ldr r0, =PIT_PIIR
        ldr r1, [r0]
        cmp r1, r9
        beq fail                       @ the timer did not count

        ldr r3, =0x00200000            @ remap: RAM shows at 0
        ldr r4, =0xCAFEF00D
        str r4, [r3]
        ldr r5, =MC_RCR
        mov r1, #1
        str r1, [r5]
        b 1f                           @ the simulator remaps at a block boundary
1:      mov r6, #0
        ldr r7, [r6]
        str r1, [r5]                   @ and back
        cmp r7, r4
        bne fail

        ldr r0, =RSTC_SR
        ldr r1, [r0]
        and r1, r1, #0x700
        cmp r1, #0x300                 @ RSTTYP: software reset
        adreq r0, s_reset
        bleq puts

        ldr r5, =PAGE
        ldr r2, =MARK
        ldr r1, [r5]
        cmp r1, r2
        beq kept

        ldr r6, =MC_FMR
        ldr r1, =0x00010000            @ FMCN 1: the slow clock's cycles in 1.5 us, rounded up
        str r1, [r6]
        mov r7, #0
fill:   add r1, r2, r7                 @ word i = MARK + i, into the latch
        str r1, [r5, r7, lsl #2]
        add r7, r7, #1
        cmp r7, #64
        bne fill
        ldr r0, =program_page          @ the flash cannot be read while it programs:
        ldr r1, =RAM_CODE              @ the command is given and waited for from RAM
        ldmia r0, {r3, r4, r8, r9, r10}
        stmia r1, {r3, r4, r8, r9, r10}
        ldr r1, =0x5A03FF01            @ key, page 1023, write page
        mov lr, pc
        ldr pc, =RAM_CODE
        tst r1, #0xC                   @ LOCKE, PROGE
        bne fail
        mov r7, #0
check:  ldr r1, [r5, r7, lsl #2]
        add r3, r2, r7
        cmp r1, r3
        bne fail
        add r7, r7, #1
        cmp r7, #64
        bne check
        adr r0, s_programmed
        bl puts
        ldr r0, =DBGU
drain:  ldr r1, [r0, #0x14]            @ TXEMPTY before the reset cuts the line
        tst r1, #0x200
        beq drain
        ldr r0, =RSTC_CR
        ldr r1, =0xA500000D            @ processor, peripherals, NRST
        str r1, [r0]
halt:   b halt

kept:   adr r0, s_kept
        bl puts
        adr r0, s_hello
        bl puts
        ldr r2, =DBGU
echo:   ldr r3, [r2, #0x14]
        tst r3, #1                     @ RXRDY
        beq echo
        ldr r1, [r2, #0x18]            @ DBGU_RHR
1:      ldr r3, [r2, #0x14]
        tst r3, #2                     @ TXRDY
        beq 1b
        str r1, [r2, #0x1C]
        b echo
@ Copied to RAM: gives the command in r1 to MC_FCR (r6 = MC_FMR) and
@ returns MC_FSR once FRDY is back.
program_page:
        str r1, [r6, #4]
1:      ldr r1, [r6, #8]               @ MC_FSR
        tst r1, #1
        beq 1b
        bx lr

fail:   adr r0, s_fail
        bl puts
park:   b park

@ r0: a zero-terminated string, sent through THR when TXRDY.
puts:   ldr r2, =DBGU
next:   ldrb r1, [r0], #1
        cmp r1, #0
        moveq pc, lr
ready:  ldr r3, [r2, #0x14]
        tst r3, #2
        beq ready
        str r1, [r2, #0x1C]
        b next

s_reset:      .asciz "reset\n"
s_programmed: .asciz "programmed\n"
s_kept:       .asciz "kept\n"
s_hello:      .asciz "hello\n"
s_fail:       .asciz "FAIL\n"
        .align 2
        .pool

@ Precise data aborts recorded by the memory controller, then SWP on a
@ peripheral register. The abort handler logs each abort in a table of
@ 16-byte entries at RAM+0x40 (lr, MC_ASR, MC_AASR), counts them at RAM+0
@ and goes on with the instruction after the faulting one.
@ Results in RAM: +16 r5 after the first abort (3: each add ran once), +32
@ r6 after the misaligned load (0x77: not loaded), +44 the word under the
@ misaligned store (0x11223344: not written), +48 what SWP read from
@ AIC_SVR1, +52 AIC_SVR1 after it.
        .syntax unified
        .equ RAM, 0x00200000
        .equ MC, 0xFFFFFF00
        .equ AIC_SVR1, 0xFFFFF084
        .arm
        .global _start
_start:
        b reset
        b .
        b .
        b .
        b abort_handler
        b .
        b .
        b .
reset:
        ldr pc, =high           @ from the mirror at 0 to the link address
high:
        msr cpsr_c, #0xD7
        ldr sp, =0x0020FD00
        msr cpsr_c, #0xD3
        ldr sp, =0x0020F000
        ldr r8, =RAM
        ldr r1, =0x00300000
        mov r5, #0
        add r5, r5, #1
        add r5, r5, #1
        add r5, r5, #1
        .global store_site
store_site:
        str r0, [r1]            @ nothing there
        str r5, [r8, #16]
        ldr r1, =RAM + 0x41
        mov r6, #0x77
        .global load_site
load_site:
        ldr r6, [r1]            @ misaligned word
        str r6, [r8, #32]
        ldr r2, =RAM + 0x102
        ldr r3, =0x11223344
        str r3, [r8, #0x100]
        .global store2_site
store2_site:
        str r0, [r2]            @ misaligned word
        ldr r3, [r8, #0x100]
        str r3, [r8, #44]
        ldr r0, =AIC_SVR1
        ldr r1, =0x00101234
        str r1, [r0]
        ldr r1, =0x00105678
        .global swp_site
swp_site:
        swp r2, r1, [r0]
        str r2, [r8, #48]
        ldr r3, [r0]
        str r3, [r8, #52]
        .global park
park:
        b park

abort_handler:
        ldr r12, =RAM
        ldr r11, [r12]
        add r10, r12, r11, lsl #4
        add r10, r10, #0x40
        str lr, [r10]
        ldr r9, =MC
        ldr r7, [r9, #4]        @ MC_ASR
        str r7, [r10, #4]
        ldr r7, [r9, #8]        @ MC_AASR
        str r7, [r10, #8]
        add r11, r11, #1
        str r11, [r12]
        subs pc, lr, #4
        .pool

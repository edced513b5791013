@ Nested IRQs through the AIC from Thumb code, then an FIQ taken at its vector.
@ Results in RAM: +0 sequence counter, +4 low handler start, +8 high handler,
@ +12 low handler end, +16 0x600D when flags survived the IRQs, +20 FVR,
@ +24 FIQ-mode SPSR, +28 FIQ-mode CPSR, +32 0xF1F0 after the FIQ returned,
@ +36 single-cycle instructions run between the ISCR write and the IRQ.
        .syntax unified
        .equ AIC, 0xFFFFF000
        .equ RAM, 0x00200000
        .arm
        .global _start
_start:
        b reset
        b .
        b .
        b .
        b .
        b .
        b irq_entry
        b fiq_entry
reset:
        msr cpsr_c, #0xD2
        ldr sp, =0x0020FF00
        msr cpsr_c, #0xD1
        ldr sp, =0x0020FE00
        msr cpsr_c, #0x13
        ldr sp, =0x0020F000
        ldr r0, =AIC
        mov r1, #0x22           @ rising edge, priority 2
        str r1, [r0, #0x0C]     @ SMR[3]
        mov r1, #0x25           @ rising edge, priority 5
        str r1, [r0, #0x10]     @ SMR[4]
        mov r1, #0x60           @ source 0: rising edge
        str r1, [r0, #0x00]
        ldr r1, =low_handler
        str r1, [r0, #0x8C]
        ldr r1, =high_handler+1 @ Thumb handler
        str r1, [r0, #0x90]
        ldr r1, =0xCAFE0000
        str r1, [r0, #0x80]
        mov r1, #0x19
        str r1, [r0, #0x120]    @ IECR: sources 0, 3, 4
        ldr r2, =main_thumb+1
        bx r2

irq_entry:
        sub lr, lr, #4
        stmfd sp!, {lr}
        mrs lr, spsr
        stmfd sp!, {lr}
        stmfd sp!, {r0}
        ldr lr, =AIC
        ldr r0, [lr, #0x100]
        str lr, [lr, #0x100]
        msr cpsr_c, #0x13
        stmfd sp!, {r1-r3, r12, lr}
        mov lr, pc
        bx r0
        ldmia sp!, {r1-r3, r12, lr}
        msr cpsr_c, #0x92
        ldr lr, =AIC
        str lr, [lr, #0x130]
        ldmia sp!, {r0}
        ldmia sp!, {lr}
        msr spsr_cxsf, lr
        ldmia sp!, {pc}^

fiq_entry:
        ldr r8, =AIC
        ldr r9, [r8, #0x104]
        ldr r10, =RAM
        str r9, [r10, #20]
        mrs r11, spsr
        str r11, [r10, #24]
        mrs r11, cpsr
        str r11, [r10, #28]
        subs pc, lr, #4

low_handler:
        ldr r0, =RAM
        ldr r1, [r0]
        add r1, r1, #1
        str r1, [r0]
        str r1, [r0, #4]
        ldr r2, =AIC
        mov r3, #0x10
        str r6, [r0, #36]
        str r3, [r2, #0x12C]    @ ISCR: source 4, higher priority
        nop                     @ nIRQ falls 4.5 cycles after the write
        nop
        nop
        nop
        ldr r1, [r0]
        add r1, r1, #1
        str r1, [r0]
        str r1, [r0, #12]
        bx lr

        .thumb
        .thumb_func
high_handler:
        ldr r0, =RAM
        ldr r1, [r0]
        adds r1, r1, #1
        str r1, [r0]
        str r1, [r0, #8]
        bx lr

        .thumb_func
main_thumb:
        ldr r0, =0xFFFFF100
        movs r6, #0
        movs r1, #1
        mov r9, r1
        movs r7, #0
        movs r1, #8
        cmp r7, #0              @ Z and C set
        str r1, [r0, #0x2C]     @ ISCR: source 3
        add r6, r9              @ counts, leaving the flags alone, until
        add r6, r9              @ the IRQ is taken
        add r6, r9
        add r6, r9
        add r6, r9
        add r6, r9
        add r6, r9
        add r6, r9
        bne fail
        bcc fail
        ldr r2, =RAM
        ldr r3, =0x600D
        str r3, [r2, #16]
        movs r1, #1
        str r1, [r0, #0x2C]     @ ISCR: source 0, the FIQ
        b 1f
1:
        ldr r3, =0xF1F0
        str r3, [r2, #32]
        .global park
park:
        b park
fail:
        b fail
        .pool

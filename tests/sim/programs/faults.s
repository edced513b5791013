@ Exceptions from Thumb code: SWI, an undefined instruction and a data
@ abort, each returning to the instruction after the one that trapped.
@ Results in RAM: +0 SWI lr, +4 SWI spsr, +8 undef lr, +12 undef spsr,
@ +16 abort lr, +20 abort spsr, +24 0x600D when flags survived, +28 r4
@ after the abort (must be 0x44: the instruction after the faulting one ran).
        .syntax unified
        .equ RAM, 0x00200000
        .arm
        .global _start
_start:
        b reset
        b undef_handler
        b swi_handler
        b .
        b abort_handler
        b .
        b .
        b .
reset:
        msr cpsr_c, #0xDB
        ldr sp, =0x0020FE00
        msr cpsr_c, #0xD7
        ldr sp, =0x0020FD00
        msr cpsr_c, #0xD3
        ldr sp, =0x0020F000
        ldr r0, =main_thumb+1
        bx r0

swi_handler:
        ldr r12, =RAM
        str lr, [r12, #0]
        mrs r11, spsr
        str r11, [r12, #4]
        movs pc, lr

undef_handler:
        ldr r12, =RAM
        str lr, [r12, #8]
        mrs r11, spsr
        str r11, [r12, #12]
        movs pc, lr

abort_handler:
        ldr r12, =RAM
        str lr, [r12, #16]
        mrs r11, spsr
        str r11, [r12, #20]
        subs pc, lr, #6         @ Thumb: skip the faulting instruction (lr = it + 8)

        .thumb
        .thumb_func
main_thumb:
        movs r5, #0x44
        mov r9, r5
        movs r0, #0
        cmp r0, #0              @ Z and C set
        .global swi_site
swi_site:
        swi 0x12
        .global undef_site
undef_site:
        .short 0xDE00           @ undefined in Thumb state
        ldr r1, =0x00300000
        movs r4, #0
        .global abort_site
abort_site:
        ldr r2, [r1]
        mov r4, r9              @ leaves the flags alone
        bne fail
        bcc fail
        ldr r2, =RAM
        ldr r3, =0x600D
        str r3, [r2, #24]
        str r4, [r2, #28]
        .global park
park:
        b park
fail:
        b fail
        .pool

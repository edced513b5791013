@ First code of the image: the exception vectors, the reset path, the nested
@ IRQ entry through the AIC, the FIQ entry and the parking loops.
@
@ All ARM state. Everything from the vector table to the end of the IRQ entry
@ branches PC-relative and loads its constants from literal words next to it,
@ so it runs alike from flash at 0x00100000 and from the boot alias at 0x0.
@ Link-time addresses are only entered by BX from a register.

        .equ    ARM_MODE_FIQ,   0x11
        .equ    ARM_MODE_IRQ,   0x12
        .equ    ARM_MODE_SVC,   0x13
        .equ    I_BIT,          0x80
        .equ    F_BIT,          0x40

        .equ    IRQ_Stack_Size, 0x60
        .equ    IRQ_STACK_SIZE, IRQ_Stack_Size

        .equ    AT91C_BASE_AIC, 0xFFFFF000
        .equ    AIC_IVR,        0x100
        .equ    AIC_FVR,        0x104
        .equ    AIC_EOICR,      0x130

        .syntax unified
        .arm
        .section .vectors, "ax", %progbits

@ ---------------------------------------------------------------------------
@ The vector table. The core takes exceptions at 0x00..0x1C, where the chip
@ shows the start of flash after reset. The undefined, SWI, abort and reserved
@ vectors hold the processor where it is: nothing here could recover.
@ ---------------------------------------------------------------------------
        .global _startup
        .type   _startup, %function
_startup:
reset:
        b       InitReset
undefvec:
        b       undefvec
swivec:
        b       swivec
pabtvec:
        b       pabtvec
dabtvec:
        b       dabtvec
rsvdvec:
        b       rsvdvec
irqvec:
        b       IRQ_Handler_Entry

@ ---------------------------------------------------------------------------
@ FIQ entry, inline at the FIQ vector so it costs no branch. FIQ mode keeps
@ the AIC base in r8 (set by the reset path) and r9 as the save slot for r0;
@ the handler runs in supervisor mode with both interrupts masked.
@ ---------------------------------------------------------------------------
        .global FIQ_Handler_Entry
fiqvec:
FIQ_Handler_Entry:
        mov     r9, r0
        ldr     r0, [r8, #AIC_FVR]
        msr     CPSR_c, #(ARM_MODE_SVC | I_BIT | F_BIT)
        stmfd   sp!, {r1-r3, r12, lr}
        mov     lr, pc
        bx      r0
        ldmia   sp!, {r1-r3, r12, lr}
        msr     CPSR_c, #(ARM_MODE_FIQ | I_BIT | F_BIT)
        mov     r0, r9
        subs    pc, lr, #4

.RAM_TOP:
        .word   Top_Stack

@ ---------------------------------------------------------------------------
@ Reset path. Entered in supervisor mode, ARM state, IRQ and FIQ masked.
@ ---------------------------------------------------------------------------
        .global InitReset
        .type   InitReset, %function
InitReset:
        @ Temporary stack for the bring-up; it becomes the IRQ stack below.
        ldr     sp, .RAM_TOP

        ldr     r0, =AT91F_LowLevelInit
        mov     lr, pc
        bx      r0

        @ Whatever the bring-up did, it returns sp as it found it: that is
        @ the top from which the mode stacks are laid out.
        mov     r0, sp

        @ FIQ mode has no stack; its r8 holds the AIC base for the FIQ entry.
        msr     CPSR_c, #(ARM_MODE_FIQ | I_BIT | F_BIT)
        ldr     r8, =AT91C_BASE_AIC

        msr     CPSR_c, #(ARM_MODE_IRQ | I_BIT | F_BIT)
        mov     sp, r0
        sub     r0, r0, #IRQ_Stack_Size

        @ Interrupts are unmasked from here on; no AIC source is enabled yet.
        msr     CPSR_c, #ARM_MODE_SVC
        mov     sp, r0

        @ Initialised data: flash copy at _etext to RAM. The bounds are
        @ word-aligned, so the loops move whole words; each test comes before
        @ its transfer so that an empty range moves nothing.
        ldr     r1, =_etext
        ldr     r2, =_data
        ldr     r3, =_edata
LoopRel:
        cmp     r2, r3
        ldrlo   r0, [r1], #4
        strlo   r0, [r2], #4
        blo     LoopRel

        mov     r0, #0
        ldr     r1, =__bss_start__
        ldr     r2, =__bss_end__
LoopZI:
        cmp     r1, r2
        strlo   r0, [r1], #4
        blo     LoopZI

        @ main is Thumb code: its address carries bit 0, and BX switches state.
        @ Should it ever return, it returns to exit (ARM state).
        ldr     lr, =exit
        ldr     r0, =main
        bx      r0
        .size   InitReset, . - InitReset

        .global exit
        .type   exit, %function
exit:
        b       exit
        .size   exit, . - exit

@ ---------------------------------------------------------------------------
@ IRQ entry. The interrupted state goes on the IRQ stack before interrupts are
@ unmasked again, because a nested IRQ overwrites IRQ-mode lr and SPSR. The
@ handler runs in supervisor mode with IRQ enabled: once IVR has been read
@ the AIC only interrupts it for a source of higher priority.
@ ---------------------------------------------------------------------------
        .global IRQ_Handler_Entry
        .type   IRQ_Handler_Entry, %function
IRQ_Handler_Entry:
        sub     lr, lr, #4
        stmfd   sp!, {lr}
        mrs     lr, SPSR
        stmfd   sp!, {lr}
        stmfd   sp!, {r0}

        @ Reading IVR starts the service; writing it back is what starts it
        @ when the AIC runs in protect mode, and is harmless otherwise.
        ldr     lr, =AT91C_BASE_AIC
        ldr     r0, [lr, #AIC_IVR]
        str     lr, [lr, #AIC_IVR]

        msr     CPSR_c, #ARM_MODE_SVC
        stmfd   sp!, {r1-r3, r12, lr}
        mov     lr, pc
        bx      r0
        ldmia   sp!, {r1-r3, r12, lr}

        msr     CPSR_c, #(ARM_MODE_IRQ | I_BIT)
        ldr     lr, =AT91C_BASE_AIC
        str     lr, [lr, #AIC_EOICR]

        ldmia   sp!, {r0}
        ldmia   sp!, {lr}
        msr     SPSR_cxsf, lr
        ldmia   sp!, {pc}^
        .size   IRQ_Handler_Entry, . - IRQ_Handler_Entry

        .ltorg
        .size   _startup, InitReset - _startup

@ ---------------------------------------------------------------------------
@ Handlers that the bring-up installs in every AIC vector until the board
@ set-up replaces one. An interrupt that reaches one of them was never meant
@ to happen: the processor stays there, in supervisor mode, for a debugger.
@ ---------------------------------------------------------------------------
        .text
        .arm

        .global AT91F_Default_FIQ_handler
        .type   AT91F_Default_FIQ_handler, %function
AT91F_Default_FIQ_handler:
        b       AT91F_Default_FIQ_handler
        .size   AT91F_Default_FIQ_handler, . - AT91F_Default_FIQ_handler

        .global AT91F_Default_IRQ_handler
        .type   AT91F_Default_IRQ_handler, %function
AT91F_Default_IRQ_handler:
        b       AT91F_Default_IRQ_handler
        .size   AT91F_Default_IRQ_handler, . - AT91F_Default_IRQ_handler

        .global AT91F_Spurious_handler
        .type   AT91F_Spurious_handler, %function
AT91F_Spurious_handler:
        b       AT91F_Spurious_handler
        .size   AT91F_Spurious_handler, . - AT91F_Spurious_handler

        .end

@ The firmware's three delay routines, instruction for instruction as the
@ compiler emits them: the guest of the fast-forward tests and of core_bench.
    .thumb_func
pauze:
    movs r3, #0
    sub sp, #8
1:  str r3, [sp, #4]
    ldr r3, [sp, #4]
    cmp r3, r0
    bcc 2f
    add sp, #8
    bx lr
2:  nop
    ldr r3, [sp, #4]
    adds r3, #1
    b 1b
    .thumb_func
lcd_e_delay:
    movs r3, #0
    sub sp, #8
1:  str r3, [sp, #4]
    ldr r3, [sp, #4]
    cmp r3, #5
    bls 2f
    add sp, #8
    bx lr
2:  nop
    ldr r3, [sp, #4]
    adds r3, #1
    b 1b
    .thumb_func
lcd_ms_delay:
    sub sp, #8
    str r0, [sp, #4]
1:  ldr r3, [sp, #4]
    subs r3, #1
    str r3, [sp, #4]
    cmp r3, #0
    beq 2f
    nop
    b 1b
2:  add sp, #8
    bx lr

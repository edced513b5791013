@ The core benchmark's guest: Thumb code of the firmware's kind (table-free
@ CRC-32 over a RAM buffer, block copies, calls) between delay loops of the
@ firmware's shape. Linked at 0x00100000 (flash); RAM at 0x00200000.
@ r0 on entry: rounds; with r1 = 0 the delay loops are left out.
        .syntax unified
        .arm
        .global _start
_start:
        ldr sp, =0x00210000
        adr r2, main + 1
        bx r2
        .ltorg

        .thumb
        .thumb_func
main:
        mov r8, r0
        mov r9, r1
        movs r4, #0
round:
        bl fill
        bl crc32
        adds r4, r4, r0
        bl copy
        mov r0, r9
        cmp r0, #0
        beq 1f
        ldr r0, =40000
        bl pauze
1:      movs r0, #1
        mov r1, r8
        subs r1, #1
        mov r8, r1
        bne round
        ldr r1, =0xFFF0FFF0
        str r4, [r1]
2:      b 2b

@ 256 bytes of pattern at 0x00200000
        .thumb_func
fill:
        ldr r1, =0x00200000
        movs r2, #64
        ldr r3, =0x01234567
1:      str r3, [r1]
        adds r1, #4
        lsls r0, r3, #3
        eors r3, r0
        subs r2, #1
        bne 1b
        bx lr

@ CRC-32 of those 256 bytes, bit by bit
        .thumb_func
crc32:
        push {r4-r6, lr}
        ldr r1, =0x00200000
        movs r2, #0
        mvns r0, r2
        ldr r5, =0xEDB88320
        movs r6, #255
        adds r6, #1
1:      ldrb r3, [r1, r2]
        eors r0, r3
        movs r3, #8
2:      lsrs r0, r0, #1
        bcc 3f
        eors r0, r5
3:      subs r3, #1
        bne 2b
        adds r2, #1
        cmp r2, r6
        bne 1b
        mvns r0, r0
        pop {r4-r6}
        pop {r1}
        bx r1

@ 256 bytes from 0x00200000 to 0x00200400, 16 at a time
        .thumb_func
copy:
        push {r4-r7, lr}
        ldr r0, =0x00200000
        ldr r1, =0x00200400
        movs r7, #16
1:      ldmia r0!, {r2-r5}
        stmia r1!, {r2-r5}
        subs r7, #1
        bne 1b
        pop {r4-r7}
        pop {r0}
        bx r0

@ The firmware's delay loops, instruction for instruction
        .include "firmware_delays.s"
        .ltorg

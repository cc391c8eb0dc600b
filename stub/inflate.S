@ The turbo flasher's inflate, in Thumb state; turbo.S includes it where it stands in
@ the image (before the literal pool that both share) and holds its buffers: `stream`,
@ `lengths`, `litlen_table`, `dist_table` and `fast_table` (2 << FAST_BITS bytes).

#define FAST_BITS 10

@ The inflate of a raw deflate stream (RFC 1951), in Thumb state for its size: from
@ r6 (`stream`) up to r0 into `buffer`, never more than TURBO_BLOCK_MAX bytes. Returns r0
@ TURBO_OK, or TURBO_ERR_STREAM for a malformed stream (a block type 3, a code the
@ tables do not hold, a length or distance code past the last, a distance before the
@ buffer's start, stored lengths that do not match, a repeat with no length before it,
@ output past the buffer, input that ends before the last block does), and r1 the bytes
@ made. Changes r0 to r12; every loop takes input or makes output, so it always ends.
@ Huffman codes are canonical: each table holds how many codes there are of each length
@ and the symbols in code order, and a code is decoded a bit at a time against them. A
@ literal or length code of up to FAST_BITS bits, the most of them, is decoded at once
@ through `fast_table`, filled from the table at each block.
@ Registers throughout: r4 the next byte of the stream, r5 the next byte of the buffer,
@ r6 the bits taken from the stream and not used yet (the next one lowest), r7 how
@ many, r8 the buffer's start, r9 the stack pointer to go back to on a fault, r10 the
@ buffer's end, r11 the stream's end.

    .thumb
    .thumb_func
inflate:
    push {lr}
    mov r9, sp
    mov r11, r0
    movs r4, r6
    mov r10, r6                 @ the stream follows the buffer
    ldr r5, =buffer
    mov r8, r5
    movs r6, #0
    movs r7, #0
next_block:
    movs r0, #3
    bl bits                     @ BFINAL, then BTYPE
    push {r0}
    lsrs r0, r0, #1
    bne 1f
    b stored
1:  subs r0, #1
    bne 2f
    b fixed
2:  subs r0, #1
    bne fail
    b dynamic
fail:
    mov sp, r9
    movs r0, #TURBO_ERR_STREAM
    b 1f
block_done:
    pop {r0}
    lsrs r0, r0, #1             @ the last block?
    bcc next_block
    movs r0, #TURBO_OK
1:  mov r1, r8
    subs r1, r5, r1
    pop {r2}
    bx r2

@ r0: how many bits (0 to 16) -> r0: the next r0 bits of the stream. Changes r1.
bits:
    cmp r7, r0
    bhs 1f
    cmp r4, r11
    bhs fail
    ldrb r1, [r4]
    adds r4, #1
    lsls r1, r1, r7
    orrs r6, r1
    adds r7, #8
    b bits
1:  movs r1, #1
    lsls r1, r1, r0
    subs r1, #1
    ands r1, r6
    lsrs r6, r6, r0
    subs r7, r7, r0
    movs r0, r1
    bx lr

@ r0: a byte for the buffer. Changes nothing else.
put:
    cmp r5, r10
    bhs fail
    strb r0, [r5]
    adds r5, #1
    bx lr

@ r3: litlen_table -> r0: the symbol of the next literal or length code: through
@ fast_table when the stream holds FAST_BITS bits more and the code is no longer, else a
@ bit at a time (decode). Changes r1 to r3.
fast:
    cmp r7, #FAST_BITS
    bhs 1f
    cmp r4, r11
    bhs decode
    ldrb r1, [r4]
    adds r4, #1
    lsls r1, r7
    orrs r6, r1
    adds r7, #8
    b fast
1:  lsls r1, r6, #(32 - FAST_BITS)
    lsrs r1, r1, #(31 - FAST_BITS)  @ the next FAST_BITS bits, times 2
    ldr r0, =fast_table
    ldrh r0, [r0, r1]
    lsrs r1, r0, #12                @ the code's length; 0: none so short
    beq decode
    lsrs r6, r1
    subs r7, r7, r1
    lsls r0, r0, #20
    lsrs r0, r0, #20
    bx lr

@ r3: a table (32-byte aligned) -> r0: the symbol of the next code. Changes r1 to r3.
@ r0 is the code's distance past the first code of its length; r2 the symbols of that
@ length.
decode:
    movs r2, r3
    adds r2, #32
    movs r0, #0
1:  adds r3, #2
    lsls r1, r3, #27
    beq fail                    @ longer than 15 bits: no such code
    subs r7, #1
    bpl 2f
    cmp r4, r11
    bhs fail
    ldrb r6, [r4]
    adds r4, #1
    movs r7, #7
2:  lsrs r6, r6, #1
    adcs r0, r0
    ldrh r1, [r3]
    cmp r0, r1
    blo 3f
    subs r0, r0, r1
    lsls r1, r1, #1
    adds r2, r2, r1
    b 1b
3:  lsls r0, r0, #1
    ldrh r0, [r2, r0]
    bx lr

@ Literals, lengths and distances until the end of the block.
codes:
    ldr r3, =litlen_table
    bl fast
    cmp r0, #255
    bhi 1f
    cmp r5, r10                 @ a literal
    bhs fail
    strb r0, [r5]
    adds r5, #1
    b codes
1:  subs r0, #255
    subs r0, #2
    bmi block_done
    cmp r0, #28
    bhi fail
    bne 2f
    movs r0, #129
    lsls r0, r0, #1             @ 285: 258, no extra bits
    b 3f
2:  movs r1, #2
    movs r2, #3
    bl value
3:  push {r0}
    ldr r3, =dist_table
    bl decode
    cmp r0, #29
    bhi fail
    movs r1, #1
    movs r2, #1
    bl value
    pop {r2}                    @ the length
    negs r3, r0
    mov r1, r8
    subs r1, r5, r1
    cmp r0, r1
    bhi fail                    @ before the buffer's start
    adds r1, r5, r2
    cmp r1, r10
    bhi fail                    @ past its end
4:  ldrb r0, [r5, r3]
    strb r0, [r5]
    adds r5, #1
    subs r2, #1
    bne 4b
    b codes

@ r0: the index of a length or distance code, r1: log2 of the codes that share a number
@ of extra bits, r2: the first code's value -> r0: the value with its extra bits read.
@ The first two groups have no extra bits, each next one a bit more. Changes r1 to r3.
value:
    push {lr}
    movs r3, r0
    lsrs r3, r3, r1
    subs r3, #1
    bpl 1f
    movs r3, #0                 @ the extra bits
1:  lsls r3, r3, r1
    subs r0, r0, r3
    lsrs r3, r3, r1
    lsls r0, r0, r3
    adds r2, r2, r0
    movs r0, r3
    bl bits
    adds r0, r0, r2
    pop {pc}

@ r0: code lengths, r1: how many, r3: a table to fill: the count of codes of each
@ length, then their symbols in code order. Changes nothing else.
construct:
    push {r2, r4-r7, lr}
    movs r7, r3
    adds r7, #32                @ the next symbol's place
    movs r2, #1                 @ the length
1:  movs r5, #0                 @ the symbol
    movs r6, #0                 @ the count
2:  ldrb r4, [r0, r5]
    cmp r4, r2
    bne 3f
    strh r5, [r7]
    adds r7, #2
    adds r6, #1
3:  adds r5, #1
    cmp r5, r1
    blo 2b
    lsls r4, r2, #1
    strh r6, [r3, r4]
    adds r2, #1
    cmp r2, #16
    blo 1b
    pop {r2, r4-r7, pc}

@ r3: a table that construct filled -> fast_table: each code of up to FAST_BITS bits, its
@ length (high 4 bits) and symbol, at every index whose low bits are the code as the
@ stream gives it (reversed); 0 where the code is longer. Changes r12.
fill:
    push {r0-r7, lr}
    mov r12, r3
    ldr r4, =fast_table
    movs r5, #0                 @ the next code, reversed
    movs r1, #1
    lsls r1, r1, #(FAST_BITS + 1)
1:  subs r1, #4
    str r5, [r4, r1]
    bne 1b
    movs r2, r3
    adds r2, #32                @ the symbols in code order
    movs r6, #1                 @ the code's length
2:  mov r3, r12
    lsls r7, r6, #1
    ldrh r7, [r3, r7]           @ how many codes of this length
3:  subs r7, #1
    bmi 6f
    ldrh r0, [r2]
    adds r2, #2
    lsls r1, r6, #12
    orrs r0, r1
    lsls r1, r5, #1
4:  strh r0, [r4, r1]
    movs r3, #2
    lsls r3, r6
    adds r1, r1, r3
    lsrs r3, r1, #(FAST_BITS + 1)
    beq 4b
    movs r1, #1                 @ the reversed code counts up from its top bit
    lsls r1, r6
5:  lsrs r1, r1, #1
    beq 3b                      @ no code is left
    tst r5, r1
    bne 5b
    subs r3, r1, #1
    ands r5, r3
    adds r5, r5, r1
    b 3b
6:  adds r6, #1
    cmp r6, #FAST_BITS
    bls 2b
    pop {r0-r7, pc}

@ A stored block: the rest of the byte skipped, LEN and its complement, LEN bytes.
stored:
    lsrs r0, r7, #3
    subs r4, r4, r0             @ whole bytes taken ahead go back to the stream
    movs r6, #0
    movs r7, #0
    movs r0, #16
    bl bits
    movs r2, r0
    movs r0, #16
    bl bits
    adds r0, r0, r2
    mvns r0, r0
    lsls r0, r0, #16
    bne far_fail
1:  subs r2, #1
    bmi far_done
    movs r0, #8
    bl bits
    bl put
    b 1b

@ The fixed codes: literal and length codes 0-143 of 8 bits, 144-255 of 9, 256-279 of
@ 7, 280-287 of 8; distance codes 0-29 of 5 bits.
fixed:
    ldr r0, =lengths
    ldr r1, =fixed_runs
1:  ldrb r2, [r1]
    ldrb r3, [r1, #1]
    adds r1, #2
2:  strb r3, [r0]
    adds r0, #1
    subs r2, #1
    bne 2b
    cmp r3, #5
    bne 1b
    movs r1, #144
    lsls r1, r1, #1
    movs r2, #30
    b tables

far_fail:
    b fail
far_done:
    b block_done

@ A dynamic block: the code lengths' own code, then the code lengths of the literal and
@ length code and of the distance code, with their repeats.
dynamic:
    movs r0, #14
    bl bits                     @ HLIT, HDIST, HCLEN
    movs r1, #31
    ands r1, r0
    adds r1, #255
    adds r1, #2                 @ literal and length codes
    lsrs r0, r0, #5
    movs r2, #31
    ands r2, r0
    adds r2, #1                 @ distance codes
    adds r2, r2, r1             @ code lengths in all
    lsrs r0, r0, #5
    adds r0, #4                 @ code length codes
    push {r0, r1, r2}
    movs r2, #0
1:  movs r0, #0
    ldr r1, [sp]
    cmp r2, r1
    bhs 2f
    movs r0, #3
    bl bits
2:  ldr r1, =code_length_order
    ldrb r1, [r1, r2]
    ldr r3, =lengths
    strb r0, [r3, r1]
    adds r2, #1
    cmp r2, #19
    blo 1b
    ldr r0, =lengths
    movs r1, #19
    ldr r3, =dist_table
    bl construct
    movs r2, #0
code_lengths:                   @ r2: how many lengths there are
    mov r12, r2
    ldr r3, =dist_table
    bl decode
    mov r2, r12
    subs r0, #16
    bpl 1f
    movs r3, r0
    adds r3, #16                @ a length, once
    movs r0, #1
    b 3f
1:  push {r0}                   @ 16: the last length 3-6 times, 17: 0 3-10 times,
    ldr r1, =repeat_bits        @ 18: 0 11-138 times
    ldrb r0, [r1, r0]
    bl bits
    pop {r1}
    adds r0, #3
    movs r3, #0
    cmp r1, #2
    bne 2f
    adds r0, #8
2:  cmp r1, #0
    bne 3f
    cmp r2, #0
    beq far_fail
    ldr r3, =(lengths - 1)
    ldrb r3, [r3, r2]
3:  adds r0, r0, r2
    ldr r1, [sp, #8]
    cmp r0, r1
    bhi far_fail
    ldr r1, =lengths
4:  strb r3, [r1, r2]
    adds r2, #1
    cmp r2, r0
    blo 4b
    ldr r1, [sp, #8]
    cmp r2, r1
    blo code_lengths
    pop {r0, r1, r2}
    subs r2, r2, r1
tables:                         @ r1 literal and length codes, r2 distance codes
    ldr r0, =lengths
    ldr r3, =litlen_table
    bl construct
    bl fill
    adds r0, r0, r1
    movs r1, r2
    ldr r3, =dist_table
    bl construct
    b codes

code_length_order:
    .byte 16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15
repeat_bits:
    .byte 2, 3, 7
fixed_runs:
    .byte 144, 8, 112, 9, 24, 7, 8, 8, 30, 5

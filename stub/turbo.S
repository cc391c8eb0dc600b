@ The turbo flasher: a small program that the host loads into the LPC2000's RAM with the
@ boot loader's W command and starts with G. It runs the core at 4 x 14.7456 MHz, the
@ peripheral clock at the same rate and UART0 at the divisor the host put in its image,
@ and serves the binary protocol of TurboProtocol.h: blocks with a CRC-32 into RAM, as
@ they are or deflated, prepare, erase and copy through the boot ROM's IAP calls, CRC-32s
@ of flash ranges, and the start of the firmware. The serving loop is in ARM state; the
@ start-up, the go and the inflate are in Thumb state for their size. ARMv4T (ARM7TDMI):
@ no BLX, no CLZ, a POP to PC stays in Thumb.

#include "TurboProtocol.h"

@ System control block: memory accelerator, memory map, PLL, VPB divider.
#define SCB 0xE01FC000
#define MAMCR 0x000
#define MAMTIM 0x004
#define MEMMAP 0x040
#define PLLCON 0x080
#define PLLCFG 0x084
#define PLLSTAT 0x088
#define PLLFEED 0x08C
#define VPBDIV 0x100

@ UART0.
#define UART0 0xE000C000
#define RBR 0x00
#define THR 0x00
#define DLL 0x00
#define DLM 0x04
#define FCR 0x08
#define LCR 0x0C
#define LSR 0x14
#define FDR 0x28
#define LSR_RDR 0x01
#define LSR_THRE 0x20
#define LSR_TEMT 0x40
#define LCR_8N1 0x03
#define LCR_DLAB 0x80
@ The fractional divider's reset value (DIVADDVAL 0, MULVAL 1: no fraction). The /01 parts
@ have the register and a boot loader may leave another value in it; on the others the
@ address is reserved and the write changes nothing.
#define FDR_NONE 0x10
#define FCR_ON_AND_EMPTIED 0x07

@ PLLCFG: M = 4 (MSEL 3), P = 2 (PSEL 1): the CCO at 4 x 14.7456 x 2 x 2 = 235.9 MHz,
@ inside its 156 to 320 MHz.
#define PLL_CONFIG 0x23
#define PLLCON_ENABLE 1
#define PLLCON_CONNECT 3
#define PLLSTAT_LOCK 0x400
#define MEMMAP_USER_FLASH 1
@ Flash reads above 40 MHz take three clocks.
#define MAMTIM_FAST 3
#define VPBDIV_CCLK 1

@ What the flasher changes and puts back before the firmware starts, as the boot loader
@ left it, one word each: PLLCFG, PLLCON, VPBDIV, MAMCR, MAMTIM, then UART0's LCR, DLL,
@ DLM and FDR.
#define SAVED_SIZE 36

@ Registers kept across the loop: r8 the flash size the handshake gave, r9 the core's
@ clock in kHz (for the IAP calls), r10 the system control block, r11 UART0. While it hunts for a handshake, r4 to r7 hold the last
@ TURBO_HELLO_SIZE bytes received.

    .syntax unified
    .arm
    .section .text.start, "ax"
    .global _start
_start:
    b entry
divisor:
    .word TURBO_DEFAULT_DIVISOR

entry:
    msr cpsr_c, #0xD3           @ supervisor mode, IRQ and FIQ off
    ldr sp, =TURBO_STACK_TOP
    ldr r0, =setup              @ in Thumb state, for its size; it comes back to out_of_step
    bx r0

@ Until it has a handshake the flasher answers nothing but a handshake, and takes the line
@ byte by byte: whatever came before (a half request, noise of the rate switch) cannot
@ join the handshake's bytes.
out_of_step:
    bl getc
resync:                         @ r0: the first byte, no block kept
    ldr r1, =buffer_valid
    mov r5, #0
    str r5, [r1]
    mov r6, #0
    mov r7, #0
    b hunt_byte
hunt:
    bl getc
hunt_byte:
    and r4, r5, #0xFF
    mov r5, r5, lsr #8
    orr r5, r5, r6, lsl #24
    mov r6, r6, lsr #8
    orr r6, r6, r7, lsl #24
    mov r7, r7, lsr #8
    orr r7, r7, r0, lsl #24
    cmp r4, #TURBO_CMD_HELLO
    bne hunt
    @ r5: the version, r6: the flash size, r7: their check.
    ldr r1, =TURBO_SYNC
    eor r1, r1, r5
    eor r1, r1, r6
    cmp r1, r7
    bne hunt
    cmp r5, #TURBO_VERSION
    movne r0, #TURBO_ERR_VERSION
    movne r1, #TURBO_VERSION
    bne hunt_answer
    cmp r6, #TURBO_FLASH_MAX
    movhi r0, #TURBO_ERR_RANGE
    movhi r1, #TURBO_FLASH_MAX
    bhi hunt_answer
    mov r8, r6
    mov r0, #TURBO_OK
    mov r1, #TURBO_VERSION
    bl reply
    b serve
hunt_answer:
    bl reply
    b out_of_step

serve:
    bl getc
    mov r4, r0
    cmp r4, #TURBO_CMD_DATA
    beq cmd_data
    cmp r4, #TURBO_CMD_ZDATA
    beq cmd_zdata
    cmp r4, #TURBO_CMD_PREPARE
    beq cmd_prepare
    cmp r4, #TURBO_CMD_ERASE
    beq cmd_erase
    cmp r4, #TURBO_CMD_WRITE
    beq cmd_write
    cmp r4, #TURBO_CMD_CRC
    beq cmd_crc
    cmp r4, #TURBO_CMD_SUMS
    beq cmd_sums
    cmp r4, #TURBO_CMD_GO
    beq cmd_go
    cmp r4, #TURBO_CMD_HELLO
    beq resync                  @ a new handshake: hunt, its first byte taken
unknown:
    @ Out of step with the host: nothing but a new handshake is obeyed, so that the data
    @ taken for requests cannot erase or write anything.
    mov r0, #TURBO_ERR_COMMAND
    mov r1, r4
    b hunt_answer

cmd_zdata:
cmd_data:
    bl get32
    mov r5, r0                  @ length
    sub r0, r5, #4
    ldr r1, =(TURBO_BLOCK_MAX - 4)
    cmp r0, r1
    bhi bad_length              @ also below 4, through the wrap
    tst r5, #3
    bne bad_length
    ldr r2, =buffer_valid
    mov r3, #0
    str r3, [r2]
    @ A block as it is goes straight into the buffer; a deflate stream into its own.
    cmp r4, #TURBO_CMD_DATA
    ldr r6, =buffer
    addne r6, r6, #TURBO_BLOCK_MAX @ stream
    mov r7, #0
1:  bl getc
    strb r0, [r6, r7]
    add r7, r7, #1
    cmp r7, r5
    blo 1b
    bl get32
    mov r7, r0                  @ the CRC the host sent
    cmp r4, #TURBO_CMD_DATA
    beq check_block
    stmfd sp!, {r7-r11}
    add r0, r6, r5              @ the stream's end, r6 its start
    ldr r12, =inflate
    mov lr, pc
    bx r12
    ldmfd sp!, {r7-r11}
    ldr r6, =buffer
    mov r5, r1                  @ the bytes it made
    cmp r0, #TURBO_OK
    bne answer
check_block:
    mov r0, r6
    mov r1, r5
    bl crc32
    mov r1, r0
    cmp r1, r7
    movne r0, #TURBO_ERR_CRC
    moveq r0, #TURBO_OK
    ldreq r2, =buffer_valid
    streq r5, [r2]              @ a copy may take this much now
    b answer
bad_length:
    mov r0, #TURBO_ERR_LENGTH
    mov r1, r5
    b hunt_answer

cmd_prepare:
    mov r4, #TURBO_IAP_PREPARE
    b sector_command
cmd_erase:
    mov r4, #TURBO_IAP_ERASE
sector_command:
    bl get_pair                 @ first sector, last
    ldr r0, =iap_command
    stmia r0, {r4-r6, r9}       @ the clock, which erase needs and prepare ignores
    b call_iap

cmd_write:
    bl get_pair                 @ flash address, count
    mov r7, r6
    ldr r0, =buffer_valid
    ldr r0, [r0]
    cmp r7, r0
    movhi r0, #TURBO_ERR_LENGTH
    movhi r1, r7
    bhi answer
    mov r4, #TURBO_IAP_COPY
    ldr r6, =buffer
    ldr r0, =iap_command
    stmia r0, {r4-r7, r9}
@ Calls the IAP with the command table at r0 (iap_command).
call_iap:
    ldr r1, =iap_result
    ldr r12, =TURBO_IAP_ENTRY
    mov lr, pc
    bx r12
    ldr r0, =iap_result
    ldr r1, [r0]
    cmp r1, #0
    moveq r0, #TURBO_OK
    movne r0, #TURBO_ERR_IAP
    b answer

cmd_crc:
cmd_sums:
    bl get_pair                 @ flash address, length (of each range)
    mov r7, #1
    cmp r4, #TURBO_CMD_SUMS
    bne check_range
    bl get32
    movs r7, r0                 @ how many
    beq out_of_range
check_range:
    umull r0, r1, r6, r7
    cmp r1, #0
    bne out_of_range
    adds r0, r0, r5
    bcs out_of_range
    cmp r0, r8
    bhi out_of_range
1:  mov r0, r5
    mov r1, r6
    bl crc32
    mov r1, r0
    mov r0, #TURBO_OK
    bl reply
    add r5, r5, r6
    subs r7, r7, #1
    bne 1b
    b serve
out_of_range:
    mov r0, #TURBO_ERR_RANGE
    mov r1, r8
    b answer

cmd_go:
    mov r0, #TURBO_OK
    mov r1, #0
    bl reply
1:  ldrb r0, [r11, #LSR]        @ the reply leaves before the clocks change
    tst r0, #LSR_TEMT
    beq 1b
    ldr r0, =go
    bx r0

answer:
    bl reply
    b serve

@ r0: the next received byte.
getc:
    ldrb r0, [r11, #LSR]
    tst r0, #LSR_RDR
    beq getc
    ldrb r0, [r11, #RBR]
    bx lr

@ Sends the low byte of r0.
putc:
    ldrb r1, [r11, #LSR]
    tst r1, #LSR_THRE
    beq putc
    strb r0, [r11, #THR]
    bx lr

@ r0: the next four received bytes as a little-endian word.
get32:
    stmfd sp!, {r4, r5, lr}
    mov r5, #4
1:  bl getc
    mov r4, r4, lsr #8
    orr r4, r4, r0, lsl #24
    subs r5, r5, #1
    bne 1b
    mov r0, r4
    ldmfd sp!, {r4, r5, pc}

@ r5, r6: the next two received words.
get_pair:
    stmfd sp!, {lr}
    bl get32
    mov r5, r0
    bl get32
    mov r6, r0
    ldmfd sp!, {pc}

@ Sends the status in r0 and the value in r1.
reply:
    stmfd sp!, {r4, r5, lr}
    mov r4, r1
    mov r5, #4
    bl putc
1:  mov r0, r4
    bl putc
    mov r4, r4, lsr #8
    subs r5, r5, #1
    bne 1b
    ldmfd sp!, {r4, r5, pc}

@ r0: the CRC-32 of r1 bytes from address r0.
crc32:
    ldr r12, =crc_table
    mvn r2, #0
    cmp r1, #0
    beq 2f
1:  ldrb r3, [r0], #1
    eor r3, r3, r2
    and r3, r3, #0xFF
    ldr r3, [r12, r3, lsl #2]
    eor r2, r3, r2, lsr #8
    subs r1, r1, #1
    bne 1b
2:  mvn r0, r2
    bx lr


@ The inflate (Thumb), in a file of its own.
#include "inflate.S"

@ The start-up and the go, in Thumb state for their size. Registers throughout: r5 the
@ PLL's registers, r6 the system control block, r7 UART0.

    .thumb
    .thumb_func
setup:
    ldr r6, =SCB
    ldr r7, =UART0
    movs r5, #PLLCON
    adds r5, r5, r6

    @ The boot loader's reply to G is still leaving at the old rate.
1:  ldrb r0, [r7, #LSR]
    lsls r0, r0, #25            @ TEMT
    bpl 1b

    @ What the boot loader left, for the go, in the order of saved_state.
    ldr r3, =saved_state
    ldr r0, [r5, #(PLLCFG - PLLCON)]
    ldr r1, [r5, #0]
    movs r2, #(VPBDIV - PLLCON)
    ldr r2, [r5, r2]
    stmia r3!, {r0-r2}
    ldr r0, [r6, #MAMCR]
    ldr r1, [r6, #MAMTIM]
    ldrb r2, [r7, #LCR]
    stmia r3!, {r0-r2}
    movs r0, #LCR_DLAB
    orrs r0, r2
    strb r0, [r7, #LCR]
    ldrb r0, [r7, #DLL]
    ldrb r1, [r7, #DLM]
    strb r2, [r7, #LCR]
    movs r2, #FDR
    ldrb r2, [r7, r2]
    stmia r3!, {r0-r2}

    @ PLL: configure, enable, wait for the lock, connect; each change takes effect on the
    @ feed sequence. A PLL that does not lock is left off and the flasher runs on the
    @ crystal, its UART at a quarter of the divisor for the same rate.
    ldr r4, =divisor
    ldr r4, [r4]
    ldr r3, =TURBO_CRYSTAL_KHZ
    movs r0, #PLL_CONFIG
    str r0, [r5, #(PLLCFG - PLLCON)]
    movs r0, #PLLCON_ENABLE
    bl feed
    ldr r1, =TURBO_PLL_LOCK_POLLS
2:  ldr r0, [r5, #(PLLSTAT - PLLCON)]
    lsls r0, r0, #21            @ PLOCK
    bmi 3f
    subs r1, #1
    bne 2b
    movs r0, #0
    bl feed
    lsrs r4, r4, #2
    bne 4f
    movs r4, #1
    b 4f
3:  movs r0, #0
    str r0, [r6, #MAMCR]
    movs r0, #MAMTIM_FAST
    str r0, [r6, #MAMTIM]
    movs r0, #PLLCON_CONNECT
    bl feed
    ldr r3, =TURBO_CCLK_KHZ
4:  mov r9, r3
    movs r0, #VPBDIV_CCLK
    movs r1, #(VPBDIV - PLLCON)
    str r0, [r5, r1]
    movs r0, #MEMMAP_USER_FLASH
    str r0, [r6, #MEMMAP]

    @ UART0: 8N1 at the divisor, no fraction, FIFOs on and emptied.
    movs r0, #(LCR_DLAB | LCR_8N1)
    strb r0, [r7, #LCR]
    strb r4, [r7, #DLL]
    lsrs r1, r4, #8
    strb r1, [r7, #DLM]
    movs r0, #FDR_NONE
    movs r1, #FDR
    strb r0, [r7, r1]
    movs r0, #LCR_8N1
    strb r0, [r7, #LCR]
    movs r0, #FCR_ON_AND_EMPTIED
    strb r0, [r7, #FCR]

    @ The reflected CRC-32 (polynomial 0xEDB88320) table, one word per byte value.
    ldr r0, =crc_table
    ldr r3, =0xEDB88320
    movs r1, #0
5:  movs r2, r1
    movs r4, #8
6:  lsrs r2, r2, #1
    bcc 7f
    eors r2, r3
7:  subs r4, #1
    bne 6b
    stmia r0!, {r2}
    adds r1, #1
    cmp r1, #255
    bls 5b

    mov r10, r6
    mov r11, r7
    ldr r0, =out_of_step
    bx r0

@ The firmware starts with the clocks and UART0 as the boot loader left them, as after the
@ boot loader's own G, and the user flash mapped at 0.
    .thumb_func
go:
    mov r6, r10
    mov r7, r11
    movs r5, #PLLCON
    adds r5, r5, r6
    movs r0, #PLLCON_ENABLE     @ disconnected first, then as it was
    bl feed
    ldr r4, =saved_state
    ldmia r4!, {r0-r3}          @ PLLCFG, PLLCON, VPBDIV, MAMCR
    str r0, [r5, #(PLLCFG - PLLCON)]
    movs r0, #PLLCON_ENABLE     @ connecting would need the lock first
    ands r0, r1
    bl feed
    movs r0, #(VPBDIV - PLLCON)
    str r2, [r5, r0]
    movs r0, #0                 @ the timing changes with the accelerator off
    str r0, [r6, #MAMCR]
    ldmia r4!, {r0-r2}          @ MAMTIM, LCR, DLL
    str r0, [r6, #MAMTIM]
    str r3, [r6, #MAMCR]
    movs r0, #(LCR_DLAB | LCR_8N1)
    strb r0, [r7, #LCR]
    strb r2, [r7, #DLL]
    ldmia r4!, {r2, r3}         @ DLM, FDR
    strb r2, [r7, #DLM]
    movs r0, #FDR
    strb r3, [r7, r0]
    strb r1, [r7, #LCR]
    movs r0, #MEMMAP_USER_FLASH
    str r0, [r6, #MEMMAP]
    movs r0, #0
    bx r0

@ r0: PLLCON's new value, which takes effect with the feed sequence. Changes r0.
feed:
    str r0, [r5, #0]
    movs r0, #0xAA
    str r0, [r5, #(PLLFEED - PLLCON)]
    movs r0, #0x55
    str r0, [r5, #(PLLFEED - PLLCON)]
    bx lr

    .balign 4
    .arm
    .ltorg

    .bss
    .balign 4
iap_command:
    .space 20
iap_result:
    .space (4 * TURBO_IAP_RESULT_WORDS)
saved_state:
    .space SAVED_SIZE
buffer_valid:
    .space 4
crc_table:
    .space 1024
buffer:
    .space TURBO_BLOCK_MAX
@ A compressed block as it came, and the inflate's code lengths and tables.
stream:
    .space TURBO_BLOCK_MAX
lengths:
    .space 320
    .balign 32
litlen_table:
    .space (32 + 2 * 288)
    .balign 32
dist_table:
    .space (32 + 2 * 32)
    .balign 4
fast_table:
    .space (2 << FAST_BITS)

@ The turbo flasher: a small program that the host loads into the LPC2000's RAM with the
@ boot loader's W command and starts with G. It runs the core at 4 x 14.7456 MHz, the
@ peripheral clock at the same rate and UART0 at 921600 baud, and serves the binary
@ protocol of TurboProtocol.h: blocks with a CRC-32 into RAM, prepare, erase and copy
@ through the boot ROM's IAP calls, CRC-32 of a flash range, and the start of the
@ firmware. ARM state, ARMv4T (ARM7TDMI): no BLX, no CLZ.

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
#define LSR_RDR 0x01
#define LSR_THRE 0x20
#define LSR_TEMT 0x40

@ PLLCFG: M = 4 (MSEL 3), P = 2 (PSEL 1): the CCO at 4 x 14.7456 x 2 x 2 = 235.9 MHz,
@ inside its 156 to 320 MHz.
#define PLL_CONFIG 0x23
#define PLLCON_ENABLE 1
#define PLLCON_CONNECT 3
#define PLLSTAT_LOCK 0x400
#define MEMMAP_USER_FLASH 1
@ Flash reads above 40 MHz take three clocks; seven is the value after reset.
#define MAMTIM_FAST 3
#define MAMTIM_RESET 7
#define VPBDIV_CCLK 1
#define VPBDIV_RESET 0

@ The parts this device is built with, by their IAP part id, and their user flash.
#define PART_512K 0x0002FF25
#define PART_256K 0x0002FF23
#define FLASH_512K 512000
#define FLASH_256K 262144

@ Registers kept across the loop: r8 the flash size, r9 1 after a good handshake, r10
@ the system control block, r11 UART0.

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
    ldr r10, =SCB
    ldr r11, =UART0

    @ The boot loader's reply to G is still leaving at the old rate.
1:  ldrb r0, [r11, #LSR]
    tst r0, #LSR_TEMT
    beq 1b

    @ PLL: configure, enable, wait for the lock, connect; each change takes effect on the
    @ feed sequence.
    mov r0, #PLL_CONFIG
    str r0, [r10, #PLLCFG]
    mov r0, #PLLCON_ENABLE
    str r0, [r10, #PLLCON]
    bl feed
2:  ldr r0, [r10, #PLLSTAT]
    tst r0, #PLLSTAT_LOCK
    beq 2b
    mov r0, #0
    str r0, [r10, #MAMCR]
    mov r0, #MAMTIM_FAST
    str r0, [r10, #MAMTIM]
    mov r0, #PLLCON_CONNECT
    str r0, [r10, #PLLCON]
    bl feed
    mov r0, #VPBDIV_CCLK
    str r0, [r10, #VPBDIV]
    mov r0, #MEMMAP_USER_FLASH
    str r0, [r10, #MEMMAP]

    @ UART0: 8N1 at the divisor in the image's header, FIFOs on and emptied.
    ldr r1, divisor
    mov r0, #0x83               @ 8 bits, divisor latches reachable
    strb r0, [r11, #LCR]
    strb r1, [r11, #DLL]
    mov r1, r1, lsr #8
    strb r1, [r11, #DLM]
    mov r0, #0x03
    strb r0, [r11, #LCR]
    mov r0, #0x07
    strb r0, [r11, #FCR]

    bl make_crc_table

    @ The part decides which flash ranges the CRC may read.
    ldr r0, =iap_command
    mov r1, #TURBO_IAP_PART_ID
    str r1, [r0]
    bl iap
    ldr r1, [r0, #4]            @ r0: the result table
    mov r8, #0
    ldr r2, =PART_512K
    cmp r1, r2
    ldreq r8, =FLASH_512K
    ldr r2, =PART_256K
    cmp r1, r2
    ldreq r8, =FLASH_256K
    mov r9, #0
    ldr r0, =buffer_valid
    mov r1, #0
    str r1, [r0]

serve:
    bl getc
    mov r4, r0
    cmp r4, #TURBO_CMD_HELLO
    beq cmd_hello
    cmp r4, #TURBO_CMD_DATA
    beq cmd_data
    cmp r4, #TURBO_CMD_PREPARE
    beq cmd_prepare
    cmp r4, #TURBO_CMD_ERASE
    beq cmd_erase
    cmp r4, #TURBO_CMD_WRITE
    beq cmd_write
    cmp r4, #TURBO_CMD_CRC
    beq cmd_crc
    cmp r4, #TURBO_CMD_GO
    beq cmd_go
    @ Out of step with the host: nothing but a new handshake is obeyed, so that the data
    @ taken for requests cannot erase or write anything.
    mov r9, #0
    mov r0, #TURBO_ERR_COMMAND
    mov r1, r4
    b answer

cmd_hello:
    bl get32
    mov r1, #TURBO_VERSION
    cmp r0, #TURBO_VERSION
    moveq r9, #1
    moveq r0, #TURBO_OK
    movne r9, #0
    movne r0, #TURBO_ERR_VERSION
    b answer

cmd_data:
    bl get32
    mov r5, r0                  @ length
    sub r0, r5, #4
    ldr r1, =(TURBO_BLOCK_MAX - 4)
    cmp r0, r1
    bhi bad_length              @ also below 4, through the wrap
    tst r5, #3
    bne bad_length
    ldr r6, =buffer
    mov r7, #0
1:  bl getc
    strb r0, [r6, r7]
    add r7, r7, #1
    cmp r7, r5
    blo 1b
    bl get32
    mov r7, r0                  @ the CRC the host sent
    mov r0, r6
    mov r1, r5
    bl crc32
    mov r1, r0
    ldr r2, =buffer_valid
    mov r3, #0
    str r3, [r2]
    cmp r9, #0
    moveq r0, #TURBO_ERR_HANDSHAKE
    beq answer
    cmp r1, r7
    movne r0, #TURBO_ERR_CRC
    bne answer
    str r5, [r2]                @ a copy may take this much now
    mov r0, #TURBO_OK
    b answer
bad_length:
    mov r9, #0                  @ out of step, as after an unknown command
    mov r0, #TURBO_ERR_LENGTH
    mov r1, r5
    b answer

cmd_prepare:
    mov r4, #TURBO_IAP_PREPARE
    b sector_command
cmd_erase:
    mov r4, #TURBO_IAP_ERASE
sector_command:
    bl get32
    mov r5, r0
    bl get32
    mov r6, r0
    cmp r9, #0
    beq no_handshake
    ldr r0, =iap_command
    ldr r1, =TURBO_CCLK_KHZ
    stmia r0, {r4, r5, r6}
    str r1, [r0, #12]           @ the clock, which erase needs and prepare ignores
    b call_iap

cmd_write:
    bl get32
    mov r5, r0                  @ flash address
    bl get32
    mov r6, r0                  @ count
    cmp r9, #0
    beq no_handshake
    ldr r0, =buffer_valid
    ldr r0, [r0]
    cmp r6, r0
    movhi r0, #TURBO_ERR_LENGTH
    movhi r1, r6
    bhi answer
    ldr r0, =iap_command
    mov r4, #TURBO_IAP_COPY
    ldr r7, =buffer
    ldr r1, =TURBO_CCLK_KHZ
    stmia r0, {r4, r5, r7}
    str r6, [r0, #12]
    str r1, [r0, #16]
call_iap:
    bl iap
    ldr r1, [r0]
    cmp r1, #0
    moveq r0, #TURBO_OK
    movne r0, #TURBO_ERR_IAP
    b answer

cmd_crc:
    bl get32
    mov r5, r0                  @ flash address
    bl get32
    mov r6, r0                  @ length
    cmp r9, #0
    beq no_handshake
    adds r0, r5, r6
    bcs out_of_range
    cmp r0, r8
    bhi out_of_range
    mov r0, r5
    mov r1, r6
    bl crc32
    mov r1, r0
    mov r0, #TURBO_OK
    b answer
out_of_range:
    mov r0, #TURBO_ERR_RANGE
    mov r1, r8
    b answer

cmd_go:
    cmp r9, #0
    beq no_handshake
    mov r0, #TURBO_OK
    mov r1, #0
    bl reply
1:  ldrb r0, [r11, #LSR]        @ the reply leaves before the clocks change
    tst r0, #LSR_TEMT
    beq 1b
    @ The firmware starts on the crystal, as it does from the boot loader.
    mov r0, #0
    str r0, [r10, #PLLCON]
    bl feed
    mov r0, #VPBDIV_RESET
    str r0, [r10, #VPBDIV]
    mov r0, #MAMTIM_RESET
    str r0, [r10, #MAMTIM]
    mov r0, #MEMMAP_USER_FLASH
    str r0, [r10, #MEMMAP]
    mov r0, #0
    bx r0

no_handshake:
    mov r0, #TURBO_ERR_HANDSHAKE
    mov r1, #0
answer:
    bl reply
    b serve

@ The PLL's feed sequence.
feed:
    mov r0, #0xAA
    str r0, [r10, #PLLFEED]
    mov r0, #0x55
    str r0, [r10, #PLLFEED]
    bx lr

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
    mov r4, #0
    mov r5, #0
1:  bl getc
    orr r4, r4, r0, lsl r5
    add r5, r5, #8
    cmp r5, #32
    blo 1b
    mov r0, r4
    ldmfd sp!, {r4, r5, lr}
    bx lr

@ Sends the status in r0 and the value in r1.
reply:
    stmfd sp!, {r4, lr}
    mov r4, r1
    bl putc
    mov r0, r4
    bl putc
    mov r0, r4, lsr #8
    bl putc
    mov r0, r4, lsr #16
    bl putc
    mov r0, r4, lsr #24
    bl putc
    ldmfd sp!, {r4, lr}
    bx lr

@ Calls the IAP with the command table at iap_command; r0: the result table.
iap:
    stmfd sp!, {lr}
    ldr r0, =iap_command
    ldr r1, =iap_result
    ldr r12, =TURBO_IAP_ENTRY
    mov lr, pc
    bx r12
    ldr r0, =iap_result
    ldmfd sp!, {lr}
    bx lr

@ The reflected CRC-32 (polynomial 0xEDB88320) table, one word per byte value.
make_crc_table:
    ldr r0, =crc_table
    ldr r3, =0xEDB88320
    mov r1, #0
1:  mov r2, r1
    mov r12, #8
2:  movs r2, r2, lsr #1
    eorcs r2, r2, r3
    subs r12, r12, #1
    bne 2b
    str r2, [r0, r1, lsl #2]
    add r1, r1, #1
    cmp r1, #256
    blo 1b
    bx lr

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

    .ltorg

    .bss
    .balign 4
iap_command:
    .space 20
iap_result:
    .space 16
buffer_valid:
    .space 4
crc_table:
    .space 1024
buffer:
    .space TURBO_BLOCK_MAX

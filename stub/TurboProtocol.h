/*
 * The turbo flasher's protocol: the one place its numbers are written down. The flasher
 * (turbo.S, through the C preprocessor) and the host both read them from here; the
 * protocol itself is described in docs/turbo-protocol.md.
 *
 * All integers on the line are little-endian. A request is one command byte and its
 * 32-bit arguments; every reply is five bytes: a status byte and a 32-bit value.
 */
#pragma once

/* The protocol's version: the handshake's argument, and what the flasher answers. */
#define TURBO_VERSION 3
/* The handshake: command byte, version, the part's user flash size, and a check word:
 * version XOR flash size XOR TURBO_SYNC. Until the flasher has a handshake it takes the
 * line as a stream of bytes and looks for one in every 13 that arrive in a row, so that
 * bytes lost or garbled around the switch of rates cannot pair a stale half-request with
 * a new one: a window with a stale byte fails the check. */
#define TURBO_SYNC 0x5A3CC3A5
#define TURBO_HELLO_SIZE 13
/* The largest user flash the handshake may give (the LPC2000's 512 KB map). */
#define TURBO_FLASH_MAX 0x80000

/* Where the flasher runs: the first RAM above the boot loader's variables (0x40000120 to
 * 0x400001FF), loaded by W and started by G in ARM mode. Its stack ends below the top
 * 256 + 32 bytes of RAM, which the boot loader's stack and the IAP calls use. */
#define TURBO_LOAD_ADDRESS 0x40000200
#define TURBO_STACK_TOP 0x40007EE0
/* The flasher's own stack below TURBO_STACK_TOP; its code and data stay below that. An
 * IAP call takes up to 128 bytes of the caller's stack below its stack pointer. */
#define TURBO_STACK_SIZE 0x400
/* The largest image the host loads: code and constants (its buffers are not loaded). */
#define TURBO_IMAGE_MAX 2048
/* The word at this offset of the image is the UART divisor at the flasher's peripheral
 * clock (4 x 14.7456 MHz); the host may patch it before W. 4 gives 921600 baud. */
#define TURBO_DIVISOR_OFFSET 4
#define TURBO_DEFAULT_DIVISOR 4
#define TURBO_PCLK_HZ 58982400
#define TURBO_CCLK_KHZ 58982
/* A PLL that has not locked after this many polls of PLLSTAT (about 0.1 s at the crystal's
 * clock, within the host's tries of the handshake; the PLL locks within 0.1 ms) is left off:
 * the flasher runs on the crystal, with a quarter of the divisor for the same rate. */
#define TURBO_PLL_LOCK_POLLS 100000
#define TURBO_CRYSTAL_KHZ 14746
/* The largest block a data request carries, and the IAP copy's largest size. */
#define TURBO_BLOCK_MAX 4096

/* Requests: the command byte, then the arguments. */
#define TURBO_CMD_HELLO 0x48   /* 'H' version, flash size, check -> value: flasher's version */
#define TURBO_CMD_DATA 0x44    /* 'D' length, bytes, CRC-32    -> value: CRC-32 received */
#define TURBO_CMD_ZDATA 0x5A   /* 'Z' length, deflate, CRC-32  -> value: CRC-32 inflated */
#define TURBO_CMD_PREPARE 0x50 /* 'P' first sector, last       -> value: IAP status */
#define TURBO_CMD_ERASE 0x45   /* 'E' first sector, last       -> value: IAP status */
#define TURBO_CMD_WRITE 0x57   /* 'W' flash address, count     -> value: IAP status */
#define TURBO_CMD_CRC 0x43     /* 'C' flash address, length    -> value: CRC-32 of the range */
#define TURBO_CMD_SUMS                                                                             \
    0x53                  /* 'S' flash address, length, count -> count replies, each               \
                             the CRC-32 of the next length bytes */
#define TURBO_CMD_GO 0x47 /* 'G'                          -> value: 0, then user code */
/* Z's stream is raw deflate (RFC 1951) padded with zeros to its length, which follows D's
 * rules; its CRC-32 is the inflated block's. */

/* Reply statuses. */
#define TURBO_OK 0
#define TURBO_ERR_COMMAND 1 /* unknown command byte (handshake needed again); value: the byte */
#define TURBO_ERR_VERSION 2 /* handshake with another version; value: the flasher's */
/* 3 was "a command before the handshake": the flasher now ignores everything but a
 * handshake until it has one. */
/* A data length not a multiple of 4 from 4 to 4096, or a copy longer than the valid
 * data; value: the length. A refused data length leaves the stream out of step: the
 * bytes that follow are taken as requests, and only a new handshake is obeyed. */
#define TURBO_ERR_LENGTH 4
#define TURBO_ERR_CRC 5   /* the block's CRC-32 did not match; value: the CRC received */
#define TURBO_ERR_IAP 6   /* the IAP call failed; value: its status code */
#define TURBO_ERR_RANGE 7 /* CRC range outside the part's flash; value: the flash size */
/* A deflate stream the flasher cannot inflate into a block; value: the bytes it made. */
#define TURBO_ERR_STREAM 8

/* The boot ROM's IAP entry (Thumb) and the commands the flasher calls. */
#define TURBO_IAP_ENTRY 0x7FFFFFF1
#define TURBO_IAP_PREPARE 50
#define TURBO_IAP_COPY 51
#define TURBO_IAP_ERASE 52
/* The words of the IAP's result table that the boot ROM may write. */
#define TURBO_IAP_RESULT_WORDS 5

#ifndef __ASSEMBLER__
#include <array>
#include <cstdint>

namespace sparwick::turbo {

inline constexpr std::uint32_t version = TURBO_VERSION;
// The handshake's check word.
inline constexpr std::uint32_t helloCheck(std::uint32_t flasherVersion, std::uint32_t flashSize) {
    return flasherVersion ^ flashSize ^ TURBO_SYNC;
}
inline constexpr std::uint32_t loadAddress = TURBO_LOAD_ADDRESS;
inline constexpr std::uint32_t divisorOffset = TURBO_DIVISOR_OFFSET;
inline constexpr std::uint32_t defaultDivisor = TURBO_DEFAULT_DIVISOR;
inline constexpr std::uint32_t peripheralClockHz = TURBO_PCLK_HZ;
inline constexpr std::uint32_t replySize = 5;
inline constexpr std::uint32_t rateOf(std::uint32_t divisor) {
    return peripheralClockHz / (16 * divisor);
}
// The flasher's rate unless the host asks for another.
inline constexpr std::uint32_t defaultBaud = rateOf(defaultDivisor);
// The rates the flasher's UART reaches exactly at that clock (a whole divisor), from the
// boot loader's own high speed up: what --baud offers with --turbo.
inline constexpr std::array<std::uint32_t, 4> lineRates = {rateOf(32), rateOf(16), rateOf(8),
                                                           defaultBaud};

enum class Command : std::uint8_t {
    hello = TURBO_CMD_HELLO,
    data = TURBO_CMD_DATA,
    compressedData = TURBO_CMD_ZDATA,
    prepare = TURBO_CMD_PREPARE,
    erase = TURBO_CMD_ERASE,
    write = TURBO_CMD_WRITE,
    crc = TURBO_CMD_CRC,
    sums = TURBO_CMD_SUMS,
    go = TURBO_CMD_GO,
};

enum class Status : std::uint8_t {
    ok = TURBO_OK,
    unknownCommand = TURBO_ERR_COMMAND,
    wrongVersion = TURBO_ERR_VERSION,
    badLength = TURBO_ERR_LENGTH,
    badCrc = TURBO_ERR_CRC,
    iapFailed = TURBO_ERR_IAP,
    outOfRange = TURBO_ERR_RANGE,
    badStream = TURBO_ERR_STREAM,
};

} // namespace sparwick::turbo
#endif

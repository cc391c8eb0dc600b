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
#define TURBO_VERSION 1

/* Where the flasher runs: the first RAM above the boot loader's variables (0x40000120 to
 * 0x400001FF), loaded by W and started by G in ARM mode. Its stack ends below the top
 * 256 + 32 bytes of RAM, which the boot loader's stack and the IAP calls use. */
#define TURBO_LOAD_ADDRESS 0x40000200
#define TURBO_STACK_TOP 0x40007EE0
/* The word at this offset of the image is the UART divisor at the flasher's peripheral
 * clock (4 x 14.7456 MHz); the host may patch it before W. 4 gives 921600 baud. */
#define TURBO_DIVISOR_OFFSET 4
#define TURBO_DEFAULT_DIVISOR 4
#define TURBO_PCLK_HZ 58982400
#define TURBO_CCLK_KHZ 58982
/* The largest block a data request carries, and the IAP copy's largest size. */
#define TURBO_BLOCK_MAX 4096

/* Requests: the command byte, then the arguments. */
#define TURBO_CMD_HELLO 0x48   /* 'H' version                  -> value: flasher's version */
#define TURBO_CMD_DATA 0x44    /* 'D' length, bytes, CRC-32    -> value: CRC-32 received */
#define TURBO_CMD_PREPARE 0x50 /* 'P' first sector, last       -> value: IAP status */
#define TURBO_CMD_ERASE 0x45   /* 'E' first sector, last       -> value: IAP status */
#define TURBO_CMD_WRITE 0x57   /* 'W' flash address, count     -> value: IAP status */
#define TURBO_CMD_CRC 0x43     /* 'C' flash address, length    -> value: CRC-32 of the range */
#define TURBO_CMD_GO 0x47      /* 'G'                          -> value: 0, then user code */

/* Reply statuses. */
#define TURBO_OK 0
#define TURBO_ERR_COMMAND 1   /* unknown command byte (handshake needed again); value: the byte */
#define TURBO_ERR_VERSION 2   /* handshake with another version; value: the flasher's */
#define TURBO_ERR_HANDSHAKE 3 /* a command before a successful handshake */
/* A data length not a multiple of 4 from 4 to 4096, or a copy longer than the valid
 * data; value: the length. A refused data length leaves the stream out of step: the
 * bytes that follow are taken as requests, and only a new handshake is obeyed. */
#define TURBO_ERR_LENGTH 4
#define TURBO_ERR_CRC 5   /* the block's CRC-32 did not match; value: the CRC received */
#define TURBO_ERR_IAP 6   /* the IAP call failed; value: its status code */
#define TURBO_ERR_RANGE 7 /* CRC range outside the part's flash */

/* The boot ROM's IAP entry (Thumb) and the commands the flasher calls. */
#define TURBO_IAP_ENTRY 0x7FFFFFF1
#define TURBO_IAP_PREPARE 50
#define TURBO_IAP_COPY 51
#define TURBO_IAP_ERASE 52
#define TURBO_IAP_PART_ID 54

#ifndef __ASSEMBLER__
#include <array>
#include <cstdint>

namespace sparwick::turbo {

inline constexpr std::uint32_t version = TURBO_VERSION;
inline constexpr std::uint32_t loadAddress = TURBO_LOAD_ADDRESS;
inline constexpr std::uint32_t divisorOffset = TURBO_DIVISOR_OFFSET;
inline constexpr std::uint32_t defaultDivisor = TURBO_DEFAULT_DIVISOR;
inline constexpr std::uint32_t peripheralClockHz = TURBO_PCLK_HZ;
inline constexpr std::uint32_t blockMax = TURBO_BLOCK_MAX;
inline constexpr std::uint32_t replySize = 5;
// The rates the flasher's UART reaches exactly at that clock (a whole divisor), from the
// boot loader's own high speed up: what --baud offers with --turbo.
inline constexpr std::array<std::uint32_t, 4> lineRates = {115200, 230400, 460800, 921600};

enum class Command : std::uint8_t {
    hello = TURBO_CMD_HELLO,
    data = TURBO_CMD_DATA,
    prepare = TURBO_CMD_PREPARE,
    erase = TURBO_CMD_ERASE,
    write = TURBO_CMD_WRITE,
    crc = TURBO_CMD_CRC,
    go = TURBO_CMD_GO,
};

enum class Status : std::uint8_t {
    ok = TURBO_OK,
    unknownCommand = TURBO_ERR_COMMAND,
    wrongVersion = TURBO_ERR_VERSION,
    noHandshake = TURBO_ERR_HANDSHAKE,
    badLength = TURBO_ERR_LENGTH,
    badCrc = TURBO_ERR_CRC,
    iapFailed = TURBO_ERR_IAP,
    outOfRange = TURBO_ERR_RANGE,
};

} // namespace sparwick::turbo
#endif

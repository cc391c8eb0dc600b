#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

// What the LPC2000 boot loader says and expects, from the device's side of the line.
// Nothing here is shared with the host: the device is written from the manuals.
namespace sparwick::sim::isp {

// Autobaud: the host sends the sync character, the device answers with the sync word,
// the host repeats it and then gives the crystal frequency in kHz.
inline constexpr char syncCharacter = '?';
inline constexpr std::string_view syncWord = "Synchronized";
inline constexpr std::string_view okWord = "OK";
inline constexpr std::string_view resendWord = "RESEND";
inline constexpr std::string_view lineEnd = "\r\n";
// Crystal frequencies that the boot loader's timing set-up accepts, in kHz.
inline constexpr std::uint32_t minCrystalKHz = 1000;
inline constexpr std::uint32_t maxCrystalKHz = 50000;

inline constexpr std::uint32_t unlockCode = 23130;

// Control characters: ESC abandons the command in progress; XOFF and XON are the
// software flow control in both directions.
inline constexpr char escape = 0x1B;
inline constexpr char xon = 0x11;
inline constexpr char xoff = 0x13;

// Command letters.
inline constexpr char unlockCommand = 'U';
inline constexpr char baudCommand = 'B';
inline constexpr char echoCommand = 'A';
inline constexpr char writeCommand = 'W';
inline constexpr char readCommand = 'R';
inline constexpr char prepareCommand = 'P';
inline constexpr char copyCommand = 'C';
inline constexpr char goCommand = 'G';
inline constexpr char eraseCommand = 'E';
inline constexpr char blankCheckCommand = 'I';
inline constexpr char partIdCommand = 'J';
inline constexpr char bootVersionCommand = 'K';
inline constexpr char compareCommand = 'M';
inline constexpr char armMode = 'A';
inline constexpr char thumbMode = 'T';

// The rates the autobaud locks to, and B sets, with the 14.7456 MHz crystal: those whose
// UART divisor comes out whole, down to the divisor of 4 at 230400.
inline constexpr std::array<std::uint32_t, 6> baudRates = {9600,  19200,  38400,
                                                           57600, 115200, 230400};
inline constexpr std::array<std::uint32_t, 2> stopBits = {1, 2};
// The UART's frame: a start bit and eight data bits, no parity, then the stop bits (one
// from power-on until B sets two).
inline constexpr std::uint32_t startBits = 1;
inline constexpr std::uint32_t dataBits = 8;
inline constexpr std::uint32_t powerOnStopBits = 1;
// The depth of the LPC2000 UART's receive and transmit FIFOs.
inline constexpr std::size_t uartFifoSize = 16;
inline constexpr std::array<std::uint32_t, 4> copySizes = {256, 512, 1024, 4096};
inline constexpr std::uint32_t copyFlashAlignment = 256;
inline constexpr std::uint32_t wordSize = 4;

// Uuencoded transfers: at most 45 data bytes a line, a checksum line after every 20
// data lines and after the last one.
inline constexpr std::size_t bytesPerLine = 45;
inline constexpr std::size_t linesPerChecksum = 20;
// The boot loader's line buffer; longer lines are cut there.
inline constexpr std::size_t maxLineLength = 128;

// Boot code version 2.12, sent minor byte first, as the manuals' K command describes it:
// <byte0 (minor)> then <byte1 (major)>, each on a line of its own.
inline constexpr std::uint32_t bootCodeMinor = 12;
inline constexpr std::uint32_t bootCodeMajor = 2;

// On-chip RAM, and the parts of it that the boot loader uses for itself: its variables,
// its stack (256 bytes below the top 32) and the top 32 bytes, which the flash
// programming commands use. What a host writes there does not survive.
inline constexpr std::uint32_t ramBase = 0x40000000;
inline constexpr std::uint32_t ramSize = 32 * 1024;
inline constexpr std::uint32_t ispVariablesBegin = 0x40000120;
inline constexpr std::uint32_t ispVariablesEnd = 0x40000200;
inline constexpr std::uint32_t flashScratchSize = 32;
inline constexpr std::uint32_t ispStackSize = 256;

// Code read protection: the word at this flash address, read at every reset, names the
// level. At level 1 and 2 the boot loader refuses some commands with status 19; at level 3
// it is not entered by P0.14 at all while the flash holds valid code.
inline constexpr std::uint32_t crpWordAddress = 0x1FC;
inline constexpr std::array<std::uint32_t, 3> crpWords = {0x12345678, 0x87654321, 0x43218765};
// At level 1, W may not reach below this address (the boot loader's variables and below).
inline constexpr std::uint32_t crpLowestRamWrite = 0x40000200;

// The vector table at flash address 0: eight words that sum to 0 mark valid user code.
inline constexpr std::size_t vectorWords = 8;
// In ISP mode the boot block's own vectors are mapped over the first 64 bytes of flash,
// so R and M read them there: seven "LDR PC, [PC, #0x18]" and word 5 that makes the
// eight sum to 0, then the handler addresses in the boot block that they load.
inline constexpr std::uint32_t bootVectorBytes = 64;
inline constexpr std::array<std::uint32_t, bootVectorBytes / 4> bootVectors = {
    0xE59FF018, 0xE59FF018, 0xE59FF018, 0xE59FF018, 0xE59FF018, 0xB8A06F58, 0xE59FF018, 0xE59FF018,
    0x7FFFE040, 0x7FFFE0A0, 0x7FFFE0B0, 0x7FFFE0C0, 0x7FFFE0D0, 0x00000000, 0x7FFFE0E0, 0x7FFFE0F0,
};

// How long the flash takes, when the line's timing is emulated: an erase, of one sector
// or many, and programming one 256-byte row.
inline constexpr std::chrono::milliseconds eraseTime{400};
inline constexpr std::chrono::microseconds programTimePerRow{1000};
inline constexpr std::uint32_t programRowSize = 256;

// A line ended by CR alone is taken as complete when no LF follows within this time (or
// within two byte times on a slow line).
inline constexpr std::chrono::milliseconds lineFeedWait{20};

// The bit a corrupt fault flips in the byte in the middle of a copy's flash.
inline constexpr std::uint8_t corruptedBit = 0x01;
// The bit a garble fault flips in the first byte of a reply (or the last of its echo).
inline constexpr char garbledBit = 0x01;

// Command lines are counted by letter, A to Z.
inline constexpr std::size_t commandLetters = 26;

} // namespace sparwick::sim::isp

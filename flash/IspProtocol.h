#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The LPC2000 ISP conversation as this host speaks it: every line it sends and every
// reply it expects, byte for byte. Each literal is a C string literal, so data() is
// zero-terminated. Echoed replies begin with the line just sent: the boot loader echoes
// until "A 0", and echoes that line too.
namespace sparwick::isp {

inline constexpr std::string_view syncRequest = "?";
inline constexpr std::string_view syncReply = "Synchronized\r\n";
inline constexpr std::string_view syncWord = "Synchronized\r\n";
inline constexpr std::string_view syncWordReply = "Synchronized\r\nOK\r\n";
// The crystal frequency in kHz: 14.746 MHz.
inline constexpr std::string_view crystal = "14746\r\n";
inline constexpr std::string_view crystalReply = "14746\r\nOK\r\n";
inline constexpr std::string_view echoOff = "A 0\r\n";
inline constexpr std::string_view echoOffReply = "A 0\r\n0\r\n";
// 23130 is the protocol's unlock code.
inline constexpr std::string_view unlock = "U 23130\r\n";
inline constexpr std::string_view readPartId = "J\r\n";
inline constexpr std::string_view success = "0\r\n"; // CMD_SUCCESS
// CODE_READ_PROTECTION_ENABLED: the part's protection forbids the command.
inline constexpr std::string_view protectionRefusal = "19\r\n";
inline constexpr std::string_view checksumAccepted = "OK\r\n";
// The device's answer to a checksum that does not match the lines it received: send the
// same lines again. It is longer than "OK\r\n"; a reply that begins with its first
// checksumAccepted.size() bytes is read to its end.
inline constexpr std::string_view checksumRefused = "RESEND\r\n";

inline constexpr std::string_view lineEnd = "\r\n";
inline constexpr char prepareLetter = 'P';
inline constexpr char eraseLetter = 'E';
inline constexpr char blankCheckLetter = 'I';
inline constexpr std::string_view writeToRamCommand = "W ";
inline constexpr std::string_view copyCommand = "C ";
inline constexpr std::string_view goCommand = "G ";
inline constexpr std::string_view armModeSuffix = " A\r\n";

// The boot code version: "K\r\n" is answered with the status, then the minor and the
// major version number, each on a line of its own.
inline constexpr std::string_view readBootCode = "K\r\n";
// The longest such reply: a status and two numbers of up to three digits.
inline constexpr std::int32_t bootCodeReplyMaxLength = 13;

// A station waiting for its next board sends "?" this often, until one answers.
inline constexpr std::uint32_t probeIntervalMs = 500;
// The rates the boot loader's autobaud locks to with this device's 14.7456 MHz crystal:
// those the UART's divisor makes exactly, up to the highest, whose divisor of 4 is the
// least the autobaud works with.
inline constexpr std::array<std::uint32_t, 6> autobaudRates = {9600,  19200,  38400,
                                                               57600, 115200, 230400};

// Every reply is awaited this long in all.
inline constexpr std::uint32_t replyTimeoutMs = 1000;
// Before "?": wait this long, then discard whatever is pending.
inline constexpr std::uint32_t purgeDelayMs = 1;
// Resets into ISP mode through the modem lines before a silent board is given up.
inline constexpr std::uint32_t resetAttempts = 3;

// Buffers: a command line with its line end and terminator, a reply with its terminator.
inline constexpr std::size_t commandBufferSize = 32;
inline constexpr std::size_t replyBufferSize = 32;

// The uuencoded transfer: 45 data bytes a line ('M' = 0x20 + 45), a checksum line after
// every 20 data lines and after the last, and a pause after each data line. The longer
// pause belongs to the higher speed.
inline constexpr std::uint32_t bytesPerLine = 45;
inline constexpr std::uint32_t linesPerChecksum = 20;
inline constexpr std::size_t dataLineBufferSize = 64; // 63 bytes of line and a terminator
inline constexpr std::uint32_t linePauseHighSpeedMs = 20;
inline constexpr std::uint32_t linePauseLowSpeedMs = 2;
// A device-paced transfer sends the lines of a checksum group back to back; the device
// may refuse the same lines this many times before the update gives up on them.
inline constexpr std::int32_t maxChecksumRefusals = 3;

// Reading memory back: "R address count\r\n" (address and count multiples of 4) is
// answered with the status and then the bytes as uuencoded lines of the transfer's shape,
// the sum of each group's bytes on a line of its own after it. The host answers each sum
// as the device answers the host's: checksumAccepted for the next group, checksumRefused
// for the same lines again.
inline constexpr std::string_view readCommand = "R ";
inline constexpr std::uint32_t readAlignment = 4;
// A group's sum, at most ten digits, and its line end.
inline constexpr std::size_t sumLineMaxLength = 12;
// RESENDs the read-back sends for the same lines before it gives up.
inline constexpr int maxReadResends = 3;
// In ISP mode the first 64 bytes of flash read as the boot block's own vectors, not as
// what was written there.
inline constexpr std::uint32_t bootVectorBytes = 64;

} // namespace sparwick::isp

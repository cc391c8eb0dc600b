#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// What this updater knows of the devices it writes: the supported parts, their flash
// sectors, and the shape of one block's transfer.
namespace sparwick::layout {

struct SupportedPart {
    std::string_view idReply; // the exact reply to "J\r\n"
    std::uint32_t partId;
    std::int32_t sectorCount;
    std::string_view name; // as the user manual names the part
};

// Compared in this order.
inline constexpr std::array<SupportedPart, 2> supportedParts{{
    {"0\r\n196389\r\n", 196389, 27, "LPC2138"},
    {"0\r\n196387\r\n", 196387, 15, "LPC2136"},
}};

// The last byte offset of each flash sector; a part with fewer sectors uses the first
// entries. Sectors 0-7 and 22-26 are 4 KB, 8-21 are 32 KB.
inline constexpr std::array<std::uint32_t, 27> sectorLastByte{
    0x0FFF,  0x1FFF,  0x2FFF,  0x3FFF,  0x4FFF,  0x5FFF,  0x6FFF,  0x7FFF,  0xFFFF,
    0x17FFF, 0x1FFFF, 0x27FFF, 0x2FFFF, 0x37FFF, 0x3FFFF, 0x47FFF, 0x4FFFF, 0x57FFF,
    0x5FFFF, 0x67FFF, 0x6FFFF, 0x77FFF, 0x78FFF, 0x79FFF, 0x7AFFF, 0x7BFFF, 0x7CFFF,
};

// Bytes of flash on a part with this many sectors: 512,000 for 27, 262,144 for 15.
constexpr std::uint32_t flashSize(std::int32_t sectorCount) {
    if (sectorCount <= 0 || sectorCount > static_cast<std::int32_t>(sectorLastByte.size())) {
        return 0;
    }
    return sectorLastByte[static_cast<std::size_t>(sectorCount - 1)] + 1;
}

// The sector holding a block that starts at offset: the first of sectors 0 to
// sectorCount - 1 whose last byte lies beyond offset; sectorCount when none does.
constexpr std::int32_t sectorOfOffset(std::uint32_t offset, std::int32_t sectorCount) {
    std::int32_t i = 0;
    while (i < sectorCount && i < static_cast<std::int32_t>(sectorLastByte.size()) &&
           !(offset < sectorLastByte[static_cast<std::size_t>(i)])) {
        ++i;
    }
    return i;
}

inline constexpr std::uint32_t blockSize = 0x1000;
// Device RAM that receives each block before it is copied to flash.
inline constexpr std::uint32_t ramBufferAddress = 0x40000200;
// Bytes sent to RAM per block: 92 whole lines of 45 bytes.
inline constexpr std::uint32_t ramWriteLength = 4140;
inline constexpr std::uint32_t copyLength = 4096;
inline constexpr std::uint32_t startAddress = 0;

// The image's first eight words are the ARM exception vectors; word 5 is the one the
// boot loader's valid-code rule leaves to the image.
inline constexpr std::uint32_t vectorTableBytes = 32;
inline constexpr std::uint32_t checksumWordOffset = 20;

} // namespace sparwick::layout

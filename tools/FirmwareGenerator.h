#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Stand-in firmware for an LPC2000 part: what the program ships with, and what tests
// write to a device of their own, made the same way.
namespace sparwick::tools {

// The image the program carries.
inline constexpr std::size_t shippedFirmwareSize = 241092;
inline constexpr std::uint32_t shippedFirmwareSeed = 0x5A3C9E01;

// An image of exactly size bytes that reads like a real ARM7 build, little-endian:
// - bytes 0-31: the exception vectors, each `LDR PC, [PC, #24]`, except word 5, which is
//   left 0 for the updater's valid-code checksum (so the image does not sum to 0 as
//   shipped);
// - bytes 32-63: the handler addresses those loads fetch, word-aligned, inside the
//   first 256 bytes (the reserved slot 5 is 0);
// - then the handlers, start-up code, functions with literal pools, strings and tables.
// Every image is a prefix of the one stream the seed makes, so a short image is a
// truncated long one and any size, 0 included, is valid.
std::vector<std::uint8_t> makeFirmwareImage(std::size_t size,
                                            std::uint32_t seed = shippedFirmwareSeed);

} // namespace sparwick::tools

#pragma once

#include <cstddef>
#include <cstdint>

// The ISP's uuencoding: three bytes become four characters 0x20 + six bits each, except
// that a zero is written as the back-quote (0x60) so that no line holds a space.
namespace sparwick {

void uuencodeGroup(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, char* output);

// A whole line of 45 bytes: the length letter 'M' and 15 groups, 61 characters and no
// line end. Each byte's value is added to sum.
void uuencodeLine(const std::uint8_t* data, char* output, std::uint32_t& sum);

// A line of 1 to 45 bytes: the length character (0x20 + length) and the groups, the
// last one filled with zero bytes; nothing beyond data + length is read. Returns the
// number of characters written.
std::size_t uuencodeLine(const std::uint8_t* data, std::size_t length, char* output,
                         std::uint32_t& sum);

} // namespace sparwick

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// The boot loader's uuencoded lines as the host reads them back: the mirror of Uuencode.
// A character stands for its value less 0x20, taken modulo 64, so that the back-quote
// (0x60) and the space both mean zero; anything outside 0x20..0x60 is not part of a line.
namespace sparwick {

// Four characters to three bytes; false when a character is outside the alphabet.
bool uudecodeGroup(const char* input, std::uint8_t* output);

// One line without its line end: the length character (0x20 + 1 to 45 bytes) and exactly
// as many groups as that length needs. Writes the bytes it declares to output (which has
// room for 45) and adds each one's value to sum; returns their number. Nothing, and sum
// untouched, when the line is not such a line.
std::optional<std::size_t> uudecodeLine(const char* line, std::size_t length, std::uint8_t* output,
                                        std::uint32_t& sum);

} // namespace sparwick

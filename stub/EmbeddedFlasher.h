#pragma once

#include <cstdint>
#include <span>

namespace sparwick::turbo {

// The turbo flasher's image, as the host writes it to TURBO_LOAD_ADDRESS: a whole number
// of words, the divisor word at TURBO_DIVISOR_OFFSET.
std::span<const std::uint8_t> embeddedFlasher();

} // namespace sparwick::turbo

#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace sparwick::cli {

// The SHA-256 digest of bytes, as 64 lower-case hexadecimal digits: the fingerprint of the
// image written, for a board's record.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

} // namespace sparwick::cli

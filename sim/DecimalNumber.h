#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sparwick::sim {

// A decimal number as the boot loader and lpcsim's command line take one: digits only,
// no sign or spaces, within 32 bits.
inline std::optional<std::uint32_t> parseDecimal(std::string_view text) {
    std::uint32_t value = 0;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Whether text is a decimal number, as parseDecimal takes one, beyond 32 bits: a reason of
// its own when it is refused.
inline bool decimalTooLarge(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos &&
           !parseDecimal(text);
}

} // namespace sparwick::sim

#pragma once

#include "platform/FrameworkError.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sparwick {

// One ISP command line, built piece by piece in a fixed buffer on the stack and kept
// zero-terminated. Numbers are plain decimal: no leading zeros, sign or fill. A line that
// would not fit with its terminator is refused before anything is sent.
template <std::size_t Capacity>
class IspLineBuffer {
public:
    IspLineBuffer() { buffer[0] = '\0'; }

    IspLineBuffer& text(std::string_view piece) {
        if (piece.size() >= Capacity - length) {
            throw InvalidArgumentError{};
        }
        for (char c : piece) {
            buffer[length++] = c;
        }
        buffer[length] = '\0';
        return *this;
    }

    IspLineBuffer& character(char c) { return text(std::string_view(&c, 1)); }

    template <typename Integer>
    IspLineBuffer& number(Integer value) {
        char digits[12];
        auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
        return text(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    const char* c_str() const { return buffer.data(); }
    std::string_view view() const { return {buffer.data(), length}; }

private:
    std::array<char, Capacity> buffer;
    std::size_t length = 0;
};

} // namespace sparwick

#include "flash/Uudecode.h"

#include "flash/IspProtocol.h"

namespace sparwick {
namespace {

constexpr char firstCharacter = 0x20;
constexpr char lastCharacter = 0x60; // the back-quote, which stands for zero

std::optional<unsigned> sixBits(char c) {
    if (c < firstCharacter || c > lastCharacter) {
        return std::nullopt;
    }
    return static_cast<unsigned>(c - firstCharacter) & 63u;
}

} // namespace

bool uudecodeGroup(const char* input, std::uint8_t* output) {
    unsigned bits = 0;
    for (int i = 0; i < 4; ++i) {
        const auto value = sixBits(input[i]);
        if (!value) {
            return false;
        }
        bits = bits << 6u | *value;
    }
    output[0] = static_cast<std::uint8_t>(bits >> 16u);
    output[1] = static_cast<std::uint8_t>(bits >> 8u);
    output[2] = static_cast<std::uint8_t>(bits);
    return true;
}

std::optional<std::size_t> uudecodeLine(const char* line, std::size_t length, std::uint8_t* output,
                                        std::uint32_t& sum) {
    if (length == 0) {
        return std::nullopt;
    }
    const auto declared = sixBits(line[0]);
    if (!declared || *declared == 0 || *declared > static_cast<unsigned>(isp::bytesPerLine)) {
        return std::nullopt;
    }
    const std::size_t bytes = *declared;
    const std::size_t groups = (bytes + 2) / 3;
    if (length != 1 + 4 * groups) {
        return std::nullopt;
    }
    std::uint8_t decoded[isp::bytesPerLine];
    for (std::size_t g = 0; g < groups; ++g) {
        if (!uudecodeGroup(line + 1 + 4 * g, decoded + 3 * g)) {
            return std::nullopt;
        }
    }
    // The last group's filler is not data.
    for (std::size_t i = 0; i < bytes; ++i) {
        output[i] = decoded[i];
        sum += decoded[i];
    }
    return bytes;
}

} // namespace sparwick

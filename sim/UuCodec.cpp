#include "sim/UuCodec.h"

#include "sim/BootLoaderConstants.h"

namespace sparwick::sim {

namespace {

constexpr char offset = 0x20;
constexpr char zeroCharacter = '`';
constexpr std::size_t bytesPerGroup = 3;
constexpr std::size_t charactersPerGroup = 4;

char encodeSixBits(unsigned value) {
    return value == 0 ? zeroCharacter : static_cast<char>(offset + value);
}

// The six bits a character stands for, or -1 for a character outside the alphabet.
int decodeSixBits(char c) {
    if (c < offset || c > zeroCharacter) {
        return -1;
    }
    return (c - offset) & 0x3F;
}

} // namespace

std::string UuCodec::encodeLine(std::span<const std::uint8_t> data) {
    std::string line(1, static_cast<char>(offset + static_cast<char>(data.size())));
    for (std::size_t i = 0; i < data.size(); i += bytesPerGroup) {
        const unsigned b0 = data[i];
        const unsigned b1 = i + 1 < data.size() ? data[i + 1] : 0;
        const unsigned b2 = i + 2 < data.size() ? data[i + 2] : 0;
        line += encodeSixBits(b0 >> 2);
        line += encodeSixBits(((b0 & 0x03) << 4) | (b1 >> 4));
        line += encodeSixBits(((b1 & 0x0F) << 2) | (b2 >> 6));
        line += encodeSixBits(b2 & 0x3F);
    }
    return line;
}

UuCodec::DecodedLine UuCodec::decodeLine(std::string_view line) {
    DecodedLine decoded;
    if (line.empty()) {
        return decoded;
    }
    const int length = decodeSixBits(line[0]);
    if (length <= 0 || static_cast<std::size_t>(length) > isp::bytesPerLine) {
        return decoded;
    }
    decoded.declared = static_cast<std::size_t>(length);
    const std::size_t groups = (decoded.declared + bytesPerGroup - 1) / bytesPerGroup;
    const std::string_view body = line.substr(1);
    if (body.size() != groups * charactersPerGroup) {
        return decoded;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(groups * bytesPerGroup);
    for (std::size_t g = 0; g < groups; ++g) {
        unsigned bits = 0;
        for (std::size_t c = 0; c < charactersPerGroup; ++c) {
            const int value = decodeSixBits(body[g * charactersPerGroup + c]);
            if (value < 0) {
                return decoded;
            }
            bits = (bits << 6) | static_cast<unsigned>(value);
        }
        bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
        bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
        bytes.push_back(static_cast<std::uint8_t>(bits));
    }
    // The last group's padding is not data.
    bytes.resize(decoded.declared);
    decoded.bytes = std::move(bytes);
    decoded.wellFormed = true;
    return decoded;
}

} // namespace sparwick::sim

#include "TestUuencoder.h"

namespace sparwick::sim::test {

std::string TestUuencoder::encodeLine(std::span<const std::uint8_t> data) {
    const auto character = [](unsigned v) { return v == 0 ? '`' : static_cast<char>(0x20 + v); };
    std::string line(1, static_cast<char>(0x20 + data.size()));
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const unsigned group = (unsigned{data[i]} << 16) |
                               (i + 1 < data.size() ? unsigned{data[i + 1]} << 8 : 0u) |
                               (i + 2 < data.size() ? unsigned{data[i + 2]} : 0u);
        for (int shift = 18; shift >= 0; shift -= 6) {
            line += character((group >> shift) & 0x3F);
        }
    }
    return line;
}

std::vector<std::uint8_t> TestUuencoder::decodeLine(std::string_view line) {
    if (line.empty()) {
        return {};
    }
    const std::size_t length = static_cast<std::size_t>((line[0] - 0x20) & 0x3F);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i + 4 <= line.size() && bytes.size() < length; i += 4) {
        unsigned group = 0;
        for (std::size_t c = 0; c < 4; ++c) {
            group = (group << 6) | (static_cast<unsigned>(line[i + c] - 0x20) & 0x3F);
        }
        for (int shift = 16; shift >= 0 && bytes.size() < length; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(group >> shift));
        }
    }
    if (bytes.size() != length) {
        return {};
    }
    return bytes;
}

std::uint32_t TestUuencoder::sum(std::span<const std::uint8_t> data) {
    std::uint32_t total = 0;
    for (const std::uint8_t byte : data) {
        total += byte;
    }
    return total;
}

} // namespace sparwick::sim::test

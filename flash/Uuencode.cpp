#include "flash/Uuencode.h"

#include "flash/IspProtocol.h"

namespace sparwick {
namespace {

char sixBits(unsigned value) {
    return static_cast<char>(value == 0 ? 0x60 : 0x20 + value);
}

} // namespace

void uuencodeGroup(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, char* output) {
    output[0] = sixBits(b0 >> 2u);
    output[1] = sixBits(((b0 & 3u) << 4u) + (b1 >> 4u));
    output[2] = sixBits(((b1 & 15u) << 2u) + (b2 >> 6u));
    output[3] = sixBits(b2 & 63u);
}

std::size_t uuencodeLine(const std::uint8_t* data, std::size_t length, char* output,
                         std::uint32_t& sum) {
    std::size_t out = 0;
    output[out++] = static_cast<char>(0x20 + length);
    for (std::size_t i = 0; i < length; i += 3) {
        std::uint8_t group[3] = {0, 0, 0};
        for (std::size_t k = 0; k < 3 && i + k < length; ++k) {
            group[k] = data[i + k];
            sum += data[i + k];
        }
        uuencodeGroup(group[0], group[1], group[2], output + out);
        out += 4;
    }
    return out;
}

void uuencodeLine(const std::uint8_t* data, char* output, std::uint32_t& sum) {
    uuencodeLine(data, static_cast<std::size_t>(isp::bytesPerLine), output, sum);
}

} // namespace sparwick

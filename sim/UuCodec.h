#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::sim {

// The boot loader's side of the uuencoded data lines: a length character (0x20 plus the
// number of bytes), then four characters for every three bytes, each 0x20 plus six bits;
// zero may come as a space or a back-quote. Lines carry at most 45 bytes.
class UuCodec {
public:
    struct DecodedLine {
        // The byte count the length character declares (0 when it is not one).
        std::size_t declared = 0;
        // The decoded bytes: declared of them when the line is well formed.
        std::vector<std::uint8_t> bytes;
        bool wellFormed = false;
    };

    // One line without its line end; the device sends zeros as back-quotes.
    static std::string encodeLine(std::span<const std::uint8_t> data);
    static DecodedLine decodeLine(std::string_view line);
};

} // namespace sparwick::sim

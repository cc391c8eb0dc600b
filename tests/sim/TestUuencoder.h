#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sparwick::sim::test {

// The host's side of the uuencoded transfers, written here afresh for the tests.
class TestUuencoder {
public:
    static std::string encodeLine(std::span<const std::uint8_t> data);
    // Decodes a line without its line end; empty for a malformed one.
    static std::vector<std::uint8_t> decodeLine(std::string_view line);
    static std::uint32_t sum(std::span<const std::uint8_t> data);
};

} // namespace sparwick::sim::test

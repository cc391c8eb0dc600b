#pragma once

#include "IspTestClient.h"

#include <cstdint>
#include <span>
#include <vector>

namespace sparwick::sim::test {

// Writes data to RAM with W: every line of 45 bytes (the last shorter), a checksum after
// each 20 lines and after the last, each answered "OK". Returns false on any other reply.
bool writeToRam(IspTestClient& client, std::uint32_t address, std::span<const std::uint8_t> data);
// Reads count bytes with R, answering each checksum; empty on a failure.
std::vector<std::uint8_t> readMemory(IspTestClient& client, std::uint32_t address,
                                     std::uint32_t count);

} // namespace sparwick::sim::test

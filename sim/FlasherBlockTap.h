#pragma once

#include <cstdint>

namespace sparwick::sim {

class FaultInjector;

// Follows the bytes that code in RAM receives as the turbo flasher's requests (a command
// byte, then its 32-bit little-endian arguments; a data request's block, or a compressed
// one's deflate stream, and CRC-32 after its length), so that the flasher-block fault can
// change a block's first byte on its way in. A stream out of step is followed as the flasher
// follows it: bytes after a refused length are taken as requests.
class FlasherBlockTap {
public:
    explicit FlasherBlockTap(FaultInjector& faults);

    // The byte as the code receives it.
    std::uint8_t received(std::uint8_t byte);
    // How many bytes the code has received.
    std::uint64_t count() const { return bytes; }

private:
    FaultInjector& faults;
    std::uint8_t command = 0;
    // Bytes of the current request's arguments still to come, and of its block and CRC.
    std::uint32_t argumentBytes = 0;
    std::uint32_t blockBytes = 0;
    std::uint32_t length = 0;
    bool garbleNext = false;
    std::uint64_t bytes = 0;
};

} // namespace sparwick::sim

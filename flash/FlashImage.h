#pragma once

#include "flash/FlashLayout.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace sparwick {

// The bytes of one RAM block as they go to the device, taken from the firmware image
// without ever writing into it (on Windows the loaded resource is read-only) and
// without reading past its end:
// - the first block comes from a copy with the valid-code checksum applied;
// - a block that runs past the image's end comes from a copy filled out with 0xFF;
// - every other block is the image's own memory.
class FlashImage {
public:
    FlashImage(const std::uint8_t* bytes, std::uint32_t size);

    std::uint32_t size() const { return imageSize; }

    // The ramWriteLength bytes to send for the block at offset (a multiple of blockSize
    // below size()).
    const std::uint8_t* block(std::uint32_t offset);

    // The image as the device should hold it: the checksum applied, nothing else changed.
    static std::vector<std::uint8_t> patched(std::span<const std::uint8_t> image);

    // Sets vector word 5 so that the eight vector words add up to 0 modulo 2^32, the boot
    // loader's sign of valid user code. vectors holds at least 32 bytes.
    static void applyValidCodeChecksum(std::uint8_t* vectors);

private:
    using Block = std::array<std::uint8_t, layout::ramWriteLength>;

    void fillFrom(Block& block, std::uint32_t offset) const;

    const std::uint8_t* imageBytes;
    std::uint32_t imageSize;
    Block firstBlock;
    Block tailBlock;
    std::uint32_t tailOffset = 0; // the offset tailBlock holds; 0: none (that is firstBlock)
};

} // namespace sparwick

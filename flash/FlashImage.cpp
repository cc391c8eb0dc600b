#include "flash/FlashImage.h"

#include <algorithm>

namespace sparwick {
namespace {

constexpr std::uint8_t erased = 0xFF;

std::uint32_t wordAt(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8u | std::uint32_t{p[2]} << 16u |
           std::uint32_t{p[3]} << 24u;
}

void storeWord(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8u * static_cast<unsigned>(i)));
    }
}

} // namespace

FlashImage::FlashImage(const std::uint8_t* bytes, std::uint32_t size)
    : imageBytes(bytes)
    , imageSize(size) {
    fillFrom(firstBlock, 0);
    // An image too short for a whole vector table has no checksum word to set.
    if (imageSize >= layout::vectorTableBytes) {
        applyValidCodeChecksum(firstBlock.data());
    }
}

void FlashImage::fillFrom(Block& block, std::uint32_t offset) const {
    std::uint32_t available = offset < imageSize ? imageSize - offset : 0;
    std::uint32_t count = std::min<std::uint32_t>(available, layout::ramWriteLength);
    auto end = std::copy_n(imageBytes + offset, count, block.begin());
    std::fill(end, block.end(), erased);
}

const std::uint8_t* FlashImage::block(std::uint32_t offset) {
    if (offset == 0) {
        return firstBlock.data();
    }
    if (imageSize - offset >= layout::ramWriteLength) {
        return imageBytes + offset;
    }
    if (tailOffset != offset) {
        fillFrom(tailBlock, offset);
        tailOffset = offset;
    }
    return tailBlock.data();
}

std::vector<std::uint8_t> FlashImage::patched(std::span<const std::uint8_t> image) {
    std::vector<std::uint8_t> copy(image.begin(), image.end());
    if (copy.size() >= layout::vectorTableBytes) {
        applyValidCodeChecksum(copy.data());
    }
    return copy;
}

void FlashImage::applyValidCodeChecksum(std::uint8_t* vectors) {
    storeWord(vectors + layout::checksumWordOffset, 0);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < layout::vectorTableBytes; i += 4) {
        sum += wordAt(vectors + i);
    }
    storeWord(vectors + layout::checksumWordOffset, 0u - sum);
}

} // namespace sparwick

#include "flash/ReadBackRange.h"

#include "flash/IspProtocol.h"

#include <algorithm>

namespace sparwick {

static_assert(ReadBackRange::chunkBytes % isp::readAlignment == 0);
static_assert(ReadBackRange::chunkBytes % (isp::bytesPerLine * isp::linesPerChecksum) == 0);
static_assert(isp::bootVectorBytes % isp::readAlignment == 0);

ReadBackRange::ReadBackRange(std::uint32_t size)
    : imageSize(size)
    , first(std::min(size, isp::bootVectorBytes))
    , last(size)
    , readEnd((size + isp::readAlignment - 1) / isp::readAlignment * isp::readAlignment) {}

std::uint32_t ReadBackRange::chunkCount() const {
    if (empty()) {
        return 0;
    }
    return (readEnd - first + chunkBytes - 1) / chunkBytes;
}

ReadBackRange::Chunk ReadBackRange::chunk(std::uint32_t index) const {
    const std::uint32_t offset = first + index * chunkBytes;
    return {offset, std::min(chunkBytes, readEnd - offset)};
}

std::string ReadBackRange::summary() const {
    if (empty()) {
        return "Nothing to verify: the image's " + std::to_string(imageSize) +
               " bytes lie within the first " + std::to_string(isp::bootVectorBytes) +
               " of the flash, which read back as the boot block's vectors.";
    }
    return "Verified " + std::to_string(size()) + " bytes (offset " + std::to_string(first) +
           " to " + std::to_string(last) + ") against the image.";
}

} // namespace sparwick

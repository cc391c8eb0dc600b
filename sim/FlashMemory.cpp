#include "sim/FlashMemory.h"

#include "sim/BootLoaderConstants.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sparwick::sim {

namespace {

constexpr std::uint8_t erasedByte = 0xFF;

} // namespace

FlashMemory::FlashMemory(const PartDescription& part, std::span<const std::uint8_t> initial)
    : description(part)
    , contents(part.flashSize(), erasedByte)
    , prepared(part.sectorCount(), false) {
    if (initial.size() > contents.size()) {
        throw std::invalid_argument("flash contents of " + std::to_string(initial.size()) +
                                    " bytes do not fit the " + std::to_string(contents.size()) +
                                    " bytes of part " + std::to_string(part.partId()));
    }
    std::copy(initial.begin(), initial.end(), contents.begin());
}

void FlashMemory::prepare(std::uint32_t firstSector, std::uint32_t lastSector) {
    for (std::uint32_t sector = firstSector; sector <= lastSector; ++sector) {
        prepared.at(sector) = true;
    }
}

bool FlashMemory::isPrepared(std::uint32_t firstSector, std::uint32_t lastSector) const {
    for (std::uint32_t sector = firstSector; sector <= lastSector; ++sector) {
        if (!prepared.at(sector)) {
            return false;
        }
    }
    return true;
}

void FlashMemory::protectAll() {
    std::fill(prepared.begin(), prepared.end(), false);
}

void FlashMemory::protect(std::uint32_t firstSector, std::uint32_t lastSector) {
    for (std::uint32_t sector = firstSector; sector <= lastSector; ++sector) {
        prepared.at(sector) = false;
    }
}

void FlashMemory::erase(std::uint32_t firstSector, std::uint32_t lastSector) {
    std::fill(contents.begin() + description.sectorStart(firstSector),
              contents.begin() + description.sectorEnd(lastSector), erasedByte);
    protect(firstSector, lastSector);
}

void FlashMemory::program(std::uint32_t offset, std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return;
    }
    const auto last = static_cast<std::uint32_t>(offset + data.size() - 1);
    for (std::size_t i = 0; i < data.size(); ++i) {
        contents.at(offset + i) &= data[i];
    }
    protect(description.sectorOf(offset), description.sectorOf(last));
}

void FlashMemory::flipBits(std::uint32_t offset, std::uint8_t mask) {
    contents.at(offset) ^= mask;
}

std::optional<std::uint32_t> FlashMemory::firstNonBlankWord(std::uint32_t firstSector,
                                                            std::uint32_t lastSector) const {
    const std::uint32_t begin = description.sectorStart(firstSector);
    const std::uint32_t end = description.sectorEnd(lastSector);
    for (std::uint32_t offset = begin; offset < end; offset += isp::wordSize) {
        if (word(offset) != 0xFFFFFFFFu) {
            return offset;
        }
    }
    return std::nullopt;
}

std::uint32_t FlashMemory::word(std::uint32_t offset) const {
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < isp::wordSize; ++i) {
        value |= static_cast<std::uint32_t>(contents.at(offset + i)) << (8 * i);
    }
    return value;
}

bool FlashMemory::holdsValidUserCode() const {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < isp::vectorWords; ++i) {
        sum += word(i * isp::wordSize);
    }
    return sum == 0;
}

} // namespace sparwick::sim

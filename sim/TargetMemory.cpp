#include "sim/TargetMemory.h"

#include "sim/BootLoaderConstants.h"

#include <algorithm>

namespace sparwick::sim {

namespace {

constexpr std::uint32_t ramEnd = isp::ramBase + isp::ramSize;
constexpr std::uint32_t flashScratchBegin = ramEnd - isp::flashScratchSize;
constexpr std::uint32_t stackBegin = flashScratchBegin - isp::ispStackSize;

} // namespace

TargetMemory::TargetMemory(FlashMemory& flashMemory)
    : flash(flashMemory)
    , ram(isp::ramSize, 0) {
    powerOn();
}

bool TargetMemory::isFlash(std::uint32_t address, std::uint64_t count) const {
    return std::uint64_t{address} + count <= flash.bytes().size();
}

bool TargetMemory::isRam(std::uint32_t address, std::uint64_t count) const {
    return address >= isp::ramBase && std::uint64_t{address} + count <= ramEnd;
}

std::vector<std::uint8_t> TargetMemory::read(std::uint32_t address, std::uint32_t count) const {
    if (isRam(address, count)) {
        const auto begin = ram.begin() + (address - isp::ramBase);
        return {begin, begin + count};
    }
    const auto bytes = flash.bytes().subspan(address, count);
    std::vector<std::uint8_t> out(bytes.begin(), bytes.end());
    // The boot block's vectors lie over the start of the flash in ISP mode.
    for (std::uint32_t at = address; at < isp::bootVectorBytes && at - address < count; ++at) {
        out[at - address] = static_cast<std::uint8_t>(isp::bootVectors[at / 4] >> (8 * (at % 4)));
    }
    return out;
}

void TargetMemory::writeRam(std::uint32_t address, std::span<const std::uint8_t> data) {
    std::copy(data.begin(), data.end(), ram.begin() + (address - isp::ramBase));
}

void TargetMemory::powerOn() {
    scribble(isp::ramBase, ramEnd);
}

void TargetMemory::runBootLoader(bool flashOperation) {
    scribble(isp::ispVariablesBegin, isp::ispVariablesEnd);
    scribble(stackBegin, flashScratchBegin);
    if (flashOperation) {
        scribble(flashScratchBegin, ramEnd);
    }
}

void TargetMemory::scribble(std::uint32_t begin, std::uint32_t end) {
    // A linear congruential sequence: neither erased flash (0xFF) nor zeros, and
    // different each time, so that data left there cannot pass for what was written.
    for (std::uint32_t address = begin; address < end; ++address) {
        noise = noise * 1664525u + 1013904223u;
        ram[address - isp::ramBase] = static_cast<std::uint8_t>(noise >> 24);
    }
}

} // namespace sparwick::sim

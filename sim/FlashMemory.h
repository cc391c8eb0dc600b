#pragma once

#include "sim/PartDescription.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sparwick::sim {

// The part's user flash: erased bytes read 0xFF, programming can only clear bits, and a
// sector must be prepared before each erase or write, which then protects it again.
class FlashMemory {
public:
    // Contents at power-on: shorter than the flash means the rest is erased. Longer
    // contents are refused with std::invalid_argument.
    FlashMemory(const PartDescription& part, std::span<const std::uint8_t> initial);

    const PartDescription& part() const { return description; }
    std::span<const std::uint8_t> bytes() const { return contents; }

    void prepare(std::uint32_t firstSector, std::uint32_t lastSector);
    bool isPrepared(std::uint32_t firstSector, std::uint32_t lastSector) const;
    // Every sector protected, as after a reset.
    void protectAll();

    void erase(std::uint32_t firstSector, std::uint32_t lastSector);
    // ANDs data into the flash at offset; the range must lie inside the flash.
    void program(std::uint32_t offset, std::span<const std::uint8_t> data);
    // Flips the bits of mask in the byte at offset, whatever programming allows: a cell
    // that failed, for faults that only a read-back can see.
    void flipBits(std::uint32_t offset, std::uint8_t mask);

    // The flash offset of the first word in these sectors that is not erased.
    std::optional<std::uint32_t> firstNonBlankWord(std::uint32_t firstSector,
                                                   std::uint32_t lastSector) const;
    // The little-endian word at a word-aligned offset.
    std::uint32_t word(std::uint32_t offset) const;
    // The boot loader's test for valid user code: the vector table's words sum to 0.
    bool holdsValidUserCode() const;

private:
    void protect(std::uint32_t firstSector, std::uint32_t lastSector);

    PartDescription description;
    std::vector<std::uint8_t> contents;
    std::vector<bool> prepared;
};

} // namespace sparwick::sim

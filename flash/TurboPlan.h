#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sparwick {

// What an update through the turbo flasher erases and writes, from the CRC-32 of each
// block of the image and of each block the flash holds: only the sectors that hold a
// block that differs and are not already blank are erased, and only the blocks that
// differ are written, all of an erased sector's. Whenever anything is written, sector 0
// is erased first and its first block (the vectors with the valid-code checksum) is
// written after every other block: a board interrupted at any moment holds no valid
// code, and its boot loader stays in ISP mode at the next reset.
struct TurboPlan {
    // Sectors to erase in this order (sector 0 first), each sector once.
    std::vector<std::uint32_t> erase;
    // Indexes of the image's blocks to write, in this order (block 0 last).
    std::vector<std::uint32_t> write;
    // Indexes of the image's blocks that the flash does not hold.
    std::vector<std::uint32_t> differing;

    bool unchanged() const { return differing.empty(); }
};

// imageCrcs: one per block of the image; flashCrcs: one per block of flash from 0,
// through the end of the last sector that holds a block of the image; sectorOfBlock:
// the sector that holds each flash block.
TurboPlan planTurboUpdate(std::span<const std::uint32_t> imageCrcs,
                          std::span<const std::uint32_t> flashCrcs,
                          std::span<const std::uint32_t> sectorOfBlock);

// The CRC-32 of a block of erased flash.
std::uint32_t blankBlockCrc();

} // namespace sparwick

#pragma once

#include "sim/FlashMemory.h"

#include <cstdint>
#include <span>
#include <vector>

namespace sparwick::sim {

// The address space that ISP commands reach: the user flash from address 0 and the
// on-chip RAM. The boot loader works in parts of the RAM itself, so what a host leaves
// there is overwritten as the boot loader runs.
class TargetMemory {
public:
    explicit TargetMemory(FlashMemory& flash);

    bool isFlash(std::uint32_t address, std::uint64_t count) const;
    bool isRam(std::uint32_t address, std::uint64_t count) const;
    bool isMapped(std::uint32_t address, std::uint64_t count) const {
        return isFlash(address, count) || isRam(address, count);
    }

    // A mapped range, flash or RAM, as ISP commands see it: the first 64 bytes of flash
    // are the boot block's vectors.
    std::vector<std::uint8_t> read(std::uint32_t address, std::uint32_t count) const;
    // A range inside the RAM.
    void writeRam(std::uint32_t address, std::span<const std::uint8_t> data);

    // Power-on: RAM holds whatever the cells come up with.
    void powerOn();
    // The boot loader runs a command: its variables and stack change, and a flash
    // operation also uses the top of RAM.
    void runBootLoader(bool flashOperation);

private:
    void scribble(std::uint32_t begin, std::uint32_t end);

    FlashMemory& flash;
    std::vector<std::uint8_t> ram;
    std::uint32_t noise = 0;
};

} // namespace sparwick::sim

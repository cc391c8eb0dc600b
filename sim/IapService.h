#pragma once

#include "sim/FlashMemory.h"
#include "sim/IspStatus.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace sparwick::sim {

class BootLoaderPort;
class FaultInjector;
class TrafficLog;

// The boot ROM's in-application programming calls (entry 0x7FFFFFF1) on the simulated
// flash, with the rules the boot loader's own commands keep: a prepare before each erase
// and copy, the copy's sizes and boundaries, blank checks. A copy meets the faults that
// the boot loader's C command meets (corrupt, status, hangup). The flash is busy for the
// manuals' times, and a clock argument far from the core's clock programs the flash with
// the wrong timing, which a verify then finds.
class IapService {
public:
    static constexpr std::uint32_t entry = 0x7FFFFFF1;

    struct Result {
        // The boot ROM writes five words whatever the command returns.
        std::array<std::uint32_t, 5> words{};
        // The flash changed from this offset on, for this many bytes.
        std::uint32_t changedOffset = 0;
        std::uint32_t changedSize = 0;
    };

    // ram: the RAM that user code runs in, from its base address.
    IapService(FlashMemory& flash, std::span<std::uint8_t> ram, FaultInjector& faults,
               BootLoaderPort& port, TrafficLog* log);

    // command: the five words of the command table; coreKHz: the core's real clock.
    Result call(const std::array<std::uint32_t, 5>& command, std::uint32_t coreKHz);

    // Sectors erased and copies made through the calls so far.
    std::uint32_t sectorsErased() const { return erased; }
    std::uint32_t copiesMade() const { return copies; }

private:
    IspStatus prepare(std::uint32_t first, std::uint32_t last);
    IspStatus erase(std::uint32_t first, std::uint32_t last, Result& result);
    IspStatus copy(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count,
                   bool wrongClock, Result& result);
    IspStatus blankCheck(std::uint32_t first, std::uint32_t last, Result& result) const;
    IspStatus compare(std::uint32_t first, std::uint32_t second, std::uint32_t count,
                      Result& result) const;
    bool sectorsValid(std::uint32_t first, std::uint32_t last) const;
    bool isRam(std::uint32_t address, std::uint64_t count) const;
    bool isFlash(std::uint32_t address, std::uint64_t count) const;
    const std::uint8_t* at(std::uint32_t address) const;
    void event(const std::string& text);

    FlashMemory& flash;
    std::span<std::uint8_t> ram;
    FaultInjector& faults;
    BootLoaderPort& port;
    TrafficLog* log;
    std::uint32_t erased = 0;
    std::uint32_t copies = 0;
};

} // namespace sparwick::sim

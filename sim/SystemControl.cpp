#include "sim/SystemControl.h"

namespace sparwick::sim {

namespace {

constexpr std::uint32_t memmapRegister = 0x040;
constexpr std::uint32_t pllconRegister = 0x080;
constexpr std::uint32_t pllcfgRegister = 0x084;
constexpr std::uint32_t pllstatRegister = 0x088;
constexpr std::uint32_t pllfeedRegister = 0x08C;
constexpr std::uint32_t vpbdivRegister = 0x100;
constexpr std::uint32_t mamtimRegister = 0x004;
constexpr std::uint32_t mamtimReset = 7;

constexpr std::uint32_t pllEnable = 1u << 0;
constexpr std::uint32_t pllConnect = 1u << 1;
constexpr std::uint32_t msel = 0x1F;
constexpr std::uint32_t pselShift = 5;
constexpr std::uint32_t psel = 0x3;
// PLLSTAT: MSEL and PSEL as in PLLCFG, then PLLE, PLLC and PLOCK from bit 8.
constexpr std::uint32_t statusShift = 8;
constexpr std::uint32_t lockBit = 1u << 10;

constexpr std::uint32_t feedFirst = 0xAA;
constexpr std::uint32_t feedSecond = 0x55;

// The current controlled oscillator's range, and the core's rated clock.
constexpr std::uint64_t ccoMinHz = 156'000'000;
constexpr std::uint64_t ccoMaxHz = 320'000'000;
constexpr std::uint64_t coreMaxHz = 60'000'000;

} // namespace

std::uint32_t SystemControl::read(std::uint32_t offset) {
    switch (offset) {
    case memmapRegister:
        return memmap;
    case pllconRegister:
        return pllcon;
    case pllcfgRegister:
        return pllcfg;
    case pllstatRegister: {
        const bool enabled = (activeCon & pllEnable) != 0;
        if (enabled && pllCanLock && !locked && ++pollsSinceEnable >= lockPolls) {
            locked = true;
        }
        return (activeCfg & (msel | psel << pselShift)) | (activeCon & 0x3) << statusShift |
               (locked ? lockBit : 0);
    }
    case vpbdivRegister:
        return vpbdiv;
    default:
        break;
    }
    const auto found = others.find(offset);
    if (found != others.end()) {
        return found->second;
    }
    return offset == mamtimRegister ? mamtimReset : 0;
}

void SystemControl::write(std::uint32_t offset, std::uint32_t value) {
    if (offset == pllfeedRegister) {
        feed(value);
        return;
    }
    // The feed's two writes must follow each other.
    fedFirstHalf = false;
    switch (offset) {
    case memmapRegister:
        memmap = value & 0x3;
        return;
    case pllconRegister:
        pllcon = value & 0x3;
        return;
    case pllcfgRegister:
        pllcfg = value & 0x7F;
        return;
    case pllstatRegister:
        return;
    case vpbdivRegister:
        vpbdiv = value & 0x3;
        // 3 is reserved: the divider stays as it was.
        if (vpbdiv != 3) {
            vpbDivider = vpbdiv == 0 ? 4 : vpbdiv;
        }
        checkClocks();
        return;
    default:
        others[offset] = value;
        return;
    }
}

void SystemControl::feed(std::uint32_t value) {
    if (value == feedFirst) {
        fedFirstHalf = true;
        return;
    }
    if (value == feedSecond && fedFirstHalf) {
        // Enabling the PLL, or changing its multiplier, starts a new lock.
        const bool wasEnabled = (activeCon & pllEnable) != 0;
        if ((pllcon & pllEnable) == 0 || !wasEnabled || pllcfg != activeCfg) {
            locked = false;
            pollsSinceEnable = 0;
        }
        activeCon = pllcon;
        activeCfg = pllcfg;
        checkClocks();
    }
    fedFirstHalf = false;
}

std::uint32_t SystemControl::coreClockHz() const {
    const bool connected = (activeCon & pllEnable) != 0 && (activeCon & pllConnect) != 0;
    if (!connected) {
        return crystalHz;
    }
    return crystalHz * ((activeCfg & msel) + 1);
}

std::uint32_t SystemControl::peripheralClockHz() const {
    return coreClockHz() / vpbDivider;
}

void SystemControl::checkClocks() {
    if ((activeCon & pllEnable) != 0) {
        const std::uint64_t p = 1u << ((activeCfg >> pselShift) & psel);
        const std::uint64_t cco = std::uint64_t{crystalHz} * ((activeCfg & msel) + 1) * 2 * p;
        if (cco < ccoMinHz || cco > ccoMaxHz) {
            warnings.push_back("PLL's oscillator at " + std::to_string(cco) +
                               " Hz, outside 156 to 320 MHz");
        }
    }
    if (coreClockHz() > coreMaxHz) {
        warnings.push_back("core clock " + std::to_string(coreClockHz()) +
                           " Hz, above the part's 60 MHz");
    }
}

std::vector<std::string> SystemControl::takeWarnings() {
    std::vector<std::string> taken;
    taken.swap(warnings);
    return taken;
}

} // namespace sparwick::sim

#pragma once

#include "sim/FaultRule.h"
#include "sim/PartDescription.h"
#include "sim/SystemControl.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sparwick::sim {

// Which of the host's modem lines drives which pin of the part, as a board wires them:
// "dtr-rts" (DTR to RESET, RTS to P0.14) or "rts-dtr", and ",invert" where an asserted
// line makes its pin high rather than low.
struct PinWiring {
    bool dtrDrivesReset = true;
    bool assertedIsHigh = false;
};

struct DeviceOptions {
    std::uint32_t partId = PartDescription::defaultPartId;
    // Flash contents at power-on: empty means all erased, shorter means the rest erased.
    std::vector<std::uint8_t> flash;
    // The symbolic link kept pointing at the current pty; empty: the device makes one in
    // a private temporary directory.
    std::string linkPath;
    // Stop serving once G has been answered and its reply read.
    bool exitAfterGo = false;
    // Emulates the line's byte time in each direction, and the time the flash takes to
    // erase and program. 0: at the baud rate the host set on its end; unset: as fast as
    // the pty goes.
    std::optional<std::uint32_t> wireBaud;
    // A USB serial adapter's latency timer on the way to the host: bytes reach it when 62
    // have gathered or this long after the first was held. 0: no adapter, bytes pass at
    // once.
    std::chrono::milliseconds adapterLatency{0};
    std::vector<FaultRule> faults;
    // The crystal that code in RAM clocks the core and the UART from (the boot loader's
    // autobaud keeps its rates). Another than the usual one puts the flasher's UART off
    // the host's rate.
    std::uint32_t crystalHz = SystemControl::defaultCrystalHz;
    // Whether the PLL locks once code in RAM has enabled it; a part whose PLL never locks
    // leaves such code to run on the crystal.
    bool pllLocks = true;
    // UART0's fractional divider as the boot loader leaves it for code in RAM; the reset
    // value (no fraction) unless a boot loader used it for its own rate.
    std::uint32_t bootLoaderFdr = 0x10;
    // Every line received and sent, with times; empty: no log.
    std::string logPath;
    // RESET and P0.14 driven by the host's DTR and RTS through a socket beside the pty,
    // which the pin bridge library serves the host's modem-line calls from; unset: the
    // pins are out of reach and the part stays powered as it is.
    std::optional<PinWiring> pins;
    // At power-on the part runs its firmware (when the flash holds valid code) rather than
    // its boot loader, as a board does with P0.14 high.
    bool bootUser = false;
};

} // namespace sparwick::sim

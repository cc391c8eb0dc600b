#pragma once

#include "sim/BootLoaderConstants.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sparwick::sim {

// A snapshot of what the device has seen and done since it was made.
struct DeviceStatistics {
    // Command lines by letter, A to Z, over the device's life: power cycles keep them.
    std::array<std::uint32_t, isp::commandLetters> commands{};
    std::uint32_t resendsSent = 0;
    std::uint32_t xoffsSent = 0;
    // Bytes that arrived while the receive buffer was full (the host ignored XOFF).
    std::uint64_t bytesLost = 0;
    std::uint32_t powerCycles = 0;
    std::uint32_t hangUps = 0;
    std::uint32_t faultsUsed = 0;
    // Increases each time the device appears on a new pty (after a hang-up).
    std::uint32_t ptyGeneration = 0;
    // The rate the host last set on its end, if it has set a known one.
    std::optional<std::uint32_t> hostBaud;
    bool synchronized = false;
    bool echoOn = true;
    bool unlocked = false;
    // Code that G started in RAM: whether it still runs, the firmware it started in the
    // flash, or how it ran away; and the rate its UART is at.
    bool ramCodeRunning = false;
    bool firmwareStarted = false;
    std::string ramCodeFault;
    std::uint32_t ramCodeBaud = 0;
    // Its core clock, and the PLL's control and configuration as they are in effect (both
    // 0 as the boot loader leaves them).
    std::uint32_t ramCodeCoreClockHz = 0;
    std::uint32_t ramCodePllControl = 0;
    std::uint32_t ramCodePllConfig = 0;
    // Its IAP calls' sectors erased and copies to flash.
    std::uint32_t ramCodeSectorsErased = 0;
    std::uint32_t ramCodeCopies = 0;
    // With --pins: RESET (and P0.14) held low by the host, the firmware in flash running (started
    // at power-on or by a reset), and the resets the host made.
    bool resetHeld = false;
    bool ispPinLow = false;
    bool runningFirmware = false;
    std::uint32_t pinResets = 0;

    std::uint32_t commandCount(char letter) const {
        return letter >= 'A' && letter <= 'Z' ? commands[static_cast<std::size_t>(letter - 'A')]
                                              : 0;
    }
};

} // namespace sparwick::sim

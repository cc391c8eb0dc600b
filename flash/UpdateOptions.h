#pragma once

#include <cstdint>
#include <optional>

namespace sparwick {

// Choices beyond the port and the speed that change how an update talks to the device.
// The default is the update the dialog runs, byte for byte; each choice is opt-in.
struct UpdateOptions {
    // Data lines go out back to back, paced only by the line and the device's XOFF/XON;
    // the checksum after every 20 lines guards them, and a RESEND has them sent again
    // with the speed's pause after each line.
    bool fast = false;
    // After the last block is in flash and before the go, read back every byte written
    // and compare it with the image as it was sent.
    bool verify = false;
    // The line's rate in baud in place of the speed's (115200 or 19200), the rest of the
    // line settings unchanged. The pause after each data line is then the high speed's
    // above the low speed's rate, the low speed's at it and below.
    std::optional<std::uint32_t> baudRate = std::nullopt;
};

} // namespace sparwick

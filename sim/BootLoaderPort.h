#pragma once

#include <chrono>
#include <string_view>

namespace sparwick::sim {

// What the boot loader reaches of the board it runs on: the UART's transmitter, the
// adapter that can go away, and the clock that flash operations take time on.
class BootLoaderPort {
public:
    virtual ~BootLoaderPort() = default;

    virtual void transmit(std::string_view bytes) = 0;
    // The line goes away (an unplugged adapter); the device comes back power-cycled.
    virtual void hangUp() = 0;
    // The boot loader is busy for this long: it takes no input and what it transmits
    // from now on leaves only afterwards.
    virtual void busy(std::chrono::microseconds duration) = 0;
};

} // namespace sparwick::sim

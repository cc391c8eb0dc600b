#pragma once

#include <cstdint>
#include <string>

namespace sparwick::test {

// A serial line's settings as the code under test left them, seen from the device's end.
struct LineSettings {
    std::uint32_t baud = 0;
    int dataBits = 0;
    std::string parity; // "none", "even" or "odd"
    int stopBits = 0;
    bool xonXoffOutput = false; // the host stops sending on the device's XOFF
    bool xonXoffInput = false;  // the host sends XOFF itself
    bool hardwareHandshake = false;
};

} // namespace sparwick::test

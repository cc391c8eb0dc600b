#pragma once

#include <cstdint>

// The line rates of the channel's two speeds. The channel takes any other rate the
// operating system can set as well; which of them a device answers at is the device's
// business.
namespace sparwick::linerate {

inline constexpr std::uint32_t highSpeedBaud = 115200;
inline constexpr std::uint32_t lowSpeedBaud = 19200;

constexpr std::uint32_t ofSpeed(bool highSpeed) {
    return highSpeed ? highSpeedBaud : lowSpeedBaud;
}

} // namespace sparwick::linerate

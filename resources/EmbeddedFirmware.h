#pragma once

#include <cstdint>
#include <span>

namespace sparwick {

// The firmware image linked into this executable when it was built. Windows builds
// carry it as a resource of the module instead and do not have this.
std::span<const std::uint8_t> embeddedFirmware();

} // namespace sparwick

#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sparwick::cli {

// The ports of a supervised run (several --port, or --station, or --log), checked before
// anything is opened for an update.
struct PortSet {
    std::vector<std::string> ports; // as the workers take them
    std::string refusal;            // why they cannot be used; empty when they can
    bool withUsage = false;
    bool fromUsb = false; // "usb" stood for some of them: list them before starting
};

// Each argument is a port as --port takes it, or "usb" for every USB serial port present.
// The same device named twice (the same path, a COM name and its device, a udev link) is
// refused, and so is a port that could not be used on its own; for a station, which tries
// a busy port again until it is free, all but a busy one.
PortSet choosePorts(const std::vector<std::string>& arguments, bool station = false);

// The first two of ports that are one device by identityOf, by their indices.
std::optional<std::pair<std::size_t, std::size_t>>
firstDuplicate(const std::vector<std::string>& ports,
               const std::function<std::string(const std::string&)>& identityOf);

} // namespace sparwick::cli

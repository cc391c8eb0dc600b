#pragma once

#include <string>

namespace sparwick::sim {

// The symbolic link that the host opens: it follows the device from one pseudo-terminal
// to the next, as a udev link follows an adapter that is plugged in again.
class DeviceLink {
public:
    // Takes over path: a stale link there is replaced later; anything else there, or a
    // missing directory, is refused with std::invalid_argument.
    explicit DeviceLink(std::string path);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    const std::string& path() const { return linkPath; }
    // Points the link at target in one step; std::system_error when it cannot.
    void pointTo(const std::string& target);
    // Removes the link, as long as it still points where this object put it.
    void remove();

private:
    std::string linkPath;
    std::string target;
};

} // namespace sparwick::sim

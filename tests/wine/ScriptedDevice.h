#pragma once

#include "tests/support/LineSettings.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace sparwick::test {

// The far end of a COM port under Wine: a device on the Linux side (scripted_device.py)
// that answers as it is told over a second COM port, its control line. The data line
// carries only what a device would see.
class ScriptedDevice {
public:
    explicit ScriptedDevice(const std::string& controlPort);
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    // Sends bytes towards the host at once.
    void send(std::string_view bytes);
    // Sends first, then after pause the rest, while the caller goes on.
    void sendWithPause(std::string_view first, std::chrono::milliseconds pause,
                       std::string_view rest);
    // What the host sent: up to count bytes, waiting at most within for them.
    std::string received(std::size_t count, std::chrono::milliseconds within);
    // How many bytes the host's end holds unread, once it holds count or within has passed.
    std::size_t queued(std::size_t count, std::chrono::milliseconds within);
    // The line as the host's settings left it.
    LineSettings lineSettings();

private:
    std::string command(const std::string& line);

    void* control; // the control line's HANDLE
};

} // namespace sparwick::test

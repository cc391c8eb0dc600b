#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sparwick::test {

// The far end of a COM port under Wine: a device on the Linux side (scripted_device.py)
// that answers as it is told over a second COM port, its control line. The data line
// carries only what a device would see.
class ScriptedDevice {
public:
    struct LineSettings {
        std::uint32_t baud = 0;
        int dataBits = 0;
        std::string parity;
        int stopBits = 0;
        bool xonXoffOutput = false; // the host stops sending on the device's XOFF
        bool xonXoffInput = false;  // the host sends XOFF itself
        bool hardwareHandshake = false;
    };

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
    // The line as the host's settings left it.
    LineSettings lineSettings();

private:
    std::string command(const std::string& line);

    void* control; // the control line's HANDLE
};

} // namespace sparwick::test

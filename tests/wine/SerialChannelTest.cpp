// The serial channel on the Win32 calls, run under Wine with its COM ports plugged into
// pseudo-terminals: the contract every channel keeps (tests/support/SerialChannelContract.cpp),
// the same cases as the Linux channel's. The ports are plugged in by tests/wine/run.py as
// tests/wine/CMakeLists.txt says.
#include "tests/support/SerialChannelHarness.h"
#include "tests/wine/ScriptedDevice.h"

#include <memory>

namespace sparwick::test {
namespace {

// A scripted device, its control line, a name with nothing behind it, and a regular file.
constexpr const char* devicePortName = SPARWICK_WINE_DEVICE_PORT;
constexpr const char* controlPortName = SPARWICK_WINE_CONTROL_PORT;
constexpr const char* absentPortName = SPARWICK_WINE_ABSENT_PORT;
constexpr const char* notSerialPortName = SPARWICK_WINE_FILE_PORT;

// The device stays for the whole program, as its control line does; every case talks to it
// through a harness of its own.
ScriptedDevice& device() {
    static ScriptedDevice scripted(controlPortName);
    return scripted;
}

class ScriptedDeviceHarness : public SerialChannelHarness {
public:
    std::string devicePort() const override { return devicePortName; }
    std::string absentPort() const override { return absentPortName; }
    std::string notSerialPort() const override { return notSerialPortName; }

    void send(std::string_view bytes) override { device().send(bytes); }
    void sendWithPause(std::string_view first, std::chrono::milliseconds pause,
                       std::string_view rest) override {
        device().sendWithPause(first, pause, rest);
    }
    bool hostHolds(std::size_t count, std::chrono::milliseconds within) override {
        return device().queued(count, within) >= count;
    }
    std::string received(std::size_t count, std::chrono::milliseconds within) override {
        return device().received(count, within);
    }
    LineSettings lineSettings() override { return device().lineSettings(); }
};

} // namespace

std::unique_ptr<SerialChannelHarness> makeSerialChannelHarness() {
    return std::make_unique<ScriptedDeviceHarness>();
}

} // namespace sparwick::test

#pragma once

#include "serial/OsalSerialPort.h"
#include "tests/support/LineSettings.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sparwick::test {

// What the serial channel's contract (SerialChannelContract.cpp) needs around the channel:
// three COM names and the device end of the first. Each test program that runs the
// contract gives one of its own: a pseudo-terminal on Linux, a scripted device behind a
// COM port under Wine. One is made for each case and dropped after it.
class SerialChannelHarness {
public:
    virtual ~SerialChannelHarness() = default;

    // A name with a device behind it.
    virtual std::string devicePort() const = 0;
    // A name with nothing behind it: it does not open.
    virtual std::string absentPort() const = 0;
    // A name that opens, but as a regular file with no line settings.
    virtual std::string notSerialPort() const = 0;

    // Sends bytes to the host at once.
    virtual void send(std::string_view bytes) = 0;
    // Sends first, then after pause the rest, while the caller goes on.
    virtual void sendWithPause(std::string_view first, std::chrono::milliseconds pause,
                               std::string_view rest) = 0;
    // Whether the host's end holds count bytes not yet read, waiting at most within: the
    // bytes cross the line on the operating system's time, not the test's.
    virtual bool hostHolds(std::size_t count, std::chrono::milliseconds within) = 0;
    // What the host sent: up to count bytes, waiting at most within for them.
    virtual std::string received(std::size_t count, std::chrono::milliseconds within) = 0;
    // The line as the host's settings left it.
    virtual LineSettings lineSettings() = 0;
};

// The harness of the test program at hand.
std::unique_ptr<SerialChannelHarness> makeSerialChannelHarness();

// One read of the channel: what it gave, up to wanted bytes (at most 256); its result in ok.
inline std::string readChannel(OsalSerialPort& port, std::int32_t wanted, std::uint32_t timeoutMs,
                               bool* ok = nullptr) {
    char buffer[256];
    std::uint32_t got = 0;
    const bool result = port.read(buffer, got, wanted, timeoutMs);
    if (ok) {
        *ok = result;
    }
    return std::string(buffer, got);
}

} // namespace sparwick::test

#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace sparwick::sim::test {

// A host reduced to raw bytes: opens the device's link as a serial port (raw, and without
// IXON, so that the device's XOFF and XON show up in what it reads) and sends and reads
// protocol text. Every read has a deadline.
class IspTestClient {
public:
    explicit IspTestClient(const std::string& path);
    ~IspTestClient();
    IspTestClient(const IspTestClient&) = delete;
    IspTestClient& operator=(const IspTestClient&) = delete;

    void send(std::string_view bytes);
    // Up to count bytes, fewer when the timeout passes first.
    std::string read(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds{1000});
    // Whatever has arrived, as soon as something has.
    std::string readSome(std::chrono::milliseconds timeout);
    // Everything until nothing has arrived for quiet (or the limit has passed).
    std::string readUntilQuiet(std::chrono::milliseconds quiet = std::chrono::milliseconds{100},
                               std::chrono::milliseconds limit = std::chrono::milliseconds{5000});
    // Sends bytes and returns all that comes back until the line has been quiet a while:
    // for replies shorter than a whole one, and for silence.
    std::string collect(std::string_view bytes,
                        std::chrono::milliseconds quiet = std::chrono::milliseconds{150});
    // Sends a line and reads as many bytes as expected has; the test compares.
    std::string exchange(std::string_view line, std::string_view expected);
    // The handshake up to commands, echo turned off when echoOff.
    void synchronize(bool echoOff = true);
    void unlock();
    bool hungUp() const { return hangUpSeen; }
    // The rate this end of the line is set to (B9600, B115200, ...).
    void setSpeed(unsigned speed);

private:
    int fd = -1;
    bool hangUpSeen = false;
};

} // namespace sparwick::sim::test

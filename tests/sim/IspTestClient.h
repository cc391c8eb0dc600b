#pragma once

#include "tests/support/FarEnd.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace sparwick::sim::test {

// A host reduced to raw bytes on the device's link (the tests' far end, opened on the
// link's path) and a little protocol text: the exchanges, the handshake, the unlock.
// Every read has a deadline.
class IspTestClient {
public:
    explicit IspTestClient(const std::string& path)
        : line(path) {}

    void send(std::string_view bytes) { line.send(bytes); }
    // Up to count bytes, fewer when the timeout passes first.
    std::string read(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds{1000}) {
        return line.receive(count, timeout);
    }
    // Whatever has arrived, as soon as something has.
    std::string readSome(std::chrono::milliseconds timeout) { return line.receiveSome(timeout); }
    // Everything until nothing has arrived for quiet (or the limit has passed).
    std::string readUntilQuiet(std::chrono::milliseconds quiet = std::chrono::milliseconds{100},
                               std::chrono::milliseconds limit = std::chrono::milliseconds{5000}) {
        return line.receiveUntilQuiet(quiet, limit);
    }
    // Sends bytes and returns all that comes back until the line has been quiet a while:
    // for replies shorter than a whole one, and for silence.
    std::string collect(std::string_view bytes,
                        std::chrono::milliseconds quiet = std::chrono::milliseconds{150});
    // Sends a line and reads as many bytes as expected has; the test compares.
    std::string exchange(std::string_view text, std::string_view expected);
    // The handshake up to commands, echo turned off when echoOff.
    void synchronize(bool echoOff = true);
    void unlock();
    bool hungUp() const { return line.hungUp(); }
    // The rate this end of the line is set to (B9600, B115200, ...).
    void setSpeed(unsigned speed) { line.setSpeed(speed); }

private:
    sparwick::test::FarEnd line;
};

} // namespace sparwick::sim::test

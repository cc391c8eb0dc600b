#pragma once

#include "tests/support/LineSettings.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace sparwick::test {

// The test's own end of a serial line: raw bytes, and a deadline on every wait.
//
// Made without a path, it is a new pseudo-terminal: the code under test opens its device
// end (the slave) by path and the test drives the other end. The test keeps a slave
// descriptor of its own open, so that the far end does not see a hang-up each time the
// code under test closes, and so that it can see the line as the code under test set it.
//
// Made with a path, it opens a terminal that exists already (a simulated device's link) as
// a host does, raw and without IXON, so that the device's XOFF and XON show up in what is
// received.
class FarEnd {
public:
    FarEnd();
    explicit FarEnd(const std::string& path);
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // The path the code under test opens (a new pseudo-terminal's slave).
    const std::string& devicePath() const { return slavePath; }

    // Gives up after a few seconds of a line that takes nothing.
    void send(std::string_view bytes);
    // Up to count bytes, fewer when the timeout passes first or the line hangs up.
    std::string receive(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds{1000});
    // Whatever has arrived, as soon as something has.
    std::string receiveSome(std::chrono::milliseconds timeout);
    // Everything until nothing has arrived for quiet (or the limit has passed).
    std::string receiveUntilQuiet(std::chrono::milliseconds quiet,
                                  std::chrono::milliseconds limit = std::chrono::milliseconds{
                                      5000});
    // Closes this end, as an unplugged adapter does.
    void hangUp();
    // Whether the other end has gone (a pseudo-terminal's slave closed, a device ended).
    bool hungUp() const { return hangUpSeen; }

    // The rate this end of the line is set to (B9600, B115200, ...).
    void setSpeed(unsigned speed);
    // The line as the code under test set it (a new pseudo-terminal only).
    LineSettings lineSettings() const;
    // Bytes sent that the code under test has not read yet (a new pseudo-terminal only).
    std::size_t unread() const;

private:
    int fd = -1;
    int slave = -1;
    std::string slavePath;
    bool hangUpSeen = false;
};

} // namespace sparwick::test

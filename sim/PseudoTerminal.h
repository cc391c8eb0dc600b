#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sparwick::sim {

// The device's end of a pseudo-terminal. The host opens the slave by path; the device
// reads and writes the master, and keeps a slave descriptor of its own open all the
// time: without it the master reads EIO whenever the host closes its end, and the line
// settings the host makes are only visible through the slave.
class PseudoTerminal {
public:
    // std::system_error when no pseudo-terminal can be made.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int master() const { return masterFd; }
    const std::string& slavePath() const { return path; }

    struct LineSettings {
        std::uint32_t baud = 0;
        std::uint32_t bitsPerByte = 10; // start, data, parity and stop bits
    };
    // What the host has set on its end, if it can be read.
    std::optional<LineSettings> lineSettings() const;
    // Whether the host's end stops its output on XOFF (IXON); true when it cannot be read.
    bool hostHonoursXoff() const;
    // Bytes the device has sent that the host has not read yet.
    std::size_t unreadByHost() const;

private:
    int masterFd = -1;
    int slaveFd = -1;
    std::string path;
};

} // namespace sparwick::sim

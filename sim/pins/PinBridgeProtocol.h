#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// How the pin bridge library, in the host's process, passes the modem-line calls made on
// a pseudo-terminal to the simulated device at its far end: one request and one reply
// over a SOCK_SEQPACKET connection to an abstract Unix socket named after the pty's path.
// An abstract name vanishes with the device, so a stale one can never answer.
namespace sparwick::sim::pinbridge {

inline constexpr std::string_view socketPrefix = "lpcsim-pins:";

// The abstract name (without its leading zero byte) for the pty at ptyPath.
inline std::string socketName(std::string_view ptyPath) {
    return std::string(socketPrefix) + std::string(ptyPath);
}

// The modem-line ioctl asked for; the bits are the kernel's TIOCM_* values.
enum class Operation : std::uint8_t {
    get = 'G', // TIOCMGET
    set = 'S', // TIOCMSET
    bis = 'B', // TIOCMBIS
    bic = 'C', // TIOCMBIC
};

struct Request {
    Operation operation;
    std::int32_t bits;
};

// The lines as they are after the request.
struct Reply {
    std::int32_t bits;
};

} // namespace sparwick::sim::pinbridge

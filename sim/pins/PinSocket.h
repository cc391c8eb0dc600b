#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sparwick::sim {

// The device's end of the pin bridge: a listening socket for the pty at ptyPath, whose
// requests change the modem lines the host drives.
class PinSocket {
public:
    // std::system_error when the socket cannot be made (another device serves this pty).
    explicit PinSocket(const std::string& ptyPath);
    ~PinSocket();
    PinSocket(const PinSocket&) = delete;
    PinSocket& operator=(const PinSocket&) = delete;

    int fd() const { return listening; }
    // Answers one waiting request: apply takes the lines the host asks for (TIOCM_* bits)
    // and the reply carries them back once applied. Returns at once when nobody waits.
    void serveOne(std::int32_t& lines, const std::function<void(std::int32_t)>& apply);

private:
    int listening = -1;
};

} // namespace sparwick::sim

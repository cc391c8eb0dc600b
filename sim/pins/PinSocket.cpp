#include "sim/pins/PinSocket.h"

#include "sim/pins/PinBridgeProtocol.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace sparwick::sim {
namespace {

// A client sends its request right after it connects; one that does not is dropped.
constexpr int requestWaitMs = 200;
constexpr std::int32_t drivenLines = TIOCM_DTR | TIOCM_RTS;

} // namespace

PinSocket::PinSocket(const std::string& ptyPath) {
    const std::string name = pinbridge::socketName(ptyPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address.sun_path) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "pin socket");
    }
    // Abstract: the first byte of the path is zero.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    listening = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listening < 0 || ::bind(listening, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listening, 4) != 0) {
        const int error = errno;
        if (listening >= 0) {
            ::close(listening);
        }
        throw std::system_error(error, std::generic_category(), "pin socket");
    }
}

PinSocket::~PinSocket() {
    ::close(listening);
}

void PinSocket::serveOne(std::int32_t& lines, const std::function<void(std::int32_t)>& apply) {
    const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        return;
    }
    pollfd wait{client, POLLIN, 0};
    pinbridge::Request request{};
    if (::poll(&wait, 1, requestWaitMs) == 1 &&
        ::recv(client, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
        std::int32_t wanted = lines;
        switch (request.operation) {
        case pinbridge::Operation::get:
            break;
        case pinbridge::Operation::set:
            wanted = request.bits & drivenLines;
            break;
        case pinbridge::Operation::bis:
            wanted = lines | (request.bits & drivenLines);
            break;
        case pinbridge::Operation::bic:
            wanted = lines & ~request.bits;
            break;
        }
        if (wanted != lines) {
            apply(wanted);
            lines = wanted;
        }
        const pinbridge::Reply reply{lines};
        ::send(client, &reply, sizeof reply, MSG_NOSIGNAL);
    }
    ::close(client);
}

} // namespace sparwick::sim

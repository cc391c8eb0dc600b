// The pin bridge: a library preloaded into a host program (LD_PRELOAD) that gives a
// pseudo-terminal the modem lines it lacks. The kernel answers the modem-line ioctls on a
// pty with ENOTTY; where an lpcsim started with --pins serves the pty's far end, the call
// is passed to it instead, and the simulated part's RESET and P0.14 follow DTR and RTS.
// Every other call, and every call on any other descriptor, goes to the C library as it
// came. Only async-signal-safe calls are made: a host releases its lines from a signal
// handler.
#include "sim/pins/PinBridgeProtocol.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace sparwick::sim;

using IoctlFunction = int (*)(int, unsigned long, ...);

// Resolved when the library is loaded, not inside a signal handler.
IoctlFunction nextIoctl = nullptr;

[[gnu::constructor]] void findNextIoctl() {
    nextIoctl = reinterpret_cast<IoctlFunction>(::dlsym(RTLD_NEXT, "ioctl"));
}

// How long the device may take to answer: it serves the request between two turns of its
// line, well within this.
constexpr int replyWaitMs = 2000;

bool modemLineRequest(unsigned long request, pinbridge::Operation& operation) {
    switch (request) {
    case TIOCMGET:
        operation = pinbridge::Operation::get;
        return true;
    case TIOCMSET:
        operation = pinbridge::Operation::set;
        return true;
    case TIOCMBIS:
        operation = pinbridge::Operation::bis;
        return true;
    case TIOCMBIC:
        operation = pinbridge::Operation::bic;
        return true;
    default:
        return false;
    }
}

// The request passed to the device serving fd's pty; false when none does.
bool bridge(int fd, pinbridge::Operation operation, int* bits) {
    std::array<char, 64> procPath{};
    std::array<char, 108> ptyPath{};
    // "/proc/self/fd/N" without snprintf, which is not async-signal-safe.
    constexpr std::string_view prefix = "/proc/self/fd/";
    std::memcpy(procPath.data(), prefix.data(), prefix.size());
    std::array<char, 16> digits{};
    std::size_t count = 0;
    for (unsigned value = static_cast<unsigned>(fd); count == 0 || value != 0; value /= 10) {
        digits[count++] = static_cast<char>('0' + value % 10);
    }
    for (std::size_t i = 0; i < count; ++i) {
        procPath[prefix.size() + i] = digits[count - 1 - i];
    }
    const ssize_t length = ::readlink(procPath.data(), ptyPath.data(), ptyPath.size() - 1);
    if (length <= 0 ||
        std::string_view(ptyPath.data(), static_cast<std::size_t>(length)).rfind("/dev/pts/", 0) !=
            0) {
        return false;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t nameLength =
        pinbridge::socketPrefix.size() + static_cast<std::size_t>(length);
    if (nameLength + 1 > sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path + 1, pinbridge::socketPrefix.data(),
                pinbridge::socketPrefix.size());
    std::memcpy(address.sun_path + 1 + pinbridge::socketPrefix.size(), ptyPath.data(),
                static_cast<std::size_t>(length));
    const auto addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nameLength);

    const int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return false;
    }
    bool answered = false;
    const pinbridge::Request request{operation, bits != nullptr ? *bits : 0};
    pinbridge::Reply reply{};
    pollfd wait{socket, POLLIN, 0};
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), addressLength) == 0 &&
        ::send(socket, &request, sizeof request, MSG_NOSIGNAL) ==
            static_cast<ssize_t>(sizeof request) &&
        ::poll(&wait, 1, replyWaitMs) == 1 &&
        ::recv(socket, &reply, sizeof reply, 0) == static_cast<ssize_t>(sizeof reply)) {
        answered = true;
        if (operation == pinbridge::Operation::get && bits != nullptr) {
            *bits = reply.bits;
        }
    }
    ::close(socket);
    return answered;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (nextIoctl == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int result = nextIoctl(fd, request, argument);
    pinbridge::Operation operation{};
    if (result == 0 || (errno != ENOTTY && errno != EINVAL) ||
        !modemLineRequest(request, operation)) {
        return result;
    }
    const int error = errno;
    if (bridge(fd, operation, static_cast<int*>(argument))) {
        return 0;
    }
    errno = error;
    return result;
}

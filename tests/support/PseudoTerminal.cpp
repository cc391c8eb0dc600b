#include "tests/support/PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace sparwick::test {

PseudoTerminal::PseudoTerminal() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slavePath = ::ptsname(master);
    slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        throw std::runtime_error("cannot open " + slavePath);
    }
    // Raw from the start, so that nothing sent before the code under test configures the
    // line is echoed or cooked.
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal() {
    hangUp();
    if (slave >= 0) {
        ::close(slave);
    }
}

void PseudoTerminal::send(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size() && master >= 0) {
        ssize_t n = ::write(master, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd pfd{master, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        }
    }
}

std::string PseudoTerminal::receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && master >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = ::read(master, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return got;
}

std::string PseudoTerminal::receiveUntilQuiet(std::chrono::milliseconds quiet) {
    std::string got;
    for (;;) {
        std::string more = receive(4096, quiet);
        if (more.empty()) {
            return got;
        }
        got += more;
    }
}

void PseudoTerminal::hangUp() {
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
}

} // namespace sparwick::test

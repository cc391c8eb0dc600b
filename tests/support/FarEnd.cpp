#include "tests/support/FarEnd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace sparwick::test {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds a send to a line that takes nothing, so that no test hangs on it.
constexpr std::chrono::seconds sendLimit{5};

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::uint32_t baudOf(speed_t speed) {
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

int dataBitsOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

FarEnd::FarEnd() {
    fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slavePath = ::ptsname(fd);
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
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

FarEnd::FarEnd(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + path);
    }
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &settings);
    ::tcflush(fd, TCIOFLUSH);
}

FarEnd::~FarEnd() {
    hangUp();
    if (slave >= 0) {
        ::close(slave);
    }
}

void FarEnd::send(std::string_view bytes) {
    const Clock::time_point deadline = Clock::now() + sendLimit;
    while (!bytes.empty() && fd >= 0) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            hangUpSeen = true;
            return;
        }
        pollfd p{fd, POLLOUT, 0};
        if (Clock::now() >= deadline || ::poll(&p, 1, remainingMs(deadline)) < 0) {
            return;
        }
    }
}

std::string FarEnd::receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::string data;
    const Clock::time_point deadline = Clock::now() + timeout;
    while (data.size() < count && fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        if ((p.revents & POLLIN) == 0) {
            hangUpSeen = (p.revents & (POLLHUP | POLLERR)) != 0;
            break;
        }
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, count - data.size()));
        if (got > 0) {
            data.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            hangUpSeen = true;
            break;
        }
    }
    return data;
}

std::string FarEnd::receiveSome(std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || ::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 ||
        (p.revents & POLLIN) == 0) {
        return {};
    }
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

std::string FarEnd::receiveUntilQuiet(std::chrono::milliseconds quiet,
                                      std::chrono::milliseconds limit) {
    std::string data;
    const Clock::time_point end = Clock::now() + limit;
    while (Clock::now() < end) {
        const std::string more = receive(4096, quiet);
        if (more.empty()) {
            break;
        }
        data += more;
    }
    return data;
}

void FarEnd::hangUp() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void FarEnd::setSpeed(unsigned speed) {
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::cfsetspeed(&settings, static_cast<speed_t>(speed));
    ::tcsetattr(fd, TCSANOW, &settings);
}

LineSettings FarEnd::lineSettings() const {
    termios tio{};
    ::tcgetattr(slave, &tio);
    LineSettings line;
    line.baud = baudOf(::cfgetospeed(&tio));
    line.dataBits = dataBitsOf(tio.c_cflag);
    line.parity = (tio.c_cflag & PARENB) == 0 ? "none" : (tio.c_cflag & PARODD) ? "odd" : "even";
    line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    line.xonXoffOutput = (tio.c_iflag & IXON) != 0;
    line.xonXoffInput = (tio.c_iflag & IXOFF) != 0;
    line.hardwareHandshake = (tio.c_cflag & CRTSCTS) != 0;
    return line;
}

std::size_t FarEnd::unread() const {
    int queued = 0;
    if (::ioctl(slave, FIONREAD, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
}

} // namespace sparwick::test

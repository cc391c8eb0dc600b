#include "IspTestClient.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace sparwick::sim::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

IspTestClient::IspTestClient(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + path);
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &settings);
    tcflush(fd, TCIOFLUSH);
}

IspTestClient::~IspTestClient() {
    ::close(fd);
}

void IspTestClient::send(std::string_view bytes) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds{5};
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno != EAGAIN) {
            hangUpSeen = true;
            return;
        }
        pollfd p{fd, POLLOUT, 0};
        if (Clock::now() >= deadline || ::poll(&p, 1, remainingMs(deadline)) <= 0) {
            return;
        }
    }
}

std::string IspTestClient::read(std::size_t count, std::chrono::milliseconds timeout) {
    std::string data;
    const Clock::time_point deadline = Clock::now() + timeout;
    while (data.size() < count) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready <= 0) {
            break;
        }
        if ((p.revents & POLLIN) == 0) {
            hangUpSeen = (p.revents & (POLLHUP | POLLERR)) != 0;
            break;
        }
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, count - data.size()));
        if (got <= 0) {
            hangUpSeen = got == 0 || errno == EIO;
            if (hangUpSeen) {
                break;
            }
            continue;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

std::string IspTestClient::readSome(std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 || (p.revents & POLLIN) == 0) {
        return {};
    }
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

std::string IspTestClient::readUntilQuiet(std::chrono::milliseconds quiet,
                                          std::chrono::milliseconds limit) {
    std::string data;
    const Clock::time_point end = Clock::now() + limit;
    while (Clock::now() < end) {
        const std::string more = read(4096, quiet);
        if (more.empty()) {
            break;
        }
        data += more;
    }
    return data;
}

std::string IspTestClient::collect(std::string_view bytes, std::chrono::milliseconds quiet) {
    send(bytes);
    return readUntilQuiet(quiet);
}

void IspTestClient::setSpeed(unsigned speed) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfsetspeed(&settings, static_cast<speed_t>(speed));
    tcsetattr(fd, TCSANOW, &settings);
}

std::string IspTestClient::exchange(std::string_view line, std::string_view expected) {
    send(line);
    return read(expected.size());
}

void IspTestClient::synchronize(bool echoOff) {
    const auto check = [](const std::string& got, std::string_view want) {
        if (got != want) {
            throw std::runtime_error("handshake: got '" + got + "'");
        }
    };
    check(exchange("?", "Synchronized\r\n"), "Synchronized\r\n");
    check(exchange("Synchronized\r\n", "Synchronized\r\nOK\r\n"), "Synchronized\r\nOK\r\n");
    check(exchange("14746\r\n", "14746\r\nOK\r\n"), "14746\r\nOK\r\n");
    if (echoOff) {
        check(exchange("A 0\r\n", "A 0\r\n0\r\n"), "A 0\r\n0\r\n");
    }
}

void IspTestClient::unlock() {
    if (exchange("U 23130\r\n", "0\r\n") != "0\r\n") {
        throw std::runtime_error("unlock refused");
    }
}

} // namespace sparwick::sim::test

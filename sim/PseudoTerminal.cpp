#include "sim/PseudoTerminal.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace sparwick::sim {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

constexpr std::array<std::pair<speed_t, std::uint32_t>, 30> speeds = {{
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
}};

} // namespace

PseudoTerminal::PseudoTerminal() {
    masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd < 0) {
        fail("posix_openpt");
    }
    std::array<char, 128> name{};
    if (grantpt(masterFd) != 0 || unlockpt(masterFd) != 0 ||
        ptsname_r(masterFd, name.data(), name.size()) != 0) {
        const int error = errno;
        ::close(masterFd);
        errno = error;
        fail("pseudo-terminal set-up");
    }
    path = name.data();
    slaveFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (slaveFd < 0 || tcgetattr(slaveFd, &settings) != 0) {
        const int error = errno;
        if (slaveFd >= 0) {
            ::close(slaveFd);
        }
        ::close(masterFd);
        errno = error;
        fail("pseudo-terminal slave");
    }
    // Raw until the host sets its own: a cooked slave would echo the device's output back
    // into its input before anyone has opened the port.
    cfmakeraw(&settings);
    tcsetattr(slaveFd, TCSANOW, &settings);
    const int flags = fcntl(masterFd, F_GETFL);
    fcntl(masterFd, F_SETFL, flags | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal() {
    ::close(slaveFd);
    ::close(masterFd);
}

std::optional<PseudoTerminal::LineSettings> PseudoTerminal::lineSettings() const {
    termios settings{};
    if (tcgetattr(slaveFd, &settings) != 0) {
        return std::nullopt;
    }
    LineSettings line;
    const speed_t speed = cfgetospeed(&settings);
    for (const auto& [code, baud] : speeds) {
        if (code == speed) {
            line.baud = baud;
        }
    }
    if (line.baud == 0) {
        return std::nullopt;
    }
    std::uint32_t dataBits = 8;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        dataBits = 5;
        break;
    case CS6:
        dataBits = 6;
        break;
    case CS7:
        dataBits = 7;
        break;
    default:
        break;
    }
    line.bitsPerByte = 1 + dataBits + ((settings.c_cflag & PARENB) != 0 ? 1 : 0) +
                       ((settings.c_cflag & CSTOPB) != 0 ? 2 : 1);
    return line;
}

bool PseudoTerminal::hostHonoursXoff() const {
    termios settings{};
    return tcgetattr(slaveFd, &settings) != 0 || (settings.c_iflag & IXON) != 0;
}

std::size_t PseudoTerminal::unreadByHost() const {
    int pending = 0;
    if (ioctl(slaveFd, FIONREAD, &pending) != 0 || pending < 0) {
        return 0;
    }
    return static_cast<std::size_t>(pending);
}

} // namespace sparwick::sim

#include "cli/TerminalPath.h"

#include "serial/posix/ExclusiveUse.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sparwick::cli {
namespace {

// Whether fd is the same terminal device as one of the standard streams.
bool sharesDeviceWithStandardStream(const struct stat& device) {
    if (!S_ISCHR(device.st_mode)) {
        return false;
    }
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        struct stat streamDevice {};
        if (::fstat(stream, &streamDevice) == 0 && S_ISCHR(streamDevice.st_mode) &&
            streamDevice.st_rdev == device.st_rdev) {
            return true;
        }
    }
    return false;
}

} // namespace

PortPath examinePortPath(const std::string& path) {
    // Opened as the channel opens it, so that every reason it would meet shows up here.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case EACCES:
        case EPERM:
            return PortPath::permissionDenied;
        case EBUSY: // another program set TIOCEXCL
            return PortPath::busy;
        default:
            return PortPath::notTerminal;
        }
    }
    PortPath result = PortPath::terminal;
    struct stat device {};
    if (::isatty(fd) != 1) {
        result = PortPath::notTerminal;
    } else if (::tcgetsid(fd) == ::getsid(0) ||
               (::fstat(fd, &device) == 0 && sharesDeviceWithStandardStream(device))) {
        // /dev/tty and /proc/self/fd/N lead to our own terminal under other names.
        result = PortPath::ownTerminal;
    } else if (serialsys::takenForExclusiveUse(fd)) {
        result = PortPath::busy; // a terminal program, opened all the same by root
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result = PortPath::busy; // another update holds it
    }
    ::close(fd);
    return result;
}

bool isStandardStreamDevice(const std::string& path) {
    struct stat device {};
    return ::stat(path.c_str(), &device) == 0 && sharesDeviceWithStandardStream(device);
}

bool namesFileHere(const std::string& name) {
    struct stat file {};
    return !name.empty() && ::lstat(name.c_str(), &file) == 0;
}

const char* otherPortsHint() {
    return "any other port is given by its device path, such as /dev/ttyUSB0";
}

} // namespace sparwick::cli

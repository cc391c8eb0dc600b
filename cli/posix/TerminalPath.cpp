#include "cli/TerminalPath.h"

#include "serial/DeviceNames.h"
#include "serial/posix/ExclusiveUse.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

namespace sparwick::cli {

std::string deviceIdentity(const std::string& path) {
    struct stat device {};
    if (::stat(path.c_str(), &device) == 0 && S_ISCHR(device.st_mode)) {
        return "device " + std::to_string(major(device.st_rdev)) + ":" +
               std::to_string(minor(device.st_rdev));
    }
    std::error_code ignored;
    return "path " + std::filesystem::weakly_canonical(path, ignored).string();
}

std::vector<std::string> usbSerialPorts() {
    // USB serial adapters (ttyUSB) first, then CDC ACM devices, each by number.
    std::vector<std::pair<std::pair<int, int>, std::string>> found;
    std::error_code error;
    const std::array<std::string_view, 2> families{"ttyUSB", "ttyACM"};
    for (const auto& entry : std::filesystem::directory_iterator(deviceDirectory(), error)) {
        const std::string name = entry.path().filename().string();
        for (std::size_t family = 0; family < families.size(); ++family) {
            const std::string_view prefix = families[family];
            const std::string digits = name.substr(std::min(name.size(), prefix.size()));
            if (name.starts_with(prefix) && !digits.empty() &&
                digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 6) {
                found.push_back(
                    {{static_cast<int>(family), std::stoi(digits)}, entry.path().string()});
            }
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> ports;
    for (const auto& [order, path] : found) {
        ports.push_back(path);
    }
    return ports;
}

} // namespace sparwick::cli

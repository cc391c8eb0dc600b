#include "cli/PortSettings.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace sparwick::cli {

struct PortSettings::Saved {
    termios settings{};
};

namespace {

// Opened without waiting for a carrier and without becoming the controlling terminal; a
// port held for exclusive use refuses this as it refuses the workers.
int openQuietly(const std::string& device) {
    return ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

PortSettings::PortSettings() = default;
PortSettings::~PortSettings() = default;
PortSettings::PortSettings(PortSettings&&) noexcept = default;
PortSettings& PortSettings::operator=(PortSettings&&) noexcept = default;

void PortSettings::take(const std::string& device) {
    if (saved) {
        return;
    }
    const int fd = openQuietly(device);
    if (fd < 0) {
        return;
    }
    auto found = std::make_unique<Saved>();
    if (::tcgetattr(fd, &found->settings) == 0) {
        saved = std::move(found);
    }
    ::close(fd);
}

void PortSettings::restore(const std::string& device) const {
    if (!saved) {
        return;
    }
    const int fd = openQuietly(device);
    if (fd < 0) {
        return;
    }
    ::tcsetattr(fd, TCSANOW, &saved->settings);
    ::close(fd);
}

} // namespace sparwick::cli

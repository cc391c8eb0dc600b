#include "sim/DeviceLink.h"

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace sparwick::sim {

DeviceLink::DeviceLink(std::string path)
    : linkPath(std::move(path)) {
    if (linkPath.empty()) {
        throw std::invalid_argument("the link path is empty");
    }
    struct stat info {};
    if (lstat(linkPath.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        throw std::invalid_argument(linkPath + " exists and is not a symbolic link");
    }
    const std::filesystem::path parent = std::filesystem::path(linkPath).parent_path();
    std::error_code error;
    if (!parent.empty() && !std::filesystem::is_directory(parent, error)) {
        throw std::invalid_argument("no directory " + parent.string() + " for the link " +
                                    linkPath);
    }
}

DeviceLink::~DeviceLink() {
    remove();
}

void DeviceLink::pointTo(const std::string& newTarget) {
    // A link beside the final one, renamed over it: the host never finds the path
    // missing or half made while the device moves.
    const std::string temporary = linkPath + ".new-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(newTarget.c_str(), temporary.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot make link " + temporary);
    }
    if (::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "cannot make link " + linkPath);
    }
    target = newTarget;
}

void DeviceLink::remove() {
    if (target.empty()) {
        return;
    }
    std::error_code error;
    if (std::filesystem::is_symlink(linkPath, error) &&
        std::filesystem::read_symlink(linkPath, error) == target) {
        std::filesystem::remove(linkPath, error);
    }
    target.clear();
}

} // namespace sparwick::sim

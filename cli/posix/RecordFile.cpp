#include "cli/RecordFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sparwick::cli {

RecordFile::~RecordFile() {
    if (fd >= 0) {
        ::close(fd);
    }
}

std::string RecordFile::open(const std::string& path) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        return std::strerror(errno);
    }
    // A terminal or a pipe would take the lines but keep nothing.
    struct stat file {};
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        ::close(fd);
        fd = -1;
        return "not a regular file";
    }
    return {};
}

std::string RecordFile::append(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? std::strerror(errno) : "nothing written";
        }
        done += static_cast<std::size_t>(n);
    }
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return std::strerror(errno);
        }
    }
    return {};
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

} // namespace sparwick::cli

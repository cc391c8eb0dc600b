#include "cli/TerminalPath.h"

#include <fcntl.h>
#include <unistd.h>

namespace sparwick::cli {

bool isTerminalPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal;
}

} // namespace sparwick::cli

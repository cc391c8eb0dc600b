#include "cli/ProcessSetup.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace sparwick::cli {

void prepareProcess() {
    // open() takes the lowest free descriptor, so each closed one of 0, 1 and 2 is filled
    // in turn; /dev/null swallows what is written there.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                ::dup2(null, fd);
                ::close(null);
            }
        }
    }
    // A write to a pipe without a reader now fails with EPIPE; the printing of progress and
    // messages goes on without it.
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace sparwick::cli

#include <filesystem>

namespace sparwick::cli {

std::string ownExecutable() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

} // namespace sparwick::cli

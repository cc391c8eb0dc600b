#include "serial/posix/ExclusiveUse.h"

#include <dirent.h>
#include <fstream>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sparwick::serialsys {
namespace {

// The character devices of a pseudo-terminal: its masters are clones of /dev/ptmx, its
// slaves /dev/pts/N, N counted over the slaves' majors.
constexpr unsigned ptmxMajor = 5;
constexpr unsigned ptmxMinor = 2;
constexpr unsigned firstSlaveMajor = 136;
constexpr unsigned slaveMajors = 8;
constexpr unsigned minorsPerMajor = 256;

std::optional<unsigned> slaveIndex(dev_t device) {
    const unsigned majorNumber = major(device);
    if (majorNumber < firstSlaveMajor || majorNumber >= firstSlaveMajor + slaveMajors) {
        return std::nullopt;
    }
    return (majorNumber - firstSlaveMajor) * minorsPerMajor + minor(device);
}

// Whether the descriptor fd of process pid is the master of pseudo-terminal `index`: its
// fdinfo names the slave by "tty-index".
bool isMasterOf(const std::string& pid, const std::string& fd, unsigned index) {
    std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
    std::string key;
    unsigned value = 0;
    while (info >> key) {
        if (key == "tty-index:" && info >> value) {
            return value == index;
        }
    }
    return false;
}

// Whether a process other than this one has the character device `device` open, by the
// descriptors listed in /proc. A program that holds a pseudo-terminal's master as well
// is the far end of the line (a simulated device keeps its slave open to watch the
// host's settings), not a program in the conversation. Where /proc cannot be read the
// answer is yes: a terminal is only taken when nobody else can be holding it.
bool heldElsewhere(dev_t device) {
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return true;
    }
    const std::optional<unsigned> pty = slaveIndex(device);
    const std::string self = std::to_string(::getpid());
    bool held = false;
    while (const dirent* process = ::readdir(processes)) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
            continue;
        }
        const std::string fdDirectory = "/proc/" + pid + "/fd";
        DIR* descriptors = ::opendir(fdDirectory.c_str());
        if (descriptors == nullptr) {
            continue; // gone meanwhile, or not ours to see
        }
        bool opens = false;
        bool farEnd = false;
        while (const dirent* entry = ::readdir(descriptors)) {
            struct stat target {};
            if (entry->d_name[0] == '.' ||
                ::stat((fdDirectory + "/" + entry->d_name).c_str(), &target) != 0 ||
                !S_ISCHR(target.st_mode)) {
                continue;
            }
            opens = opens || target.st_rdev == device;
            farEnd = farEnd || (pty && target.st_rdev == makedev(ptmxMajor, ptmxMinor) &&
                                isMasterOf(pid, entry->d_name, *pty));
        }
        ::closedir(descriptors);
        if (opens && !farEnd) {
            held = true;
            break;
        }
    }
    ::closedir(processes);
    return held;
}

} // namespace

bool takenForExclusiveUse(int fd) {
#ifdef TIOCGEXCL
    int taken = 0;
    if (::ioctl(fd, TIOCGEXCL, &taken) != 0 || taken == 0) {
        return false;
    }
    struct stat own {};
    return ::fstat(fd, &own) != 0 || heldElsewhere(own.st_rdev);
#else
    (void)fd;
    return false;
#endif
}

} // namespace sparwick::serialsys

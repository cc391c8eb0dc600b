#include "cli/RecordFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sparwick::cli {
namespace {

// As many links as the kernel follows in one path before it gives up with ELOOP.
constexpr int maxLinks = 40;

std::vector<std::string> componentsOf(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

struct Resolved {
    std::string path;    // with every link followed
    bool exists = false; // false: the last component is still to be made
    std::string refusal;
};

// Follows path's links one component at a time, as the kernel does, and refuses a link
// that the kernel's protected_symlinks rule would refuse: one in a sticky world-writable
// directory (/tmp) that is owned neither by whoever runs this nor by the directory's owner.
// Another user can plant such a link to make a record of root's land in a file of their
// choosing; a machine with that rule off would follow it.
Resolved resolveSafely(const std::string& path) {
    Resolved result;
    std::string base = path.starts_with('/') ? "" : ".";
    std::vector<std::string> rest = componentsOf(path);
    std::reverse(rest.begin(), rest.end());
    int links = 0;
    while (!rest.empty()) {
        const std::string part = rest.back();
        rest.pop_back();
        const std::string candidate = base == "." ? part : base + "/" + part;
        struct stat entry {};
        if (::lstat(candidate.c_str(), &entry) != 0) {
            if (errno == ENOENT && rest.empty()) {
                result.path = candidate; // a new file: made where open() says
                return result;
            }
            result.refusal = std::strerror(errno);
            return result;
        }
        if (!S_ISLNK(entry.st_mode)) {
            base = candidate;
            continue;
        }
        if (++links > maxLinks) {
            result.refusal = std::strerror(ELOOP);
            return result;
        }
        const std::string directory = base.empty() ? "/" : base;
        struct stat parent {};
        if (::stat(directory.c_str(), &parent) == 0 && (parent.st_mode & S_ISVTX) != 0 &&
            (parent.st_mode & S_IWOTH) != 0 && entry.st_uid != ::geteuid() &&
            entry.st_uid != parent.st_uid) {
            result.refusal = candidate + " is a link that user " + std::to_string(entry.st_uid) +
                             " put in the sticky world-writable directory " + directory +
                             "; a record is not written through it";
            return result;
        }
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlink(candidate.c_str(), target.data(), PATH_MAX);
        if (length < 0) {
            result.refusal = std::strerror(errno);
            return result;
        }
        const std::string to(target.data(), static_cast<std::size_t>(length));
        if (to.starts_with('/')) {
            base = "";
        }
        std::vector<std::string> more = componentsOf(to);
        rest.insert(rest.end(), more.rbegin(), more.rend());
    }
    result.path = base.empty() ? "/" : base;
    result.exists = true;
    return result;
}

// Holds the file for one writer at a time: two stations on one record then never cut each
// other's lines when one of them takes a torn line back.
class Locked {
public:
    explicit Locked(int descriptor)
        : fd(descriptor) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~Locked() { ::flock(fd, LOCK_UN); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    int fd;
};

} // namespace

RecordFile::~RecordFile() {
    if (fd >= 0) {
        ::close(fd);
    }
}

std::string RecordFile::open(const std::string& path) {
    // The path is looked at first and then opened without following a link at its end, so
    // that a link planted in between is refused too: a new file must be new (O_EXCL), and
    // an existing one must be what was looked at. Two stations making one record at once
    // meet EEXIST, and look again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Resolved resolved = resolveSafely(path);
        if (!resolved.refusal.empty()) {
            return resolved.refusal;
        }
        // O_NONBLOCK: a FIFO without a reader would hold the station here for ever; with
        // it, it is refused (ENXIO) or opened and then refused as not a regular file.
        // Read as well as written where the file allows it: append looks at its last byte.
        const int flags = O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK |
                          (resolved.exists ? 0 : O_CREAT | O_EXCL);
        fd = ::open(resolved.path.c_str(), O_RDWR | flags, 0644);
        if (fd < 0 && errno == EACCES) {
            fd = ::open(resolved.path.c_str(), O_WRONLY | flags, 0644);
        }
        if (fd < 0 && errno == EEXIST && !resolved.exists) {
            continue;
        }
        if (fd < 0) {
            return errno == ENXIO || errno == ELOOP ? "not a regular file" : std::strerror(errno);
        }
        // A terminal or a pipe would take the lines but keep nothing.
        struct stat file {};
        if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
            ::close(fd);
            fd = -1;
            return "not a regular file";
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return {};
    }
    return std::strerror(EEXIST);
}

std::string RecordFile::append(const std::string& line) {
    const Locked locked(fd);
    struct stat file {};
    if (::fstat(fd, &file) != 0) {
        return std::strerror(errno);
    }
    const off_t before = file.st_size;
    // A line torn by a crash, or by a disk that filled before this program cut lines back,
    // is ended first, so that it spoils only itself and not this board's line too.
    char last = '\n';
    if (before > 0 && ::pread(fd, &last, 1, before - 1) != 1) {
        last = '\n'; // a file this user may only write to is taken as it is
    }
    const std::string text = (last == '\n' ? "" : "\n") + line + "\n";
    std::size_t done = 0;
    std::optional<int> failure;
    while (done < text.size() && !failure) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    if (failure) {
        // Whole or not at all: a part of a line would join the next line into one that no
        // reader of JSON Lines can take.
        const bool cut = done == 0 || ::ftruncate(fd, before) == 0;
        ::fsync(fd);
        return std::string(std::strerror(*failure)) +
               (cut ? ", and the file ends with the last whole line"
                    : ", and the file ends with a part of this board's line");
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

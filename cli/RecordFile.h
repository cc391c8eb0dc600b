#pragma once

#include <string>

namespace sparwick::cli {

// The file a production line's record goes to: opened for appending before any board is
// touched, and every line written and synced to the disk before append returns, so that a
// station that is killed or loses power keeps every board it finished. A line is on the
// disk whole or not at all: one that does not fit (a full disk) is cut back out, and a file
// that ends in a torn line (a crash) gets the next line on a line of its own.
class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens (or makes) the file at path; why not, when it cannot: it is not a regular file
    // (a FIFO, a terminal, a directory), or on POSIX a link on its way is one that another
    // user planted in a sticky world-writable directory.
    std::string open(const std::string& path);
    // Appends line and a line end and syncs the file; why not, when that fails.
    std::string append(const std::string& line);

private:
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

// The name of this machine, for the record.
std::string hostName();

} // namespace sparwick::cli

#include "cli/RecordFile.h"

#include <windows.h>

namespace sparwick::cli {
namespace {

// The system's own words for the last error ("The system cannot find the path
// specified"), with its number for a search.
std::string lastError() {
    const DWORD error = ::GetLastError();
    char text[256] = {};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        --length;
    }
    const std::string number = "Windows error " + std::to_string(error);
    return length > 0 ? std::string(text, length) + " (" + number + ")" : number;
}

} // namespace

RecordFile::~RecordFile() {
    if (handle != nullptr) {
        ::CloseHandle(handle);
    }
}

std::string RecordFile::open(const std::string& path) {
    // Read and written where the file allows it: append looks at the last byte and cuts a
    // line that did not fit back out.
    HANDLE file =
        ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_WRITE_DATA,
                      FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return "not a regular file";
    }
    handle = file;
    return {};
}

std::string RecordFile::append(const std::string& line) {
    LARGE_INTEGER before{};
    if (!::GetFileSizeEx(handle, &before)) {
        return lastError();
    }
    // A line torn by a crash, or by a disk that filled before lines were cut back, is ended
    // first, so that it spoils only itself and not this board's line too.
    char last = '\n';
    if (before.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(before.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((before.QuadPart - 1) >> 32);
        DWORD got = 0;
        if (!::ReadFile(handle, &last, 1, &got, &at) || got != 1) {
            last = '\n'; // a file this user may only write to is taken as it is
        }
    }
    const std::string text = (last == '\n' ? "" : "\n") + line + "\n";
    // At the end of the file whatever the handle's position.
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFF;
    end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, &end) ||
        written != text.size()) {
        // Whole or not at all: a part of a line would join the next line into one that no
        // reader of JSON Lines can take.
        std::string why = written != text.size() && ::GetLastError() == ERROR_SUCCESS
                              ? std::string("There is not enough space on the disk")
                              : lastError();
        FILE_END_OF_FILE_INFO size{};
        size.EndOfFile = before;
        const bool cut = written == 0 || ::SetFileInformationByHandle(handle, FileEndOfFileInfo,
                                                                      &size, sizeof size);
        ::FlushFileBuffers(handle);
        return why + (cut ? ", and the file ends with the last whole line"
                          : ", and the file ends with a part of this board's line");
    }
    if (!::FlushFileBuffers(handle)) {
        return lastError();
    }
    return {};
}

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return ::GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

} // namespace sparwick::cli

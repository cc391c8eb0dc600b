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
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        return lastError();
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
